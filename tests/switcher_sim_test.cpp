// The switcher simulator's protocol rules, played against a small hand-written client.
#include "switcher_sim.h"

#include <gtest/gtest.h>

#include <fstream>
#include <string>

#include "test_support.h"

using namespace quorvel_sim;
using testing_support::Child;
using testing_support::TempDir;
using testing_support::UdpPeer;

namespace {

uint16_t be16(const Bytes& b, size_t at) {
  return static_cast<uint16_t>(b[at] << 8 | b[at + 1]);
}

Bytes hello(uint16_t session) {
  Bytes b(20, 0);
  b[0] = 0x10;
  b[1] = 0x14;
  b[2] = static_cast<uint8_t>(session >> 8);
  b[3] = static_cast<uint8_t>(session);
  b[12] = 0x01;
  return b;
}

Bytes ack(uint16_t id) {
  Bytes b(12, 0);
  b[0] = 0x80;
  b[1] = 0x0C;
  b[4] = static_cast<uint8_t>(id >> 8);
  b[5] = static_cast<uint8_t>(id);
  return b;
}

Bytes block(const std::string& name, const Bytes& data) {
  Bytes b(8 + data.size(), 0);
  b[1] = static_cast<uint8_t>(b.size());
  for (size_t i = 0; i < 4; ++i) b[4 + i] = static_cast<uint8_t>(name[i]);
  std::copy(data.begin(), data.end(), b.begin() + 8);
  return b;
}

Bytes payload(const Bytes& packet) {
  return Bytes(packet.begin() + 12, packet.end());
}

// A simulator on its own loopback address and one client socket talking to it.
struct Rig {
  SwitcherSim sim;
  UdpPeer peer{"127.0.0.1", 0};
  sockaddr_in server{};

  explicit Rig(const std::string& ip) {
    std::string err;
    if (!simOpen(sim, ip, kSimPort, &err)) throw std::runtime_error(err);
    server = testing_support::loopbackAddr(ip, kSimPort);
  }
  ~Rig() { simClose(sim); }

  void send(const Bytes& b) { peer.sendTo(b, server); }

  // Polls the simulator until the client receives a datagram, or `ms` pass.
  bool receive(Bytes& out, int ms = 2000) {
    int64_t end = testing_support::nowMs() + ms;
    while (testing_support::nowMs() < end) {
      simPoll(sim, 1);
      if (peer.receive(out, 0)) return true;
    }
    return false;
  }

  // Nothing arrives within `ms` while the simulator runs.
  bool quietFor(int ms) {
    Bytes b;
    return !receive(b, ms);
  }

