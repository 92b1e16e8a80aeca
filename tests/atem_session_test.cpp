#include "atem/atem_session.h"

#include <gtest/gtest.h>

#include <memory>

#include "test_support.h"

using namespace testing_support;

namespace {

constexpr int64_t kMs = kNsPerMs;

Bytes packet(uint8_t flags, uint16_t session, uint16_t id, const Bytes& payload = {}) {
  return atemPacket(flags, session, id, payload);
}
Bytes synAnswer(uint16_t session, uint8_t code) { return atemSynAnswer(session, code); }
Bytes prg(uint16_t input) { return busBlock("PrgI", 0, input); }

// The ids a step acknowledges.
std::vector<uint16_t> acks(const AtemStep& s) { return {s.acks, s.acks + s.ackCount}; }

// A session and the last step it took, fed datagrams at readings the test chooses.
struct Client {
  std::unique_ptr<AtemSession> s = std::make_unique<AtemSession>();
  AtemStep step;
  const AtemStep& receive(const Bytes& d, int64_t now) {
    step = AtemStep();
    atemReceive(*s, d.data(), d.size(), now, step);
    return step;
  }
  const AtemStep& tick(int64_t now) {
    step = AtemStep();
    atemTick(*s, now, step);
    return step;
  }
  void open(uint16_t session, int64_t now = 0) {
    atemOpen(*s, now, step);
    receive(synAnswer(0, 0x02), now);
    receive(packet(0x08, session, 1), now);
  }
};

}  // namespace

TEST(AtemSession, HelloAndAcknowledgementBytes) {
  uint8_t hello[kAtemHelloSize], ack[kAtemAckSize];
  atemBuildHello(hello, 0xBEEF);
  EXPECT_EQ(Bytes(hello, hello + 20),
            hexBytes("10 14 00 00 00 00 00 00 be ef 00 00 01 00 00 00 00 00 00 00"));
  atemBuildAck(ack, 0x8123, 0x0005);
  EXPECT_EQ(Bytes(ack, ack + 12), hexBytes("80 0c 81 23 00 05 00 00 00 00 00 00"));
}

TEST(AtemSession, OpeningAcceptanceAndSessionId) {
  Client c;
  atemOpen(*c.s, 0, c.step);
  EXPECT_TRUE(c.step.sendHello);
  EXPECT_EQ(c.s->state, CONNECTING);
  // While opening only a SYN answer counts: a header alone, a packet without SYN, a packet whose
  // length field is not its size do nothing and are not acknowledged.
  for (const Bytes& d : {packet(0x10, 0x0012, 0), packet(0x08, 0x8001, 7, prg(4))}) {
    EXPECT_EQ(c.receive(d, 1).ackCount, 0);
    EXPECT_EQ(c.s->state, CONNECTING);
  }
  Bytes wrongLength = synAnswer(0, 0x02);
  wrongLength[1] = 21;
  c.receive(wrongLength, 2 * kMs);
  EXPECT_EQ(c.s->state, CONNECTING);
  EXPECT_EQ(c.s->lastReceiveNs, 1) << "no sign of life";
  EXPECT_EQ(c.s->tables.programInput[0], -1);

  // Accepted: the answer's own session id and packet 0 are acknowledged; the session is
  // announced with the id the switcher assigns in the next packet.
  const AtemStep& accepted = c.receive(synAnswer(0x0000, 0x02), 3 * kMs);
  EXPECT_TRUE(acks(accepted) == std::vector<uint16_t>{0} && c.s->sessionId == 0);
  EXPECT_EQ(accepted.event, AtemEvent::NONE);
  EXPECT_EQ(c.s->state, CONNECTED);
  const AtemStep& first = c.receive(packet(0x08, 0x8123, 1), 4 * kMs);
  EXPECT_EQ(first.event, AtemEvent::ANNOUNCED);
  EXPECT_TRUE(acks(first) == std::vector<uint16_t>{1} && c.s->sessionId == 0x8123);
  // An id without the top bit is no session id; the packet is applied and acknowledged anyway.
  const AtemStep& other = c.receive(packet(0x08, 0x1234, 2, prg(4)), 5 * kMs);
  EXPECT_TRUE(other.ackCount == 1 && other.walked == kWalkBuses && c.s->sessionId == 0x8123);
  EXPECT_EQ(other.event, AtemEvent::NONE);
  // Without the request flag: applied, not acknowledged.
  EXPECT_EQ(c.receive(packet(0x00, 0x8123, 9, prg(6)), 6 * kMs).ackCount, 0);
  EXPECT_EQ(c.s->tables.programInput[0], 6);
}

