// The switcher's side: its session over UDP, the command blocks read into the tables, and the
// tally a camera derives from them.
#include "atem/atem_commands.h"

#include <gtest/gtest.h>

#include <array>
#include <memory>
#include <set>

#include "atem/atem_session.h"
#include "tally/tally.h"
#include "test_support.h"

using namespace testing_support;

namespace {

constexpr int64_t kMs = kNsPerMs;

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
    receive(atemSynAnswer(0, 0x02), now);
    receive(atemPacket(0x08, session, 1), now);
  }
};

struct Walked {
  std::array<int16_t, 4> prg, prv;
  unsigned changed;
  std::set<int> program, preview;  // sources the tally list lights
};

std::set<int> lit(const AtemTables& t, uint8_t flag) {
  std::set<int> s;
  for (int source = 0; source < 65536; ++source)
    if (tallyFlags(t, static_cast<uint16_t>(source)) & flag) s.insert(source);
  return s;
}

Walked read(const AtemTables& t, unsigned changed) {
  return {{t.programInput[0], t.programInput[1], t.programInput[2], t.programInput[3]},
          {t.previewInput[0], t.previewInput[1], t.previewInput[2], t.previewInput[3]},
          changed,
          lit(t, kTallyFlagProgram),
          lit(t, kTallyFlagPreview)};
}

// Walks an exact-size heap copy, so a read past the end is caught under AddressSanitizer.
Walked walk(const Bytes& payload, AtemTables& t) {
  std::unique_ptr<uint8_t[]> copy(new uint8_t[payload.size() + 1]);
  std::copy(payload.begin(), payload.end(), copy.get());
  unsigned changed = walkCommands(copy.get(), payload.size(), t);
  return read(t, changed);
}

Walked walk(const std::string& hex) {
  auto t = std::make_unique<AtemTables>();
  return walk(hexBytes(hex), *t);
}

Walked replay(const char* file, AtemTables& t) {
  unsigned changed = 0;
  for (const Bytes& payload : readDump(file)) changed |= walk(payload, t).changed;
  return read(t, changed);
}

const std::array<int16_t, 4> kNone = {-1, -1, -1, -1};
const char* kPrgMe1In3 = "00 0c 00 00 50 72 67 49 01 00 00 03";
const char* kPrvMe1In3 = "00 0c 00 00 50 72 76 49 01 00 00 03";

TallyState derive(int me, int watch, std::array<int16_t, 4> prg, std::array<int16_t, 4> prv) {
  auto t = std::make_unique<AtemTables>();
  std::copy(prg.begin(), prg.end(), t->programInput);
  std::copy(prv.begin(), prv.end(), t->previewInput);
  return deriveTally(Watch{me, watch}, *t).state;
}

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
  for (const Bytes& d : {atemPacket(0x10, 0x0012, 0), atemPacket(0x08, 0x8001, 7, prg(4))}) {
    EXPECT_EQ(c.receive(d, 1).ackCount, 0);
    EXPECT_EQ(c.s->state, CONNECTING);
  }
  Bytes wrongLength = atemSynAnswer(0, 0x02);
  wrongLength[1] = 21;
  c.receive(wrongLength, 2 * kMs);
  EXPECT_EQ(c.s->state, CONNECTING);
  EXPECT_EQ(c.s->lastReceiveNs, 1) << "no sign of life";
  EXPECT_EQ(c.s->tables.programInput[0], -1);

  // Accepted: the answer's own session id and packet 0 are acknowledged; the session is
  // announced with the id the switcher assigns in the next packet.
  const AtemStep& accepted = c.receive(atemSynAnswer(0x0000, 0x02), 3 * kMs);
  EXPECT_TRUE(acks(accepted) == std::vector<uint16_t>{0} && c.s->sessionId == 0);
  EXPECT_EQ(accepted.event, AtemEvent::NONE);
  EXPECT_EQ(c.s->state, CONNECTED);
  const AtemStep& first = c.receive(atemPacket(0x08, 0x8123, 1), 4 * kMs);
  EXPECT_EQ(first.event, AtemEvent::ANNOUNCED);
  EXPECT_TRUE(acks(first) == std::vector<uint16_t>{1} && c.s->sessionId == 0x8123);
  // An id without the top bit is no session id; the packet is applied and acknowledged anyway.
  const AtemStep& other = c.receive(atemPacket(0x08, 0x1234, 2, prg(4)), 5 * kMs);
  EXPECT_TRUE(other.ackCount == 1 && other.walked == kWalkBuses && c.s->sessionId == 0x8123);
  EXPECT_EQ(other.event, AtemEvent::NONE);
  // Without the request flag: applied, not acknowledged.
  EXPECT_EQ(c.receive(atemPacket(0x00, 0x8123, 9, prg(6)), 6 * kMs).ackCount, 0);
  EXPECT_EQ(c.s->tables.programInput[0], 6);
}