  // Opens a session, takes the initial state and acknowledges it. Returns the client id.
  uint16_t open(uint16_t session = 0x1234) {
    send(hello(session));
    Bytes b;
    do {  // skip what an earlier session left in the socket
      if (!receive(b)) return 0;
    } while (!(b[0] & 0x10));
    if (b.size() != 20 || b[12] != 0x02) return 0;
    uint16_t id = be16(b, 14);
    send(ack(0));
    for (;;) {
      if (!receive(b)) return 0;
      send(ack(be16(b, 10)));
      std::string p(b.begin() + 12, b.end());
      if (p.find("InCm") != std::string::npos) return id;
    }
  }
};

TEST(SwitcherSim, SynAnswerAndInitialStateLayout) {
  Rig r("127.0.1.1");
  r.sim.meCount = 2;
  r.sim.sourceCount = 12;
  r.sim.program[1] = 0x0BB8;  // 3000
  r.sim.preview[1] = 7;

  r.send(hello(0x53AB));
  Bytes b;
  ASSERT_TRUE(r.receive(b));
  ASSERT_EQ(b.size(), 20u);
  EXPECT_EQ(b[0], 0x10);
  EXPECT_EQ(b[1], 0x14);
  EXPECT_EQ(be16(b, 2), 0x53AB);
  EXPECT_EQ(b[12], 0x02);
  uint16_t clientId = be16(b, 14);
  EXPECT_GT(clientId, 0);
  EXPECT_LT(clientId, 0x8000);
  EXPECT_TRUE(r.quietFor(100)) << "state must wait for the answer's acknowledgement";

  r.send(ack(0));
  Bytes state;
  for (uint16_t expectId = 1; expectId <= 2; ++expectId) {
    ASSERT_TRUE(r.receive(b));
    EXPECT_EQ(b[0] & 0xF8, 0x08);
    EXPECT_EQ(be16(b, 0) & 0x07FF, b.size());
    EXPECT_EQ(be16(b, 2), 0x8000 | clientId);
    EXPECT_EQ(be16(b, 10), expectId);
    Bytes p = payload(b);
    state.insert(state.end(), p.begin(), p.end());
  }
  Bytes top(28, 0);
  top[0] = 2;
  top[1] = 12;
  Bytes expected;
  for (const Bytes& blk :
       {block("_ver", {0x00, 0x02, 0x00, 0x1E}), block("_top", top), block("_MeC", {0, 1, 0, 0}),
        block("_MeC", {1, 1, 0, 0}), block("PrgI", {0, 0, 0, 1}),
        block("PrvI", {0, 0, 0, 2, 0, 0, 0, 0}), block("PrgI", {1, 0, 0x0B, 0xB8}),
        block("PrvI", {1, 0, 0, 7, 0, 0, 0, 0}), block("InCm", {1, 0, 0, 0})})
    expected.insert(expected.end(), blk.begin(), blk.end());
  EXPECT_EQ(state, expected);
  EXPECT_EQ(top.size() + 8, 0x24u);
  // InCm travels alone, in the last packet.
  EXPECT_EQ(payload(b), block("InCm", {1, 0, 0, 0}));
}

TEST(SwitcherSim, BusChangesCutsAndClientPacketsAreAcknowledged) {
  Rig r("127.0.1.2");
  uint16_t id = r.open();
  ASSERT_NE(id, 0);
  Bytes b;
  simSetProgram(r.sim, 0, 5);
  ASSERT_TRUE(r.receive(b));
  EXPECT_EQ(be16(b, 10), 3);
  EXPECT_EQ(payload(b), block("PrgI", {0, 0, 0, 5}));
  r.send(ack(3));

  simCut(r.sim, 0);
  ASSERT_TRUE(r.receive(b));
  EXPECT_EQ(be16(b, 10), 4);
  Bytes both = block("PrgI", {0, 0, 0, 2});
  Bytes prv = block("PrvI", {0, 0, 0, 5, 0, 0, 0, 0});
  both.insert(both.end(), prv.begin(), prv.end());
  EXPECT_EQ(payload(b), both);
  r.send(ack(4));

  // A packet from the client that asks for an acknowledgement gets one.
  Bytes cmd(12, 0);
  cmd[0] = 0x08;
  cmd[1] = 0x0C;
  cmd[11] = 9;
  r.send(cmd);
  ASSERT_TRUE(r.receive(b));
  EXPECT_EQ(b, (Bytes{0x80, 0x0C, static_cast<uint8_t>(0x80 | id >> 8), static_cast<uint8_t>(id), 0,
                      9, 0, 0, 0, 0, 0, 0}));
}

TEST(SwitcherSim, PacketIdsWrapAtFifteenBitsAndAcksAreCumulative) {
  Rig r("127.0.1.3");
  ASSERT_NE(r.open(), 0);
  r.sim.clients[0].nextPacketId = 0x7FFE;
  for (uint16_t in : {11, 12, 13}) simSetProgram(r.sim, 0, in);
  Bytes b;
  for (uint16_t want : {0x7FFE, 0x7FFF, 0x0000}) {
    ASSERT_TRUE(r.receive(b));
    EXPECT_EQ(be16(b, 10), want);
  }
  EXPECT_EQ(r.sim.clients[0].inFlight.size(), 3u);
  r.send(ack(0));  // the newest one, across the wrap
  simPoll(r.sim, 50);
  EXPECT_TRUE(r.sim.clients[0].inFlight.empty());
  // An ack of an id never sent settles nothing.
  simSetProgram(r.sim, 0, 14);
  r.send(ack(0x2000));
  simPoll(r.sim, 50);
  EXPECT_EQ(r.sim.clients[0].inFlight.size(), 1u);
}

TEST(SwitcherSim, UnacknowledgedPacketIsResentWithRetransmitFlag) {
  Rig r("127.0.1.4");
  r.sim.retransmitMs = 60;
  ASSERT_NE(r.open(), 0);
  simSetProgram(r.sim, 0, 9);
  Bytes first, again;
  ASSERT_TRUE(r.receive(first));
  EXPECT_EQ(first[0] & 0x20, 0);
  ASSERT_TRUE(r.receive(again));
  EXPECT_EQ(again[0], first[0] | 0x20);
  EXPECT_EQ(Bytes(again.begin() + 1, again.end()), Bytes(first.begin() + 1, first.end()));
  r.send(ack(be16(first, 10)));
  simPoll(r.sim, 20);
  while (r.peer.receive(again, 0)) {
  }
  uint64_t before = r.sim.retransmissions;
  EXPECT_TRUE(r.quietFor(300));
  EXPECT_EQ(r.sim.retransmissions, before);
}

TEST(SwitcherSim, LostPacketSurvivesAckOfALaterOne) {
  Rig r("127.0.1.5");
  r.sim.retransmitMs = 80;
  ASSERT_NE(r.open(), 0);
  r.sim.faults.lossPct = 100;
  simSetProgram(r.sim, 0, 21);  // id 3, never reaches the wire
  r.sim.faults.lossPct = 0;
  simSetProgram(r.sim, 0, 22);  // id 4
  Bytes b;
  ASSERT_TRUE(r.receive(b));
  EXPECT_EQ(be16(b, 10), 4);
  r.send(ack(4));
  ASSERT_TRUE(r.receive(b));
  EXPECT_EQ(be16(b, 10), 3);
  EXPECT_EQ(b[0] & 0x20, 0x20);
  EXPECT_EQ(payload(b), block("PrgI", {0, 0, 0, 21}));
  EXPECT_EQ(r.sim.packetsLost, 1u);
}

TEST(SwitcherSim, PingsWhenIdle) {
  Rig r("127.0.1.6");
  r.sim.pingMs = 100;
  uint16_t id = r.open();
  ASSERT_NE(id, 0);
  Bytes b;
  ASSERT_TRUE(r.receive(b));
  EXPECT_EQ(b, (Bytes{0x08, 0x0C, static_cast<uint8_t>(0x80 | id >> 8), static_cast<uint8_t>(id), 0,
                      0, 0, 0, 0, 0, 0, 3}));
}

TEST(SwitcherSim, RefusesBeyondTheClientLimit) {
  Rig r("127.0.1.7");
  r.sim.clientLimit = 1;
  ASSERT_NE(r.open(), 0);
  UdpPeer second("127.0.0.1", 0);
  second.sendTo(hello(0x4321), r.server);
  Bytes b;
  bool got = false;
  for (int i = 0; i < 500 && !got; ++i) {
    simPoll(r.sim, 2);
    got = second.receive(b, 0);
  }
  ASSERT_TRUE(got);
  ASSERT_EQ(b.size(), 20u);
  EXPECT_EQ(b[0], 0x10);
  EXPECT_EQ(be16(b, 2), 0x4321);
  EXPECT_EQ(b[12], 0x03);
  EXPECT_EQ(r.sim.clients.size(), 1u);

  EXPECT_TRUE(simCommand(r.sim, "limit 2").ok);
  second.sendTo(hello(0x4321), r.server);
  got = false;
  for (int i = 0; i < 500 && !got; ++i) {
    simPoll(r.sim, 2);
    got = second.receive(b, 0);
  }
  ASSERT_TRUE(got);
  EXPECT_EQ(b[12], 0x02);
}

TEST(SwitcherSim, DropsAClientThatStopsAcknowledging) {
  Rig r("127.0.1.8");
  r.sim.dropMs = 300;
  r.sim.clientLimit = 1;
  ASSERT_NE(r.open(), 0);
  simSetProgram(r.sim, 0, 4);
  int64_t end = testing_support::nowMs() + 3000;
  while (!r.sim.clients.empty() && testing_support::nowMs() < end) simPoll(r.sim, 5);
  EXPECT_TRUE(r.sim.clients.empty());
  EXPECT_EQ(r.sim.clientsDropped, 1u);
  // Its slot is free again.
  EXPECT_NE(r.open(0x0101), 0);
}

TEST(SwitcherSim, SilenceForgetsSessionsUntilANewHello) {
  Rig r("127.0.1.9");
  uint16_t first = r.open();
  ASSERT_NE(first, 0);
  simSilence(r.sim, 300);
  r.send(hello(0x2222));
  Bytes b;
  EXPECT_TRUE(r.quietFor(150));
  while (r.sim.silent) simPoll(r.sim, 5);
  // The old session is gone: its acknowledgements and requests get nothing.
  Bytes cmd = ack(3);
  cmd[0] |= 0x08;
  r.send(cmd);
  EXPECT_TRUE(r.quietFor(100));
  uint16_t second = r.open(0x3333);
  EXPECT_NE(second, 0);
  EXPECT_NE(second, first);
}

TEST(SwitcherSim, ReopenAndRefuseOnCommand) {
  Rig r("127.0.1.10");
  ASSERT_TRUE(simCommand(r.sim, "reopen next").ok);
  r.send(hello(0x0042));
  Bytes b;
  ASSERT_TRUE(r.receive(b));
  EXPECT_EQ(b.size(), 20u);
  EXPECT_EQ(be16(b, 2), 0x0042);
  EXPECT_EQ(b[12], 0x04);

  ASSERT_TRUE(simCommand(r.sim, "refuse 1").ok);
  r.send(hello(0x0043));
  ASSERT_TRUE(r.receive(b));
  EXPECT_EQ(b[12], 0x03);

  uint16_t id = r.open();
  ASSERT_NE(id, 0);
  ASSERT_TRUE(simCommand(r.sim, "reopen").ok);
  ASSERT_TRUE(r.receive(b));
  EXPECT_EQ(b[0] & 0x10, 0x10);
  EXPECT_EQ(b[12], 0x04);
  EXPECT_TRUE(r.sim.clients.empty());
}

TEST(SwitcherSim, DuplicateReorderAndGarbageFaults) {
  Rig r("127.0.1.11");
  ASSERT_NE(r.open(), 0);
  Bytes a, b;
  r.sim.faults.duplicatePct = 100;
  simSetProgram(r.sim, 0, 31);
  r.sim.faults.duplicatePct = 0;
  ASSERT_TRUE(r.receive(a));
  ASSERT_TRUE(r.receive(b));
  EXPECT_EQ(a, b);
  r.send(ack(be16(a, 10)));

  r.sim.faults.reorderPct = 100;
  simSetProgram(r.sim, 0, 32);
  r.sim.faults.reorderPct = 0;
  simSetProgram(r.sim, 0, 33);
  ASSERT_TRUE(r.receive(a));
  ASSERT_TRUE(r.receive(b));
  EXPECT_EQ(payload(a), block("PrgI", {0, 0, 0, 33}));
  EXPECT_EQ(payload(b), block("PrgI", {0, 0, 0, 32}));
  EXPECT_EQ(be16(b, 10) + 1, be16(a, 10));
  r.send(ack(be16(a, 10)));

  r.sim.faults.garbagePct = 100;
  simSetProgram(r.sim, 0, 34);
  r.sim.faults.garbagePct = 0;
  ASSERT_TRUE(r.receive(a));
  ASSERT_TRUE(r.receive(b));
  EXPECT_EQ(payload(a), block("PrgI", {0, 0, 0, 34}));
  EXPECT_NE(b, a);
  EXPECT_EQ(r.sim.garbageSent, 1u);
}

TEST(SwitcherSim, ReplaysARecordedDumpAndAdoptsItsState) {
  Rig r("127.0.1.12");
  std::string path = std::string(QUORVEL_FIXTURES) + "/2me-v8.1.data";
  std::vector<Bytes> lines;
  std::string err;
  ASSERT_TRUE(simReadDump(path, lines, &err)) << err;
  ASSERT_EQ(lines.size(), 17u);
  ASSERT_NE(r.open(), 0);
  ASSERT_TRUE(simReplay(r.sim, path, &err)) << err;
  Bytes b;
  for (size_t i = 0; i < lines.size(); ++i) {
    ASSERT_TRUE(r.receive(b)) << "packet " << i;
    EXPECT_EQ(payload(b), lines[i]) << "packet " << i;
    EXPECT_EQ(be16(b, 0) & 0x07FF, b.size());
    r.send(ack(be16(b, 10)));
  }
  EXPECT_EQ(r.sim.meCount, 2);
  EXPECT_EQ(r.sim.program[0], 1);
  EXPECT_EQ(r.sim.program[1], 12);
  EXPECT_EQ(r.sim.preview[0], 9);
  EXPECT_EQ(r.sim.preview[1], 1);

  // The same dump as the initial state of a new session; a new hello from the same client
  // replaces its old session.
  ASSERT_TRUE(simCommand(r.sim, "initial " + path).ok);
  r.send(hello(0x0777));
  ASSERT_TRUE(r.receive(b));
  ASSERT_EQ(b[12], 0x02);
  EXPECT_EQ(r.sim.clients.size(), 1u);
  r.send(ack(0));
  for (size_t i = 0; i < lines.size(); ++i) {
    ASSERT_TRUE(r.receive(b));
    EXPECT_EQ(be16(b, 10), i + 1);
    EXPECT_EQ(payload(b), lines[i]);
    r.send(ack(be16(b, 10)));
  }
}

TEST(SwitcherSim, CommandLanguage) {
  SwitcherSim sim;
  sim.meCount = 2;
  EXPECT_TRUE(simCommand(sim, "program 3 1").ok);
  EXPECT_EQ(sim.program[1], 3);
  EXPECT_TRUE(simCommand(sim, "  preview 4 1   # the next shot").ok);
  EXPECT_EQ(sim.preview[1], 4);
  EXPECT_TRUE(simCommand(sim, "cut 1").ok);
  EXPECT_EQ(sim.program[1], 4);
  EXPECT_EQ(sim.preview[1], 3);
  EXPECT_FALSE(simCommand(sim, "cut 2").ok);  // only M/Es 0 and 1
  EXPECT_FALSE(simCommand(sim, "program x").ok);
  EXPECT_FALSE(simCommand(sim, "program 70000").ok);
  EXPECT_EQ(simCommand(sim, "wait 250").waitMs, 250);
  EXPECT_TRUE(simCommand(sim, "repeat").repeat);
  EXPECT_TRUE(simCommand(sim, "quit").quit);
  EXPECT_TRUE(simCommand(sim, "loss 30").ok);
  EXPECT_TRUE(simCommand(sim, "reorder 5").ok);
  EXPECT_FALSE(simCommand(sim, "garbage 101").ok);
  EXPECT_EQ(sim.faults.lossPct, 30);
  EXPECT_EQ(sim.faults.reorderPct, 5);
  EXPECT_TRUE(simCommand(sim, "faults off").ok);
  EXPECT_EQ(sim.faults.lossPct, 0);
  EXPECT_TRUE(simCommand(sim, "cuts 3 500").ok);
  EXPECT_EQ(sim.autoCutsLeft, 3);
  EXPECT_TRUE(simCommand(sim, "cuts 0").ok);
  EXPECT_EQ(sim.autoCutsLeft, 0);
  EXPECT_TRUE(simCommand(sim, "# just a comment").message.empty());
  SimCommandResult bad = simCommand(sim, "jump 3");
  EXPECT_FALSE(bad.ok);
  EXPECT_NE(bad.message.find("jump 3"), std::string::npos);
  EXPECT_FALSE(simCommand(sim, "replay /nonexistent/dump.data").ok);
}

TEST(SwitcherSimProgram, RunsAScriptWithTimedCuts) {
  TempDir dir;
  std::string script = dir.write("show.txt",
                                 "program 5\n"
                                 "preview 6\n"
                                 "cuts 2 50\n"
                                 "wait 400\n"
                                 "status\n"
                                 "bogus\n"
                                 "quit\n");
  Child c;
  testing_support::startChild(c,
                              {std::string(QUORVEL_BINARY_DIR) + "/quorvel-switcher-sim",
                               "--address", "127.0.1.13", "--no-stdin", "--script", script},
                              {});
  ASSERT_EQ(testing_support::waitChild(c, 10000), 0) << c.out << c.err;
  EXPECT_NE(c.out.find("switcher simulator on 127.0.1.13:9910"), std::string::npos);
  EXPECT_NE(c.out.find("timed cut on M/E 0: program 6, preview 5, 1 to go"), std::string::npos);
  EXPECT_NE(c.out.find("timed cut on M/E 0: program 5, preview 6"), std::string::npos);
  EXPECT_NE(c.out.find("error: unknown command 'bogus'"), std::string::npos);
  EXPECT_NE(c.out.find("switcher simulator stopped"), std::string::npos);
}

}  // namespace
