// Fault soak: the built quorvel binary against the switcher simulator (in this process, on its
// own loopback address) and a camera sink, through rounds of bus changes under packet loss,
// duplication, reordering, garbage datagrams, a switcher restart, refusals and re-open requests.
// After every round the faults stop, the session settles, and the camera's last command must
// match the watched input's state on the simulator. The process must stay up with a flat
// descriptor count and resident size. Stop signals under load close the file.
//
// Loss and reordering are special: the session client walks every packet it receives, in the
// order it receives it, so a retransmitted or overtaken packet that arrives after a newer one
// puts its older state back in the tables until the next change. After those rounds a wrong
// lamp is counted as "stale" and, unless QUORVEL_SOAK_STRICT=1, not failed; one more clean
// change must then put the lamp right.
//
// The CI run is short. For the long run (tests/soak/run) these variables scale it:
//   QUORVEL_SOAK_CHANGES   bus changes per fault round (default 30)
//   QUORVEL_SOAK_LAPS      passes through the fault rounds (default 1)
//   QUORVEL_SOAK_SEED      seed of the test's and the simulator's random numbers
//   QUORVEL_SOAK_STRICT    1: a stale lamp after loss or reordering fails too
//   QUORVEL_SOAK_BIN       the quorvel binary to run instead of the one built here
//   QUORVEL_SOAK_WRAP      command words put in front of the binary, e.g. a valgrind call
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
#include <string>
#include <vector>

#include "switcher_sim.h"
#include "test_support.h"

using namespace testing_support;
namespace sim = quorvel_sim;

namespace {

#if defined(__SANITIZE_ADDRESS__)
constexpr bool kSanitized = true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
constexpr bool kSanitized = true;
#else
constexpr bool kSanitized = false;
#endif
#else
constexpr bool kSanitized = false;
#endif

const Bytes kProgram = hexBytes("81 01 7e 01 0a 01 05 ff");
const Bytes kPreview = hexBytes("81 01 7e 01 0a 01 04 ff");
const Bytes kOff = hexBytes("81 01 7e 01 0a 01 00 ff");
constexpr int kWatch = 1;

long envNumber(const char* name, long fallback) {
  const char* v = std::getenv(name);
  return v && *v ? std::strtol(v, nullptr, 10) : fallback;
}

std::vector<std::string> quorvelCommand() {
  std::vector<std::string> argv;
  if (const char* wrap = std::getenv("QUORVEL_SOAK_WRAP")) {
    std::istringstream words(wrap);
    for (std::string w; words >> w;) argv.push_back(w);
  }
  const char* bin = std::getenv("QUORVEL_SOAK_BIN");
  argv.push_back(bin && *bin ? bin : QUORVEL_BIN);
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
  if (s.program[0] == kWatch) return kProgram;
  if (s.preview[0] == kWatch) return kPreview;
  return kOff;
}

std::string lampName(const Bytes& b) {
  if (b == kProgram) return "PROGRAM";
  if (b == kPreview) return "PREVIEW";
  if (b == kOff) return "OFF";
  return b.empty() ? "nothing" : std::to_string(b.size()) + " other bytes";
}

// One bridge process between a simulated switcher and a camera sink.
struct Rig {
  sim::SwitcherSim sw;
  std::string cameraIp;
  UdpPeer camera;
  TempDir dir;
  Child q;
  Bytes lastLamp;
  uint64_t lampCommands = 0;
  std::vector<std::string> simLog;

  explicit Rig(const std::string& ip, uint32_t seed = 0x2545F491u,
               const std::string& cameraAt = "127.0.0.1")
      : cameraIp(cameraAt), camera(cameraAt, 0) {
    sw.rngState = seed;
    sw.log = [this](const std::string& line) {
      if (simLog.size() < 200) simLog.push_back(line);
    };
    std::string error;
    if (!sim::simOpen(sw, ip, sim::kSimPort, &error)) throw std::runtime_error(error);
  }
  ~Rig() { sim::simClose(sw); }

