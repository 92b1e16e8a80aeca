// The switcher simulator's protocol rules, played against a small hand-written client. What a
// real client sees end to end (buses, cuts, pings, a lossy link) is in atem_interop_test.sh.
#include "switcher_sim.h"

#include <gtest/gtest.h>

#include <functional>
#include <map>

#include "atem/atem_commands.h"
#include "test_support.h"

using namespace quorvel_sim;
using namespace testing_support;

namespace {

// Packet helpers, and a simulator with two client sockets talking to it.
struct SwitcherSimTest : testing::Test {
  uint16_t be16(const Bytes& b, size_t at) { return getBe16(&b[at]); }
  Bytes be(unsigned v) { return {static_cast<uint8_t>(v >> 8), static_cast<uint8_t>(v)}; }
  Bytes packet(unsigned flags, unsigned session, unsigned id, const Bytes& p) {
    return atemPacket(uint8_t(flags), uint16_t(session), uint16_t(id), p);
  }
  Bytes block(const char* name, const Bytes& data) { return atemBlock(name, data); }
  // Tally list naming sources 0..sim.sourceCount and those in `flags`, each with its flags.
  Bytes tlsr(std::map<unsigned, uint8_t> flags) {
    for (unsigned s = 0; s <= unsigned(sim.sourceCount); ++s) flags.emplace(s, 0);
    Bytes d = be(unsigned(flags.size()));
    for (auto [source, f] : flags) d = d + be(source) + Bytes{f};
    d.resize((d.size() + 3) / 4 * 4, 0);  // blocks are padded to a multiple of 4 bytes
    return block("TlSr", d);
  }
  Bytes key(uint8_t me, uint8_t n, uint8_t fill, uint8_t on) {
    return block("KeBP", Bytes{me, n, 0, 1, 1, 0, 0, fill, 0, fill, 0, 0} +
                             hexBytes("23 28 dc d8 c1 80 3e 80")) +
           block("KeOn", {me, n, on, 0});
  }
  Bytes names(unsigned source) {  // as a switcher fresh from the factory: "Camera 3", "CAM3"
    std::string full = "Camera " + std::to_string(source), brief = "CAM" + std::to_string(source);
    Bytes d = be(source) + Bytes(full.begin(), full.end());
    d.resize(22, 0);
    d.insert(d.end(), brief.begin(), brief.begin() + std::min<size_t>(brief.size(), 4));
    d.resize(36, 0);
    return block("InPr", d);
  }
  Bytes dsk(uint8_t n, uint8_t fill, uint8_t on) {
    return block("DskB", {n, 0, 0, fill, 0, fill, 0, 0}) +
           block("DskS", Bytes{n, on} + Bytes(6, 0));
  }
  Bytes hello(unsigned session) { return packet(0x10, session, 0, {1, 0, 0, 0, 0, 0, 0, 0}); }
  Bytes ack(unsigned id) {  // the acknowledged id in bytes 4-5
    Bytes b = packet(0x80, 0, 0, {});
    putBe16(&b[4], uint16_t(id));
    return b;
  }
  std::string cmd(const Bytes& b) { return b.size() < 20 ? "" : std::string(&b[16], &b[16] + 4); }

