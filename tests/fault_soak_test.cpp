// Fault soak: the built quorvel against the switcher simulator and a camera sink, through rounds
// of bus changes under packet loss, duplication, reordering, garbage datagrams, a switcher
// restart, refusals and re-open requests. After every round the faults stop, the session
// settles, and the camera's last command must match the watched input's state on the simulator.
// The process must stay up with a flat descriptor count and resident size.
//
// The session applies each reliable packet once and in order, so neither a resent nor an
// overtaken packet may put an older state back: every round must end with the right lamp.
//
// The CI run is short. The long run (tests/soak/run) scales it with QUORVEL_SOAK_CHANGES (bus
// changes per fault round, default 30), QUORVEL_SOAK_LAPS (passes through the fault rounds,
// default 1), QUORVEL_SOAK_SEED and QUORVEL_SOAK_WRAP (command words put in front of the
// binary, e.g. a valgrind call).
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <random>
#include <sstream>

#include "test_support.h"

using namespace testing_support;
namespace sim = quorvel_sim;

namespace {

constexpr int kWatch = 1;

long envNumber(const char* name, long fallback) {
  const char* v = std::getenv(name);
  return v && *v ? std::strtol(v, nullptr, 10) : fallback;
}

std::vector<std::string> quorvelCommand() {
  std::vector<std::string> argv;
  std::istringstream words(std::getenv("QUORVEL_SOAK_WRAP") ? std::getenv("QUORVEL_SOAK_WRAP")
                                                            : "");
  for (std::string w; words >> w;) argv.push_back(w);
  argv.push_back(QUORVEL_BIN);
  return argv;
}

long residentKb(pid_t pid) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  for (std::string line; std::getline(status, line);)
    if (line.rfind("VmRSS:", 0) == 0) return std::strtol(line.c_str() + 6, nullptr, 10);
  return -1;
}

// The camera command for the watched input's state on M/E 0 of the simulator.
const Bytes& expectedLamp(const sim::SwitcherSim& s) {
  return s.program[0] == kWatch ? kProgram : s.preview[0] == kWatch ? kPreview : kOff;
}

std::string lampName(const Bytes& b) {
  if (b == kProgram || b == kPreview || b == kOff)
    return b == kProgram ? "PROGRAM" : b == kPreview ? "PREVIEW" : "OFF";
  return b.empty() ? "nothing" : std::to_string(b.size()) + " other bytes";
}

// An open session that has taken everything sent to it, within `timeoutMs`.
bool waitSettled(BridgeRig& r, int timeoutMs) {
  for (int64_t end = nowMs() + timeoutMs; nowMs() < end;) {
    r.pump(10);
    bool settled = r.sw.delayed.empty() && !r.sw.silent && sim::simOpenClients(r.sw) == 1;
    for (const sim::SimClient& c : r.sw.clients) settled = settled && c.inFlight.empty();
    if (settled) return true;
  }
  return false;
}

// Starts the bridge (wrapped as the long run asks) watching input 1, and waits for its session.
void startWatching(BridgeRig& r, const std::string& extra = "") {
  r.start(", \"watch_input_id\": " + std::to_string(kWatch) + extra, quorvelCommand());
  ASSERT_TRUE(waitSettled(r, 10000)) << r.context();
}

// The same, then waits for the first camera command, which follows the warm-up.
void startAndWarmUp(BridgeRig& r) {
  startWatching(r);
  for (int64_t end = nowMs() + 5000; r.lampCommands == 0 && nowMs() < end;) r.pump(5);
}

// The bridge's descriptors once the last delivery's socket has had its second for answers.
int settledFds(BridgeRig& r) {
  r.pump(1200);
  return countOpenFds(r.q.pid);
}

// A bus change on M/E 0: mostly cuts, sometimes a new source on one of the buses.
void randomChange(sim::SwitcherSim& s, std::mt19937& rng) {
  int pick = static_cast<int>(rng() % 10);
  uint16_t input = static_cast<uint16_t>(1 + rng() % 3);
  if (pick < 6)
    sim::simCut(s, 0);
  else if (pick < 8)
    sim::simSetPreview(s, 0, input);
  else
    sim::simSetProgram(s, 0, input);
}

}  // namespace