  void start(const std::string& ip, const std::string& extra = "") {
    std::string cfg = dir.write("q.json", "{\"atem_ip\": \"" + ip +
                                              "\", \"visca_host\": \"" + cameraIp +
                                              "\", \"visca_port\": " +
                                              std::to_string(camera.port) + ", "
                                              "\"watch_input_id\": " + std::to_string(kWatch) +
                                              extra + "}");
    startChild(q, quorvelCommand(), {"QUORVEL_CFG=" + cfg});
  }

  // Serves the switcher, drains the camera and the child's output for `ms`.
  void pump(int ms) {
    int64_t end = nowMs() + ms;
    do {
      sim::simPoll(sw, 2);
      Bytes got;
      while (camera.receive(got, 0)) {
        lastLamp = got;
        ++lampCommands;
      }
      pumpChild(q, 0);
    } while (nowMs() < end);
  }

  bool alive() {
    if (q.pid <= 0) return false;
    int status = 0;
    if (waitpid(q.pid, &status, WNOHANG) == q.pid) {
      q.pid = -1;
      return false;
    }
    return true;
  }

  bool settled() const {
    if (!sw.delayed.empty() || sw.silent) return false;
    for (const sim::SimClient& c : sw.clients)
      if (!c.open || !c.inFlight.empty()) return false;
    return true;
  }

  // Waits for an open session that has taken everything sent to it.
  bool waitSettled(int timeoutMs) {
    int64_t end = nowMs() + timeoutMs;
    while (nowMs() < end) {
      pump(10);
      if (sim::simOpenClients(sw) == 1 && settled()) return true;
    }
    return false;
  }

  std::string context() const {
    std::string text = "--- simulator\n";
    for (const std::string& l : simLog) text += l + "\n";
    return text + "--- quorvel stdout\n" + q.out + "--- quorvel stderr\n" + q.err;
  }
};

// A bus change on M/E 0 that the watched input may feel: mostly cuts, sometimes a new source on
// one of the buses.
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

struct SoakTally {
  long changes = 0;
  long quietChecks = 0;
  long wrongFinal = 0;
  long staleAfterLoss = 0;
  std::vector<std::string> wrongRounds;
};

}  // namespace