  SwitcherSim sim;
  UdpPeer peer{"127.0.0.1", 0}, other{"127.0.0.1", 0};
  void TearDown() override { simClose(sim); }
  void send(const Bytes& b, UdpPeer* from = nullptr) { (from ? *from : peer).sendTo(b, sim.local); }
  // Runs the simulator until `to` receives a datagram (returned) or `ms` pass (empty).
  Bytes next(int ms = 2000, UdpPeer* to = nullptr) {
    Bytes b;
    for (int64_t end = nowMs() + ms; nowMs() < end; simPoll(sim, 1))
      if ((to ? *to : peer).receive(b, 0)) break;
    return b;
  }
  // Opens a session and acknowledges the initial state; returns the client id, 0 on failure.
  uint16_t open(uint16_t session) {
    send(hello(session));
    Bytes b = next();
    uint16_t id = b.size() == 20 && b[12] == 0x02 ? be16(b, 14) : 0;
    for (send(ack(0)); id && (b = next()).size() > 12;) {
      send(ack(be16(b, 10)));
      if (cmd(b) == "InCm") return id;
    }
    return 0;
  }
};

TEST_F(SwitcherSimTest, SynAnswerInitialStatePacketIdsAndRetransmission) {
  ASSERT_TRUE(simOpen(sim, "127.0.1.1"));
  sim.meCount = 2;
  sim.sourceCount = 12;
  sim.program[1] = 3000;
  sim.preview[1] = 7;
  send(hello(0x53AB));
  Bytes b = next();
  ASSERT_EQ(b.size(), 20u);
  uint16_t id = be16(b, 14), session = 0x8000 | id;
  EXPECT_EQ(b, packet(0x10, 0x53AB, 0, Bytes{2, 0} + be(id) + Bytes(4, 0)));
  EXPECT_TRUE(id > 0 && id < 0x8000) << id;
  EXPECT_TRUE(next(100).empty()) << "the state must wait for the answer's acknowledgement";
  send(ack(0));
  Bytes state = block("_ver", {0, 2, 0, 0x1E}) + block("_top", Bytes{2, 12} + Bytes(26, 0));
  for (unsigned source = 1; source <= 12; ++source) state = state + names(source);
  state = state + block("_MeC", {0, 4, 0, 0}) + block("_MeC", {1, 4, 0, 0}) +
          block("PrgI", {0, 0, 0, 1}) + block("PrvI", {0, 0, 0, 2, 0, 0, 0, 0}) +
          block("TrPs", Bytes(8, 0)) + key(0, 0, 0, 0) + key(0, 1, 0, 0) + key(0, 2, 0, 0) +
          key(0, 3, 0, 0) + block("PrgI", {1, 0, 0x0B, 0xB8}) +
          block("PrvI", {1, 0, 0, 7, 0, 0, 0, 0}) + block("TrPs", Bytes{1} + Bytes(7, 0)) +
          key(1, 0, 0, 0) + key(1, 1, 0, 0) + key(1, 2, 0, 0) + key(1, 3, 0, 0) + dsk(0, 0, 0) +
          dsk(1, 0, 0) + tlsr({{1, 1}, {2, 2}, {3000, 0}});
  EXPECT_EQ(next(), packet(0x08, session, 1, state));
  EXPECT_EQ(next(), packet(0x08, session, 2, block("InCm", {1, 0, 0, 0})));
  send(ack(2));
  // Ids wrap at 15 bits; an unacknowledged packet is resent with the 0x20 flag; an ack of the
  // newest id settles everything before it, across the wrap. Each change of program carries the
  // new tally list, which names input 13 too once it is on a bus.
  sim.retransmitMs = 60;
  sim.clients.at(0).nextPacketId = 0x7FFE;
  for (uint8_t input : {11, 12, 13}) simSetProgram(sim, 0, input);
  const unsigned ids[] = {0x7FFE, 0x7FFF, 0, 0x7FFE}, flags[] = {0x08, 0x08, 0x08, 0x28};
  for (int i = 0; i < 4; ++i) {
    uint8_t in = uint8_t(11 + i % 3);
    EXPECT_EQ(next(), packet(flags[i], session, ids[i],
                             block("PrgI", {0, 0, 0, in}) + tlsr({{in, 1}, {2, 2}, {3000, 0}})))
        << i;
  }
  send(ack(0));
  simPoll(sim, 50);
  EXPECT_TRUE(sim.clients.at(0).inFlight.empty());
}

TEST_F(SwitcherSimTest, RestartClientLimitAndDroppingASilentClient) {
  ASSERT_TRUE(simOpen(sim, "127.0.1.2"));
  uint16_t id = open(0x1111);
  ASSERT_NE(id, 0);
  simSilence(sim, 300);
  send(hello(0x2222));
  EXPECT_TRUE(next(150).empty()) << "a restarting switcher answers nothing";
  while (sim.silent) simPoll(sim, 5);
  send(packet(0x08, 0x8000 | id, 3, {}));
  EXPECT_TRUE(next(100).empty()) << "the old session is forgotten";
  uint16_t again = open(0x3333);
  EXPECT_TRUE(again != 0 && again != id) << again;
  sim.clientLimit = 1;
  send(hello(0x4321), &other);
  EXPECT_EQ(next(2000, &other), packet(0x10, 0x4321, 0, {3, 0, 0, 0, 0, 0, 0, 0}));
  sim.dropMs = 300;
  simSetProgram(sim, 0, 4);  // never acknowledged
  for (int64_t end = nowMs() + 3000; !sim.clients.empty() && nowMs() < end;) simPoll(sim, 5);
  EXPECT_EQ(sim.clientsDropped, 1u);
  send(hello(0x4321), &other);
  EXPECT_EQ(next(2000, &other)[12], 0x02) << "the dropped client's slot is free again";
}

// Each change on the wire, in order, from a client that acknowledges everything: the tally list
// follows when, and only when, a source's flags change. Then two of them sent again on demand.
TEST_F(SwitcherSimTest, TallyListWithCutsKeysAndMixesAndResendingOnDemand) {
  ASSERT_TRUE(simOpen(sim, "127.0.1.4"));
  sim.pingMs = 60000;
  uint16_t session = 0x8000 | open(0x5151);
  ASSERT_NE(session, 0x8000);
  Bytes noMix = block("TrPs", Bytes(8, 0)), prg1 = block("PrgI", {0, 0, 0, 1}),
        prv2 = block("PrvI", {0, 0, 0, 2, 0, 0, 0, 0});
  const std::vector<std::pair<std::function<void()>, Bytes>> steps = {
      {[&] { simCut(sim, 0); }, block("PrgI", {0, 0, 0, 2}) +
                                    block("PrvI", {0, 0, 0, 1, 0, 0, 0, 0}) +
                                    tlsr({{2, 1}, {1, 2}})},
      {[&] { simSetPreview(sim, 0, 1); }, block("PrvI", {0, 0, 0, 1, 0, 0, 0, 0})},
      {[&] { simSetKey(sim, 0, 1, 12, true); }, key(0, 1, 12, 1) + tlsr({{2, 1}, {1, 2}, {12, 1}})},
      {[&] { simSetKey(sim, 1, 0, 5, true); }, key(1, 0, 5, 1)},  // M/E 1 lights nothing
      {[&] { simSetDsk(sim, 1, 7, true); }, dsk(1, 7, 1) + tlsr({{2, 1}, {1, 2}, {12, 1}, {7, 1}})},
      // 150 ms is 3 frames; meanwhile both sources are on program, then the buses swap.
      {[&] { simAuto(sim, 0, 150); },
       block("TrPs", {0, 1, 3, 0, 0, 0, 0, 0}) + tlsr({{2, 1}, {1, 3}, {12, 1}, {7, 1}})},
      {[] {}, prg1 + prv2 + tlsr({{1, 1}, {2, 2}, {12, 1}, {7, 1}}) + noMix},
      {[&] { simAuto(sim, 0, 5000), simCut(sim, 0); },
       block("TrPs", {0, 1, 125, 0, 0, 0, 0, 0}) + tlsr({{1, 1}, {2, 3}, {12, 1}, {7, 1}})},
      {[] {}, block("PrgI", {0, 0, 0, 2}) + block("PrvI", {0, 0, 0, 1, 0, 0, 0, 0}) +
                  tlsr({{2, 1}, {1, 2}, {12, 1}, {7, 1}}) + noMix},  // the cut ends the mix
      {[&] { simSetKey(sim, 0, 1, 12, false); },
       key(0, 1, 12, 0) + tlsr({{2, 1}, {1, 2}, {12, 0}, {7, 1}})},
  };
  std::vector<Bytes> got;
  uint16_t id = 3;  // after the two packets of the initial state
  for (size_t i = 0; i < steps.size(); ++i) {
    steps[i].first();
    got.push_back(next());
    EXPECT_EQ(got.back(), packet(0x08, session, id, steps[i].second)) << "step " << i;
    send(ack(id++));
  }
  EXPECT_EQ(simTallyFlags(sim, 7), kTallyFlagProgram);
  EXPECT_EQ(simTallyFlags(sim, 5), 0);
  // Acknowledged packets stay available; a resend keeps its id and is not numbered anew.
  ASSERT_TRUE(simResend(sim, 1, true));
  Bytes again = got.back();
  again[0] |= 0x20;
  EXPECT_EQ(next(), again);
  ASSERT_TRUE(simResend(sim, 3, false));
  EXPECT_EQ(next(), got[got.size() - 3]);
  EXPECT_FALSE(simResend(sim, int(got.size()) + 3, true));
  EXPECT_EQ(sim.clients.at(0).nextPacketId, id);
}

// Each fault hits PrgI 21 and spares PrgI 22; the client acknowledges every packet it gets, so a
// lost packet must survive the acknowledgement of a later one and come back resent ("r").
TEST_F(SwitcherSimTest, EachFaultHasItsEffect) {
  ASSERT_TRUE(simOpen(sim, "127.0.1.3"));
  ASSERT_NE(open(0x1234), 0);
  for (std::string row :
       {"duplicate:21 21 22 ", "reorder:22 21 ", "garbage:21 junk 22 ", "loss:22 21r "}) {
    std::string fault = row.substr(0, row.find(':')), want = row.substr(row.find(':') + 1), got;
    ASSERT_TRUE(simCommand(sim, fault + " 100").ok);
    simSetProgram(sim, 0, 21);
    simCommand(sim, "faults off");
    simSetProgram(sim, 0, 22);
    for (Bytes b; got.size() < want.size() && !(b = next()).empty(); got += ' ') {
      bool prgI = cmd(b) == "PrgI";
      if (prgI) send(ack(be16(b, 10)));
      got += prgI ? std::to_string(b[23]) + (b[0] & 0x20 ? "r" : "") : "junk";
    }
    EXPECT_EQ(got, want) << fault;
  }
}

TEST_F(SwitcherSimTest, CommandLanguage) {
  sim.meCount = 2;
  for (const char* line :
       {"program 3 1", "  preview 4 1   # the next shot", "cut 1", "loss 30", "key 2 fill 9 1",
        "key 2 on 1", "dsk 1 fill 6", "dsk 1 on", "auto 500 1"})
    EXPECT_TRUE(simCommand(sim, line).ok) << line;
  EXPECT_TRUE(sim.program[1] == 4 && sim.preview[1] == 3 && sim.faults.lossPct == 30);
  EXPECT_TRUE(sim.keys[1][1].fill == 9 && sim.keys[1][1].onAir && sim.dsks[0].fill == 6 &&
              sim.dsks[0].onAir && sim.mixing[1] && sim.mixMs[1] == 500);
  for (const char* line :
       {"cut 2", "program x", "program 70000", "garbage 101", "jump 3", "key 5 on", "key 1 up",
        "dsk 3 on", "dsk 1 on 1", "auto 500 1", "auto x", "resend", "resend 65 dup"})
    EXPECT_FALSE(simCommand(sim, line).ok) << line;
  std::string status = simCommand(sim, "status").message;
  for (const char* part : {"key 2 fill 9 on air", "mixing", "DSK 1 fill 6 on air"})
    EXPECT_TRUE(holds(status, part));
  EXPECT_EQ(simCommand(sim, "wait 250").waitMs, 250);
  EXPECT_TRUE(holds(simCommand(sim, "jump 3").message, "jump 3"));
  // A replayed dump brings its keys, and its tally list (37 sources) as the one clients hold.
  ASSERT_TRUE(simCommand(sim, "replay " + std::string(QUORVEL_FIXTURES) + "/2me-v8.1.data").ok);
  EXPECT_TRUE(sim.dsks[1].fill == 13 && sim.dsks[1].onAir && !sim.keys[1][1].onAir);
  EXPECT_TRUE(sim.tallyKnown && sim.tallySent.size() == 2 + 3 * 37 && be16(sim.tallySent, 0) == 37);
}

}  // namespace