TEST(AtemSession, RefusalReopenAndSilence) {
  Client c;
  atemOpen(*c.s, 0, c.step);
  EXPECT_EQ(c.receive(atemSynAnswer(1, 0x04), 10 * kMs).event, AtemEvent::REOPEN);
  EXPECT_TRUE(c.step.sendHello);
  EXPECT_EQ(c.receive(atemSynAnswer(1, 0x03), 20 * kMs).event, AtemEvent::REFUSED);
  EXPECT_EQ(c.s->state, DISCONNECTED);
  // Nothing after a refusal puts off the next try: 5 s after the refusal, whatever comes.
  c.receive(atemSynAnswer(1, 0x02), 3000 * kMs);
  c.receive(atemPacket(0x08, 0x8001, 1), 4000 * kMs);
  EXPECT_EQ(c.s->state, DISCONNECTED);
  // More than 5000 whole milliseconds of silence: a hello, in every state.
  EXPECT_FALSE(c.tick(20 * kMs + 5000 * kMs + 900'000).sendHello);
  EXPECT_TRUE(c.tick(20 * kMs + 5001 * kMs).sendHello);
  EXPECT_EQ(c.step.event, AtemEvent::NONE) << "a session that never opened is not lost";
  EXPECT_EQ(c.s->state, CONNECTING);
  EXPECT_EQ(atemDeadline(*c.s), 20 * kMs + 5001 * kMs + kAtemSilenceNs);
  // A loss, and a request to open again while connected, are read through the core (core_test).
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
                   : c.receive(atemPacket(r.flags, 0x8001, static_cast<uint16_t>(r.id),
                                      prg(static_cast<uint16_t>(r.id & kAtemIdMask))),
                               at);
      EXPECT_EQ(acks(s), r.acked) << r.what;
      EXPECT_EQ(c.s->tables.programInput[0], static_cast<int16_t>(r.program)) << r.what;
    }
  }
  // The ids given up are named as they are; a new session starts the numbering afresh.
  Client c;
  c.open(0x8001);
  for (int id : {3, 5, 6, 9, 10}) c.receive(atemPacket(0x08, 0x8001, static_cast<uint16_t>(id)), 0);
  EXPECT_EQ(atemDeadline(*c.s), 1000 * kMs);
  EXPECT_EQ(c.tick(1000 * kMs).event, AtemEvent::GAP_SKIPPED);
  EXPECT_EQ(acks(c.step), (std::vector<uint16_t>{3, 5, 6, 9, 10}));
  ASSERT_EQ(c.step.missingRuns, 3);
  EXPECT_TRUE(c.step.missing[0][0] == 2 && c.step.missing[0][1] == 2);
  EXPECT_TRUE(c.step.missing[1][0] == 4 && c.step.missing[1][1] == 4);
  EXPECT_TRUE(c.step.missing[2][0] == 7 && c.step.missing[2][1] == 8);
  c.open(0x8002, 2000 * kMs);
  EXPECT_TRUE(c.receive(atemPacket(0x08, 0x8002, 2, prg(3)), 2001 * kMs).walked);

  // Old is what the session passed, however far back: 0x3000 packets later, the first is old.
  Client far;
  far.open(0x8001);
  for (uint16_t id = 2; id < 0x3002; ++id) far.receive(atemPacket(0x08, 0x8001, id), 0);
  EXPECT_EQ(acks(far.receive(atemPacket(0x08, 0x8001, 1, prg(9)), 0)), std::vector<uint16_t>{1});
  EXPECT_EQ(far.step.walked, 0u);
}