TEST(FaultSoak, LampFollowsTheSwitcherThroughFaults) {
  const long changesPerRound = envNumber("QUORVEL_SOAK_CHANGES", 30);
  const long laps = envNumber("QUORVEL_SOAK_LAPS", 1);
  const uint32_t seed = static_cast<uint32_t>(envNumber("QUORVEL_SOAK_SEED", 20240611));
  std::mt19937 rng(seed);
  const std::string ip = "127.0.3.1";
  Rig r(ip, seed | 1u);
  r.start(ip);
  ASSERT_TRUE(r.waitSettled(10000)) << r.context();
  // The initial state goes out after the bridge's warm-up of about 1.5 s.
  for (int64_t end = nowMs() + 5000; r.lampCommands == 0 && nowMs() < end;) r.pump(10);
  SoakTally t;

  // After the faults stop: every packet delivered or given up, the hold-off and the delivery
  // over, and then the lamp must show the simulator's truth.
  const bool strict = envNumber("QUORVEL_SOAK_STRICT", 0) == 1;
  auto quietCheck = [&](const std::string& round, bool mayBeStale) {
    r.sw.faults = sim::SimFaults{};
    bool settled = r.waitSettled(15000);
    r.pump(300);
    ++t.quietChecks;
    if (settled && mayBeStale && r.lastLamp != expectedLamp(r.sw)) {
      ++t.staleAfterLoss;
      std::string what = round + ": lamp " + lampName(r.lastLamp) + ", switcher says " +
                         lampName(expectedLamp(r.sw));
      if (strict) {
        ++t.wrongFinal;
        t.wrongRounds.push_back(what);
      } else {
        std::printf("  stale: %s\n", what.c_str());
      }
      sim::simCut(r.sw, 0);
      ++t.changes;
      r.pump(300);
    }
    const Bytes& want = expectedLamp(r.sw);
    if (!settled || r.lastLamp != want) {
      ++t.wrongFinal;
      t.wrongRounds.push_back(round + ": lamp " + lampName(r.lastLamp) + ", switcher says " +
                              lampName(want) + (settled ? "" : " (session did not settle)"));
    }
    ASSERT_TRUE(r.alive()) << "quorvel died in round " << round << "\n" << r.context();
  };
  auto changes = [&](long count) {
    for (long i = 0; i < count; ++i) {
      randomChange(r.sw, rng);
      ++t.changes;
      r.pump(60 + static_cast<int>(rng() % 41));  // beyond the 50 ms hold-off
    }
  };
  auto faultRound = [&](const std::string& name, sim::SimFaults f) {
    r.sw.faults = f;
    changes(changesPerRound);
    quietCheck(name, f.lossPct > 0 || f.reorderPct > 0);
  };

  quietCheck("initial state", false);
  // A clean round first, so that the baseline is taken with the heap of a running bridge.
  faultRound("clean", sim::SimFaults{});
  const int fdBase = countOpenFds(r.q.pid);
  const long rssBase = residentKb(r.q.pid);

  const uint64_t restartsBefore = r.sw.clientsDropped;
  for (long lap = 0; lap < laps && !HasFatalFailure(); ++lap) {
    const std::string l = " (lap " + std::to_string(lap + 1) + ")";
    faultRound("loss 25%" + l, {25, 0, 0, 0});
    faultRound("duplication 30%" + l, {0, 30, 0, 0});
    faultRound("reordering 30%" + l, {0, 0, 30, 0});
    faultRound("garbage 30%" + l, {0, 0, 0, 30});
    faultRound("all faults 10%" + l, {10, 10, 10, 10});

    // Switcher restart: silent for longer than the bridge's silence timeout, with cuts made
    // meanwhile that only the fresh session's initial state can tell.
    sim::simSilence(r.sw, 5500);
    changes(3);
    quietCheck("restart" + l, false);

    // Re-open request while connected, then a refusal, then re-open on the next hello.
    r.sw.refuseNext = 1;
    r.sw.reopenNext = 1;
    sim::simReopenAll(r.sw);
    changes(3);
    quietCheck("re-open and refusal" + l, false);
  }
  if (HasFatalFailure()) return;
  faultRound("clean, last", sim::SimFaults{});

  const int fdEnd = countOpenFds(r.q.pid);
  const long rssEnd = residentKb(r.q.pid);
  std::printf(
      "soak: %ld changes, %ld quiet checks, %ld wrong final states, %ld stale after loss or "
      "reordering; faults: %llu lost, "
      "%llu duplicated, %llu reordered, %llu garbage, %llu retransmitted, %llu refused, "
      "%llu dropped sessions; %llu camera commands; descriptors %d -> %d; VmRSS %ld -> %ld kB\n",
      t.changes, t.quietChecks, t.wrongFinal, t.staleAfterLoss,
      (unsigned long long)r.sw.packetsLost,
      (unsigned long long)r.sw.packetsDuplicated, (unsigned long long)r.sw.packetsReordered,
      (unsigned long long)r.sw.garbageSent, (unsigned long long)r.sw.retransmissions,
      (unsigned long long)r.sw.helloRefused,
      (unsigned long long)(r.sw.clientsDropped - restartsBefore),
      (unsigned long long)r.lampCommands, fdBase, fdEnd, rssBase, rssEnd);
  for (const std::string& w : t.wrongRounds) std::printf("  wrong: %s\n", w.c_str());

  EXPECT_EQ(t.wrongFinal, 0) << r.context();
  if (laps > 0) {
    EXPECT_GT(r.sw.packetsLost, 0u);
    EXPECT_GT(r.sw.packetsDuplicated, 0u);
    EXPECT_GT(r.sw.packetsReordered, 0u);
    EXPECT_GT(r.sw.garbageSent, 0u);
  }
  EXPECT_EQ(r.sw.helloRefused, static_cast<uint64_t>(laps));
  EXPECT_EQ(fdEnd, fdBase);
  // Under AddressSanitizer freed memory sits in quarantine and the size grows by design; leaks
  // are then caught by the exit status (LeakSanitizer) instead.
  if (!kSanitized) {
    EXPECT_LE(rssEnd - rssBase, 256) << "kB of growth";
  }

  kill(r.q.pid, SIGTERM);
  int status = -1;
  int64_t end = nowMs() + 20000;
  while (nowMs() < end && (status = waitChild(r.q, 20)) < 0) r.pump(5);
  EXPECT_EQ(status, 0) << r.context();
  r.pump(50);
  EXPECT_EQ(lampName(r.lastLamp), "OFF");
}

