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
    EXPECT_FALSE(c.receive(d, 1).sendAck);
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
  EXPECT_TRUE(accepted.sendAck && accepted.ackId == 0 && c.s->sessionId == 0);
  EXPECT_EQ(accepted.event, AtemEvent::NONE);
  EXPECT_EQ(c.s->state, CONNECTED);
  const AtemStep& first = c.receive(packet(0x08, 0x8123, 1), 4 * kMs);
  EXPECT_EQ(first.event, AtemEvent::ANNOUNCED);
  EXPECT_TRUE(first.sendAck && first.ackId == 1 && c.s->sessionId == 0x8123);
  // An id without the top bit is no session id; the packet is applied and acknowledged anyway.
  const AtemStep& other = c.receive(packet(0x08, 0x1234, 2, prg(4)), 5 * kMs);
  EXPECT_TRUE(other.sendAck && other.walked == kWalkBuses && c.s->sessionId == 0x8123);
  EXPECT_EQ(other.event, AtemEvent::NONE);
  // Without the request flag: applied, not acknowledged.
  EXPECT_FALSE(c.receive(packet(0x00, 0x8123, 9, prg(6)), 6 * kMs).sendAck);
  EXPECT_EQ(c.s->tables.programInput[0], 6);
}

TEST(AtemSession, RefusalReopenSilenceAndLoss) {
  Client c;
  atemOpen(*c.s, 0, c.step);
  EXPECT_EQ(c.receive(synAnswer(1, 0x04), 10 * kMs).event, AtemEvent::REOPEN);
  EXPECT_TRUE(c.step.sendHello);
  EXPECT_EQ(c.receive(synAnswer(1, 0x03), 20 * kMs).event, AtemEvent::REFUSED);
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

// Reliable packets: acknowledged always (unless beyond a gap), applied once, in order.
TEST(AtemSession, PacketsAppliedOnceAndInOrder) {
  struct Row {
    const char* what;
    uint16_t id;
    int64_t atMs;
    bool acked, applied;
  };
  const std::vector<std::vector<Row>> cases = {
      {{"first sets the start", 5, 0, true, true},
       {"next", 6, 1, true, true},
       {"retransmission of an old one", 5, 2, true, false},
       {"duplicate", 6, 3, true, false},
       {"next again", 7, 4, true, true}},
      {{"start", 10, 0, true, true},
       {"gap: 11 missing", 12, 1, false, false},
       {"the gap filled", 11, 200, true, true},
       {"then the one held back", 12, 201, true, true}},
      {{"start", 10, 0, true, true},
       {"gap", 12, 10, false, false},
       {"still within 1 s", 13, 1009, false, false},
       {"1 s after the gap was seen: go on", 13, 1010, true, true},
       {"the lost one, late", 11, 1011, true, false}},
      {{"start", 0x3000, 0, true, true},
       {"an old one, 0x2000 ids back", 0x1000, 1, true, false},
       {"the next", 0x3001, 2, true, true}},
      {{"start near the wrap", 32766, 0, true, true},
       {"", 32767, 1, true, true},
       {"wrapped", 0, 2, true, true},
       {"old from before the wrap", 32767, 3, true, false}}};
  for (const auto& rows : cases) {
    Client c;
    c.open(0x8001);
    c.s->order = PacketOrder();  // the rows start the session's numbering
    for (const Row& r : rows) {
      const AtemStep& s = c.receive(packet(0x08, 0x8001, r.id, prg(r.id)),
                                    100 * kMs + r.atMs * kMs);
      EXPECT_EQ(s.sendAck, r.acked) << r.what;
      EXPECT_EQ(s.ackId, r.acked ? r.id : 0) << r.what;
      EXPECT_EQ(s.walked != 0, r.applied) << r.what;
    }
  }
  // A skipped gap is reported; a new session starts the numbering afresh.
  Client c;
  c.open(0x8001);
  c.receive(packet(0x08, 0x8001, 20), 0);
  c.receive(packet(0x08, 0x8001, 9), 0);
  EXPECT_EQ(c.receive(packet(0x08, 0x8001, 9), 1000 * kMs).event, AtemEvent::GAP_SKIPPED);
  EXPECT_EQ(c.step.gapFrom, 2);
  EXPECT_EQ(c.step.gapTo, 8);
  c.open(0x8002, 2000 * kMs);
  EXPECT_TRUE(c.receive(packet(0x08, 0x8002, 2, prg(3)), 2001 * kMs).walked);
}

TEST(AtemSession, RecordedInitialStateAcknowledgedPacketByPacket) {
  Client c;
  c.open(0x8042);
  uint16_t id = 1;
  for (const Bytes& payload : readDump("constellation-2me-hd-v8.7.0.data")) {
    const AtemStep& s = c.receive(packet(0x08, 0x8042, ++id, payload), 0);
    ASSERT_TRUE(s.sendAck && s.ackId == id) << "packet " << id;
  }
  EXPECT_EQ(c.s->tables.programInput[0], 6000);
  EXPECT_EQ(tallyFlags(c.s->tables, 11), kTallyFlagProgram);
}

TEST(AtemSession, ForeignSendersWarnedOnceAMinute) {
  ForeignSenders f;
  EXPECT_TRUE(foreignSenderSeen(f, 5 * kMs));
  EXPECT_FALSE(foreignSenderSeen(f, 59'000 * kMs));
  EXPECT_TRUE(foreignSenderSeen(f, 60'005 * kMs));
  EXPECT_FALSE(foreignSenderSeen(f, 60'006 * kMs));
  EXPECT_EQ(f.count, 4u);
}