TEST(CommandWalk, BusesAndWhatIsNotAWellFormedBlock) {
  Walked w = walk(std::string(kPrgMe1In3) + " " + kPrvMe1In3 +
                  " 00 0c 00 00 50 72 67 49 00 00 ff ff"    // id FFFF reads back -1
                  " 00 0c 00 00 50 72 67 49 02 00 80 00"    // id 8000 is negative
                  " 00 10 00 00 50 72 76 49 00 ab 00 07 11 22 33 44"  // PrvI as sent
                  " 00 0c 00 00 50 72 67 49 02 00 00 09");  // the later block wins
  EXPECT_EQ(w.prg, (std::array<int16_t, 4>{-1, 3, 9, -1}));
  EXPECT_EQ(w.prv, (std::array<int16_t, 4>{7, 3, -1, -1}));
  EXPECT_EQ(w.changed, unsigned(kWalkBuses));

  const char* skipped[] = {
      "00 0c 00 00 50 72 67 49 04 00 00 03",              // ME 4
      "00 0c 00 00 70 72 67 49 01 00 00 03",              // "prgI": names are case-sensitive
      "00 0b 00 00 50 72 67 49 01 00 00",                 // L = 11: too short to read
      "00 0c 00 00 50 72 67",                             // 7 bytes: not walked
      "00 14 00 00 50 72 67 49 01 00 00 03 00 00 00 00",  // L = 20 in 16 bytes
      "00 00 00 00 50 72 67 49 01 00 00 03",              // L = 0 ends the walk at once
      "00 07 00 00 50 72 67 49 01 00 00 03",              // L = 7 likewise
  };
  for (const char* hex : skipped) {
    Walked s = walk(hex);
    EXPECT_TRUE(s.prg == kNone && s.prv == kNone && s.changed == 0) << hex;
  }
  // After an 11-byte PrgI the walk goes on 11 bytes later; blocks before one that does not fit
  // stay applied; a tail of 1..7 bytes is ignored.
  EXPECT_EQ(walk("00 0b 00 00 50 72 67 49 01 00 00 " + std::string(kPrvMe1In3)).prv[1], 3);
  EXPECT_EQ(walk(std::string(kPrgMe1In3) + " 00 30 00 00 50 72 76 49 01 00 00 04").prg[1], 3);
  EXPECT_EQ(walk(std::string(kPrgMe1In3) + " 00 00 00 00 00 00 00").prg[1], 3);
  // An InPr too short for its fields names nothing.
  auto t = std::make_unique<AtemTables>();
  walk(hexBytes("00 1a 00 00 49 6e 50 72 00 63 41 41 41 41 41 41 41 41 41 41 41 41 41 41 41 41"),
       *t);
  EXPECT_EQ(t->nameCount, 0);
}

TEST(CommandWalk, TallyListReplacesTheLastOneWholeAndStaysInItsBlock) {
  auto t = std::make_unique<AtemTables>();
  // "TlSr": count 3, then source and flags: 1 program, 5 preview, 1000 both.
  Walked w = walk(hexBytes("00 13 00 00 54 6c 53 72 00 03 00 01 01 00 05 02 03 e8 03"), *t);
  EXPECT_EQ(w.changed, unsigned(kWalkTallyList));
  EXPECT_TRUE(t->tallyListSeen);
  EXPECT_EQ(w.program, (std::set<int>{1, 1000}));
  EXPECT_EQ(w.preview, (std::set<int>{5, 1000}));
  // The next list names only source 5, on air, with stray high flag bits: 1 and 1000 go dark.
  w = walk(hexBytes("00 0d 00 00 54 6c 53 72 00 01 00 05 f1"), *t);
  EXPECT_EQ(w.program, std::set<int>{5});
  EXPECT_TRUE(w.preview.empty());
  // A count running past the block is cut to the entries there (here one and a stray byte), and
  // an InCm after it says the initial state is complete.
  w = walk(hexBytes("00 0f 00 00 54 6c 53 72 ff ff 00 02 02 00 07"
                    " 00 0c 00 00 49 6e 43 6d 01 00 00 00"),
           *t);
  EXPECT_EQ(w.changed, unsigned(kWalkTallyList | kWalkInitialDone));
  EXPECT_TRUE(w.program.empty());
  EXPECT_EQ(w.preview, std::set<int>{2});
  EXPECT_EQ(t->tallyCount, 1);
}