TEST(AtemSession, RefusalReopenSilenceAndLoss) {
  Client c;
  atemOpen(*c.s, 0, c.step);
  EXPECT_EQ(c.receive(synAnswer(1, 0x04), 10 * kMs).event, AtemEvent::REOPEN);
  EXPECT_TRUE(c.step.sendHello);
  EXPECT_EQ(c.receive(synAnswer(1, 0x03), 20 * kMs).event, AtemEvent::REFUSED);
  EXPECT_EQ(c.s->state, DISCONNECTED);
  // Nothing after a refusal puts off the next try: 5 s after the refusal, whatever comes.
  c.receive(synAnswer(1, 0x02), 3000 * kMs);
  c.receive(packet(0x08, 0x8001, 1), 4000 * kMs);
  EXPECT_EQ(c.s->state, DISCONNECTED);
  // More than 5000 whole milliseconds of silence: a hello, in every state.
  EXPECT_FALSE(c.tick(20 * kMs + 5000 * kMs + 900'000).sendHello);
  EXPECT_TRUE(c.tick(20 * kMs + 5001 * kMs).sendHello);
  EXPECT_EQ(c.step.event, AtemEvent::NONE) << "a session that never opened is not lost";
  EXPECT_EQ(c.s->state, CONNECTING);
  EXPECT_EQ(atemDeadline(*c.s), 20 * kMs + 5001 * kMs + kAtemSilenceNs);

  Client open;
  open.open(0x8001, 0);
  EXPECT_EQ(open.tick(5001 * kMs).event, AtemEvent::LOST);
  EXPECT_TRUE(open.step.sendHello);
  EXPECT_EQ(open.s->state, CONNECTING);
  // A request to open again while connected gets a hello at once and is no loss.
  open.open(0x8002, 6000 * kMs);
  EXPECT_EQ(open.receive(synAnswer(0x8002, 0x04), 6001 * kMs).event, AtemEvent::REOPEN);
  EXPECT_TRUE(open.step.sendHello);
  EXPECT_EQ(open.s->state, CONNECTING);
}

// Reliable packets, applied once and in order. Each row is a datagram (id, flags) or, with id
// -1, a tick; then the ids acknowledged and the program input the tables hold (each packet puts
// its own id on the program bus).
TEST(AtemSession, PacketsAppliedOnceAndInOrder) {
  struct Row {
    const char* what;
    int id;
    int64_t atMs;
    std::vector<uint16_t> acked;
    int program;
    uint8_t flags = 0x08;
  };
  const std::vector<std::vector<Row>> cases = {
      {{"first sets the start", 5, 0, {5}, 5},
       {"next", 6, 1, {6}, 6},
       {"resend of an old one", 5, 2, {5}, 6},
       {"duplicate", 6, 3, {6}, 6},
       {"a resend that asks for no acknowledgement is old all the same", 5, 4, {}, 6, 0x20},
       {"next again", 7, 5, {7}, 7},
       {"a resend without the request, next in turn", 8, 6, {}, 8, 0x20}},
      {{"start", 10, 0, {10}, 10},
       {"beyond a gap: held, not yet acknowledged", 12, 1, {}, 10},
       {"held too", 13, 2, {}, 10},
       {"held twice is held once", 13, 3, {}, 10},
       {"the gap filled: it and the held ones, in order", 11, 200, {11, 12, 13}, 13},
       {"held and applied, sent again", 12, 201, {12}, 13}},
      {{"start", 10, 0, {10}, 10},
       {"gap", 12, 10, {}, 10},
       {"another", 14, 20, {}, 10},
       {"still within 1 s", -1, 1009, {}, 10},
       {"1 s after the gap began: what is held goes", -1, 1010, {12, 14}, 14},
       {"a lost one, late, is old", 11, 1011, {11}, 14},
       {"and on", 15, 1012, {15}, 15}},
      {{"start", 10, 0, {10}, 10},
       {"far ahead, beyond what is held: sent again later", 10 + kAtemHoldPackets, 1, {}, 10},
       {"half the id space ahead is no old packet", 10 + 0x5000, 2, {}, 10}},
      {{"start near the wrap", 32766, 0, {32766}, 32766},
       {"", 32767, 1, {32767}, 32767},
       {"wrapped", 0, 2, {0}, 0},
       {"old from before the wrap", 32767, 3, {32767}, 0}}};
  for (const auto& rows : cases) {
    Client c;
    c.open(0x8001);
    c.s->order = PacketOrder();  // the rows start the session's numbering
    for (const Row& r : rows) {
      const int64_t at = 100 * kMs + r.atMs * kMs;
      const AtemStep& s =
          r.id < 0 ? c.tick(at)
                   : c.receive(packet(r.flags, 0x8001, static_cast<uint16_t>(r.id),
                                      prg(static_cast<uint16_t>(r.id & kAtemIdMask))),
                               at);
      EXPECT_EQ(acks(s), r.acked) << r.what;
      EXPECT_EQ(c.s->tables.programInput[0], static_cast<int16_t>(r.program)) << r.what;
    }
  }
  // The ids given up are named as they are; a new session starts the numbering afresh.
  Client c;
  c.open(0x8001);
  for (int id : {3, 5, 6, 9, 10}) c.receive(packet(0x08, 0x8001, static_cast<uint16_t>(id)), 0);
  EXPECT_EQ(atemDeadline(*c.s), 1000 * kMs);
  EXPECT_EQ(c.tick(1000 * kMs).event, AtemEvent::GAP_SKIPPED);
  EXPECT_EQ(acks(c.step), (std::vector<uint16_t>{3, 5, 6, 9, 10}));
  ASSERT_EQ(c.step.missingRuns, 3);
  EXPECT_TRUE(c.step.missing[0][0] == 2 && c.step.missing[0][1] == 2);
  EXPECT_TRUE(c.step.missing[1][0] == 4 && c.step.missing[1][1] == 4);
  EXPECT_TRUE(c.step.missing[2][0] == 7 && c.step.missing[2][1] == 8);
  c.open(0x8002, 2000 * kMs);
  EXPECT_TRUE(c.receive(packet(0x08, 0x8002, 2, prg(3)), 2001 * kMs).walked);

  // Old is what the session passed, however far back: 0x3000 packets later, the first is old.
  Client far;
  far.open(0x8001);
  for (uint16_t id = 2; id < 0x3002; ++id) far.receive(packet(0x08, 0x8001, id), 0);
  EXPECT_EQ(acks(far.receive(packet(0x08, 0x8001, 1, prg(9)), 0)), std::vector<uint16_t>{1});
  EXPECT_EQ(far.step.walked, 0u);
}

TEST(AtemSession, RecordedInitialStateAcknowledgedPacketByPacket) {
  Client c;
  c.open(0x8042);
  uint16_t id = 1;
  for (const Bytes& payload : readDump("constellation-2me-hd-v8.7.0.data")) {
    const AtemStep& s = c.receive(packet(0x08, 0x8042, ++id, payload), 0);
    ASSERT_EQ(acks(s), std::vector<uint16_t>{id}) << "packet " << id;
  }
  EXPECT_EQ(c.s->tables.programInput[0], 6000);
  EXPECT_EQ(tallyFlags(c.s->tables, 11), kTallyFlagProgram);
}