TEST(FaultSoak, LampFollowsTheSwitcherThroughFaults) {
  const long changesPerRound = envNumber("QUORVEL_SOAK_CHANGES", 30);
  const long laps = envNumber("QUORVEL_SOAK_LAPS", 1);
  const uint32_t seed = static_cast<uint32_t>(envNumber("QUORVEL_SOAK_SEED", 20240611));
  std::mt19937 rng(seed);
  BridgeRig r("127.0.3.1");
  r.sw.rngState = seed | 1u;
  ASSERT_NO_FATAL_FAILURE(startAndWarmUp(r));
  long changes = 0;
  std::vector<std::string> wrong;

  // After the faults stop: every packet delivered or given up, the hold-off and the delivery
  // over, and then the lamp must show the simulator's truth.
  auto quietCheck = [&](const std::string& round) {
    r.sw.faults = sim::SimFaults{};
    bool settled = waitSettled(r, 15000);
    r.pump(300);
    if (!settled || r.lastLamp != expectedLamp(r.sw))
      wrong.push_back(round + ": lamp " + lampName(r.lastLamp) + ", switcher says " +
                      lampName(expectedLamp(r.sw)) + (settled ? "" : " (session did not settle)"));
    int status = 0;
    ASSERT_EQ(waitpid(r.q.pid, &status, WNOHANG), 0)
        << "quorvel died in round " << round << "\n" << r.context();
  };
  auto change = [&](long count) {
    for (long i = 0; i < count; ++i, ++changes) {
      randomChange(r.sw, rng);
      r.pump(60 + static_cast<int>(rng() % 41));  // beyond the 50 ms hold-off
    }
  };
  auto faultRound = [&](const std::string& name, sim::SimFaults f) {
    r.sw.faults = f;
    change(changesPerRound);
    quietCheck(name);
  };

  quietCheck("initial state");
  // A clean round first, so that the baseline is taken with the heap of a running bridge.
  faultRound("clean", sim::SimFaults{});
  const int fdBase = settledFds(r);
  const long rssBase = residentKb(r.q.pid);
  for (long lap = 1; lap <= laps && !HasFatalFailure(); ++lap) {
    const std::string l = " (lap " + std::to_string(lap) + ")";
    faultRound("loss 25%" + l, {25, 0, 0, 0});
    faultRound("duplication 30%" + l, {0, 30, 0, 0});
    faultRound("reordering 30%" + l, {0, 0, 30, 0});
    faultRound("garbage 30%" + l, {0, 0, 0, 30});
    faultRound("all faults 10%" + l, {10, 10, 10, 10});
    // Switcher restart: silent for longer than the bridge's silence timeout, with changes made
    // meanwhile that only the fresh session's initial state can tell.
    sim::simSilence(r.sw, 5500);
    change(3);
    quietCheck("restart" + l);
    // Re-open request while connected, then a refusal, then re-open on the next hello.
    r.sw.refuseNext = 1;
    r.sw.reopenNext = 1;
    sim::simReopenAll(r.sw);
    change(3);
    quietCheck("re-open and refusal" + l);
  }
  if (HasFatalFailure()) return;
  faultRound("clean, last", sim::SimFaults{});

  const int fdEnd = settledFds(r);
  const long rssEnd = residentKb(r.q.pid);
  const sim::SwitcherSim& s = r.sw;
  std::printf(
      "soak: %ld changes, %zu wrong final states; faults: "
      "%llu lost, %llu duplicated, %llu reordered, %llu garbage, %llu retransmitted, %llu "
      "refused; %llu camera commands; descriptors %d -> %d; VmRSS %ld -> %ld kB\n",
      changes, wrong.size(), (unsigned long long)s.packetsLost,
      (unsigned long long)s.packetsDuplicated, (unsigned long long)s.packetsReordered,
      (unsigned long long)s.garbageSent, (unsigned long long)s.retransmissions,
      (unsigned long long)s.helloRefused, (unsigned long long)r.lampCommands, fdBase, fdEnd,
      rssBase, rssEnd);
  for (const std::string& w : wrong) std::printf("  wrong: %s\n", w.c_str());

  EXPECT_TRUE(wrong.empty()) << r.context();
  if (laps > 0) {
    EXPECT_TRUE(s.packetsLost && s.packetsDuplicated && s.packetsReordered && s.garbageSent);
  }
  EXPECT_EQ(s.helloRefused, static_cast<uint64_t>(laps));
  EXPECT_EQ(fdEnd, fdBase);
#ifndef QUORVEL_SANITIZED
  // Under AddressSanitizer freed memory sits in quarantine and the size grows by design; leaks
  // are then caught by the exit status (LeakSanitizer) instead.
  EXPECT_LE(rssEnd - rssBase, 256) << "kB of growth";
#endif
  EXPECT_EQ(r.stop(SIGTERM, 20000), 0) << r.context();
  EXPECT_EQ(lampName(r.lastLamp), "OFF");
}