namespace {

// Sends a burst of junk datagrams to the bridge's switcher socket: header-sized and longer ones
// whose payload is no command block, and runts. `seq` varies the bytes.
void junkBurst(UdpPeer& from, const sockaddr_in& bridge, int count, uint32_t& seq) {
  for (int i = 0; i < count; ++i, ++seq) {
    Bytes junk(seq % 3 == 0 ? 1 + seq % 11 : 12 + seq % 40, static_cast<uint8_t>(seq * 37));
    if (junk.size() >= 14) junk[12] = junk[13] = 0;  // block length 0: ends the walk at once
    from.sendTo(junk, bridge);
  }
}

// Stops the bridge with SIGTERM while `load` keeps running; returns the exit status.
template <typename Load>
int stopUnderLoad(Rig& r, Load load, int timeoutMs) {
  kill(r.q.pid, SIGTERM);
  int64_t end = nowMs() + timeoutMs;
  while (nowMs() < end) {
    load();
    r.pump(1);
    int status = 0;
    if (waitpid(r.q.pid, &status, WNOHANG) == r.q.pid) {
      r.q.pid = -1;
      for (int i = 0; i < 20; ++i) r.pump(1);
      return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    }
  }
  return -1;
}

// Cuts on M/E 0 every millisecond under `faults`, with bursts of junk from a second sender.
struct Flood {
  UdpPeer from;
  sockaddr_in bridge;
  uint32_t seq = 0;
  Flood(Rig& r, const std::string& ip, sim::SimFaults faults)
      : from(ip, 0), bridge(r.sw.clients.at(0).addr) {
    r.sw.faults = faults;
    sim::simStartCuts(r.sw, 1000000, 1, 0);
  }
  void burst() { junkBurst(from, bridge, 10, seq); }
  void runFor(Rig& r, int ms) {
    for (int64_t end = nowMs() + ms; nowMs() < end; r.pump(1)) burst();
  }
};

int countOf(const std::string& text, const std::string& needle) {
  int n = 0;
  for (size_t at = text.find(needle); at != std::string::npos; at = text.find(needle, at + 1)) ++n;
  return n;
}

}  // namespace

// The program command is too long for a datagram, so its delivery climbs to TCP, where the
// camera's listener has a full accept queue and the connect waits out its 1.5 s time-out.
TEST(FaultSoak, StopDuringTcpTimeOut) {
  const std::string ip = "127.0.3.2";
  Rig r(ip, 0x2545F491u, ip);
  // A TCP listener on the camera's port that accepts nothing; one queued connection fills its
  // queue, so further connection attempts go unanswered.
  int listener = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in at = loopbackAddr(ip, r.camera.port);
  ASSERT_EQ(bind(listener, reinterpret_cast<sockaddr*>(&at), sizeof at), 0) << strerror(errno);
  ASSERT_EQ(listen(listener, 0), 0);
  int filler = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  ASSERT_EQ(connect(filler, reinterpret_cast<sockaddr*>(&at), sizeof at), 0);

  std::string longCommand;
  for (int i = 0; i < 70000; ++i) longCommand += "00 ";
  r.start(ip, ", \"visca_program\": \"" + longCommand + "\"");
  ASSERT_TRUE(r.waitSettled(10000)) << r.context();
  ASSERT_EQ(r.sw.program[0], kWatch);  // the initial state is PROGRAM: the long command

  // Both datagram forms fail at once; the third rung is the hanging connect.
  int64_t end = nowMs() + 10000;
  while (countOf(r.q.err, "[ERR][UDP] sendto() failed") < 2 && nowMs() < end) r.pump(5);
  ASSERT_EQ(countOf(r.q.err, "[ERR][UDP] sendto() failed"), 2) << r.context();
  r.pump(400);
  EXPECT_EQ(r.q.err.find("[ERR][TCP]"), std::string::npos) << "the connect is still waiting";
  int64_t signalled = nowMs();
  int status = stopUnderLoad(r, [] {}, 20000);
  int64_t took = nowMs() - signalled;
  close(filler);
  close(listener);

  EXPECT_EQ(status, 0) << r.context();
  EXPECT_EQ(lampName(r.lastLamp), "OFF") << r.context();
  // The signal cut the waiting connect short (a socket with a time-out is not restarted).
  EXPECT_NE(r.q.err.find("[ERR][TCP] connect() failed: Interrupted system call"),
            std::string::npos)
      << r.context();
  EXPECT_NE(r.q.err.find("[WARN] All send attempts failed for state PROGRAM"), std::string::npos);
  // The rest of the ladder still runs: three more attempts of at most 1.5 s each.
  EXPECT_LT(took, 8000);
  EXPECT_EQ(countOf(r.q.out, "Caught signal 15"), 1);
}