// Every recorded switcher's initial state: the buses and the sources its last tally list lights.
// Where the list lights more than the buses hold, those sources are on air through keys,
// SuperSource, another M/E or a transition.
TEST(CommandWalk, RecordedSwitchers) {
  struct Dump {
    std::vector<const char*> files;
    std::array<int16_t, 4> prg, prv;
    std::set<int> program, preview;
  } dumps[] = {
      {{"1me-v8.1.data"}, {3, -1, -1, -1}, {3021, -1, -1, -1}, {3}, {3021}},
      {{"1me4k-v8.2.data"}, {5, -1, -1, -1}, {3, -1, -1, -1}, {5}, {3}},
      {{"2me-v8.1.data"}, {1, 12, -1, -1}, {9, 1, -1, -1}, {1, 13, 14, 15, 16}, {9}},
      {{"4me4k-v7.5.2.data", "constellation-v8.2.3.data"}, {1, 1, 1, 1}, {1, 1, 1, 1}, {1}, {1}},
      {{"constellation-2me-hd-v8.7.0.data"}, {6000, 2001, -1, -1}, {2, 1, -1, -1},
       {1, 11, 2001, 6000}, {2}},
      {{"constellation-2me-hd-v9.6.2.data"}, {6, 4, -1, -1}, {5, 5, -1, -1}, {6}, {5}},
      {{"2me-v8.1.2.data", "mini-extreme-iso-v9.5.data", "mini-extreme-v8.6.data",
        "mini-pro-iso-v8.4.data", "mini-pro-v8.2.data", "mini-v8.1.1.data", "mini-v8.1.data",
        "sdi-extreme-iso-v8.8.data", "tvs-4k8-v9.3.data"},
       {1, -1, -1, -1}, {1, -1, -1, -1}, {1}, {1}},
      {{"mini-v8.6.data"}, {2, -1, -1, -1}, {1, -1, -1, -1}, {2}, {1}},
      {{"ps4k-v7.2.data"}, {7, -1, -1, -1}, {7, -1, -1, -1}, {7}, {7}},
      {{"tvshd-v8.0.0.data"}, {6, -1, -1, -1}, {0, -1, -1, -1}, {6, 7, 8, 5010}, {0}},
      {{"tvshd-v8.1.0.data", "tvshd-v8.2.0.data"}, {0, -1, -1, -1}, {0, -1, -1, -1}, {0}, {0}},
  };
  for (const Dump& d : dumps)
    for (const char* file : d.files) {
      auto t = std::make_unique<AtemTables>();
      Walked w = replay(file, *t);
      EXPECT_EQ(w.prg, d.prg) << file;
      EXPECT_EQ(w.prv, d.prv) << file;
      EXPECT_EQ(w.program, d.program) << file;
      EXPECT_EQ(w.preview, d.preview) << file;
      EXPECT_EQ(w.changed, unsigned(kWalkBuses | kWalkTallyList | kWalkInitialDone | kWalkNames))
          << file;
      // Every source on air is named (the names' text is read in core_test).
      for (int source : w.program) EXPECT_NE(sourceNames(*t, uint16_t(source)), nullptr) << file;
    }
}

TEST(Tally, FromTheBuses) {
  EXPECT_EQ(derive(0, 1, kNone, kNone), OFF);
  EXPECT_EQ(derive(1, 3, {3, 4, 0, 0}, {0, 3, 0, 0}), PREVIEW);
  EXPECT_EQ(derive(1, 4, {3, 4, 0, 0}, {0, 4, 0, 0}), PROGRAM);  // on both buses
  EXPECT_EQ(derive(3, 7, {0, 0, 0, 7}, kNone), PROGRAM);
  for (int me : {-1, 4, 1000})
    EXPECT_EQ(derive(me, 5, {5, 5, 5, 5}, {5, 5, 5, 5}), OFF) << me;
  // Input ids from 32768 up are held as negative numbers and never match a watched id.
  EXPECT_EQ(derive(0, 32768, {int16_t(-32768), 0, 0, 0}, kNone), OFF);
}

// What a camera shows with each rule on the recorded switchers above. The rules differ where a
// source is on air or on preview through a key, SuperSource, another M/E or a transition.
TEST(Tally, FromTheSwitchersTallyListBesideTheBuses) {
  struct Row {
    const char* file;
    int me, input;
    TallyState buses, list;
  } rows[] = {
      {"2me-v8.1.data", 0, 1, PROGRAM, PROGRAM},
      {"2me-v8.1.data", 0, 13, OFF, PROGRAM},  // keyed
      {"2me-v8.1.data", 0, 9, PREVIEW, PREVIEW},
      {"2me-v8.1.data", 1, 12, PROGRAM, OFF},  // M/E 2's program is not on air
      {"constellation-2me-hd-v8.7.0.data", 1, 2001, PROGRAM, PROGRAM},
      {"tvshd-v8.0.0.data", 0, 5010, OFF, PROGRAM},
      {"tvshd-v8.0.0.data", 0, 0, PREVIEW, PREVIEW},  // source 0, black
  };
  for (const Row& r : rows) {
    auto t = std::make_unique<AtemTables>();
    replay(r.file, *t);
    EXPECT_EQ(deriveTally(Watch{r.me, r.input}, *t).state, r.buses) << r.file << " " << r.input;
    Tally list = deriveTally(Watch{r.me, r.input, TallySource::SWITCHER}, *t);
    EXPECT_EQ(list.state, r.list) << r.file << " " << r.input;
    EXPECT_EQ(list.reason, r.list == PROGRAM   ? TallyReason::LIST_PROGRAM
                           : r.list == PREVIEW ? TallyReason::LIST_PREVIEW
                                               : TallyReason::NOT_IN_LIST);
  }
  // Until a first list has come, the buses decide.
  auto empty = std::make_unique<AtemTables>();
  empty->programInput[0] = 4;
  EXPECT_EQ(deriveTally(Watch{0, 4, TallySource::SWITCHER}, *empty).reason,
            TallyReason::PROGRAM_BUS);
}