namespace {

// Cuts on M/E 0 every millisecond under `faults`, with bursts of junk datagrams from a second
// sender: header-sized and longer ones whose payload is no command block, and runts.
struct Flood {
  UdpPeer from;
  sockaddr_in bridge;
  uint32_t seq = 0;
  Flood(BridgeRig& r, sim::SimFaults faults) : from(r.ip, 0), bridge(r.sw.clients.at(0).addr) {
    r.sw.faults = faults;
    sim::simStartCuts(r.sw, 1000000, 1, 0);
  }
  void burst() {
    for (int i = 0; i < 10; ++i, ++seq) {
      Bytes junk(seq % 3 == 0 ? 1 + seq % 11 : 12 + seq % 40, static_cast<uint8_t>(seq * 37));
      if (junk.size() >= 14) junk[12] = junk[13] = 0;  // block length 0: ends the walk at once
      from.sendTo(junk, bridge);
    }
  }
};

int countOf(const std::string& text, const std::string& needle) {
  int n = 0;
  for (size_t at = text.find(needle); at != std::string::npos; at = text.find(needle, at + 1)) ++n;
  return n;
}

}  // namespace

// SIGTERM in two busy moments; each time the process ends at once with status 0, OFF last.
TEST(FaultSoak, StopUnderLoad) {
  {  // During the warm-up, while the switcher floods the bridge with cuts, duplicates and junk:
     // OFF only.
    BridgeRig r("127.0.3.3");
    ASSERT_NO_FATAL_FAILURE(startWatching(r));
    ASSERT_TRUE(r.waitOut("[OK] Tally follows", 2000)) << r.context();
    Flood flood(r, {0, 50, 0, 50});
    for (int64_t end = nowMs() + 600; nowMs() < end; r.pump(1)) flood.burst();
    ASSERT_EQ(r.lampCommands, 0u) << "still warming up";
    const int64_t signalled = nowMs();
    EXPECT_EQ(r.stop(SIGTERM, 15000, [&] { flood.burst(); }), 0) << r.context();
    EXPECT_LT(nowMs() - signalled, 1000);
    EXPECT_EQ(r.lampCommands, 1u);
    EXPECT_EQ(lampName(r.lastLamp), "OFF");
    EXPECT_EQ(countOf(r.q.out, "[INFO] Sending tally OFF before exit..."), 1);
    EXPECT_GT(flood.seq, 1000u);
  }
  {  // In the main loop, cuts every millisecond along with junk: the hold-off keeps the camera
     // to one change per 50 ms, and the bridge still ends at once.
    BridgeRig r("127.0.3.4");
    ASSERT_NO_FATAL_FAILURE(startAndWarmUp(r));
    ASSERT_EQ(r.lampCommands, 1u) << r.context();
    const int fds = settledFds(r);
    Flood flood(r, {0, 30, 0, 30});
    const int64_t start = nowMs();
    for (int64_t end = start + 1500; nowMs() < end; r.pump(1)) flood.burst();
    const uint64_t during = r.lampCommands - 1;
    const int64_t floodMs = nowMs() - start;
    sim::simStartCuts(r.sw, 0, 1, 0);
    EXPECT_EQ(settledFds(r), fds) << "no descriptor left behind by the flood";
    sim::simStartCuts(r.sw, 1000000, 1, 0);
    const int64_t signalled = nowMs();
    EXPECT_EQ(r.stop(SIGTERM, 10000, [&] { flood.burst(); }), 0) << r.context();
    EXPECT_LT(nowMs() - signalled, 1000);
    EXPECT_EQ(lampName(r.lastLamp), "OFF");
    EXPECT_GT(during, 5u) << "the lamp followed the cuts";
    EXPECT_LE(during, static_cast<uint64_t>(floodMs / 50 + 2)) << "at most one change per 50 ms";
    EXPECT_GT(r.sw.packetsSent, 500u);
    EXPECT_NE(r.q.err.find("[WARN] Ignoring datagrams that do not come from the switcher: 1 so "
                           "far, the latest from " + r.ip + ":"),
              std::string::npos)
        << "the junk comes from another port";
  }
}