// A stop during the warm-up that follows the session opening, while the switcher floods the
// bridge with cuts, duplicates and junk: the initial state still goes, then OFF.
TEST(FaultSoak, StopDuringWarmUpUnderFlood) {
  const std::string ip = "127.0.3.3";
  Rig r(ip);
  r.start(ip);
  ASSERT_TRUE(r.waitSettled(10000)) << r.context();
  ASSERT_TRUE(waitForOutput(r.q, "[OK] Will also try TCP fallback", 2000)) << r.context();
  Flood flood(r, ip, {0, 50, 0, 50});
  flood.runFor(r, 600);
  ASSERT_EQ(r.lampCommands, 0u) << "still warming up";
  int status = stopUnderLoad(r, [&] { flood.burst(); }, 15000);
  sim::simStartCuts(r.sw, 0, 1, 0);

  EXPECT_EQ(status, 0) << r.context();
  EXPECT_GE(r.lampCommands, 2u) << "the initial state, then OFF";
  EXPECT_EQ(lampName(r.lastLamp), "OFF");
  EXPECT_EQ(countOf(r.q.out, "[INFO] Sending tally OFF before exit..."), 1);
  EXPECT_GT(flood.seq, 1000u);
}

// A stop in the main loop while cuts arrive every millisecond along with junk: the hold-off
// keeps the camera to one change per 50 ms, and the bridge still ends at once with OFF.
TEST(FaultSoak, StopDuringFlood) {
  const std::string ip = "127.0.3.4";
  Rig r(ip);
  r.start(ip);
  ASSERT_TRUE(r.waitSettled(10000)) << r.context();
  for (int64_t end = nowMs() + 5000; r.lampCommands == 0 && nowMs() < end;) r.pump(5);
  ASSERT_EQ(r.lampCommands, 1u) << r.context();
  const int fds = countOpenFds(r.q.pid);

  Flood flood(r, ip, {0, 30, 0, 30});
  const uint64_t before = r.lampCommands;
  const int64_t start = nowMs();
  flood.runFor(r, 1500);
  const uint64_t during = r.lampCommands - before;
  const int64_t floodMs = nowMs() - start;
  EXPECT_EQ(countOpenFds(r.q.pid), fds);
  int64_t signalled = nowMs();
  int status = stopUnderLoad(r, [&] { flood.burst(); }, 10000);
  int64_t took = nowMs() - signalled;
  sim::simStartCuts(r.sw, 0, 1, 0);

  EXPECT_EQ(status, 0) << r.context();
  EXPECT_EQ(lampName(r.lastLamp), "OFF");
  EXPECT_GT(during, 5u) << "the lamp followed the cuts";
  EXPECT_LE(during, static_cast<uint64_t>(floodMs / 50 + 2)) << "at most one change per 50 ms";
  EXPECT_LT(took, 2000);
  EXPECT_GT(r.sw.packetsSent, 500u);
}
