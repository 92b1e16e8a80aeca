// End-to-end: the built quorvel binary against the switcher simulator (in this process, on its
// own loopback address) and a camera sink on loopback.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <fstream>

#include "test_support.h"

using namespace testing_support;
namespace sim = quorvel_sim;
using Rig = BridgeRig;

TEST(Bridge, StartupCutAndStop) {
  Rig r("127.0.0.10");
  r.sw.program[0] = 3;
  r.sw.preview[0] = 4;
  r.start(", \"watch_input_id\": 3, \"bind_source_ip\": \"127.0.0.1\"");
  EXPECT_EQ(r.lamp(), kProgram);  // the initial state after the warm-up
  ASSERT_TRUE(r.waitOut("M/E 0\n"));
  EXPECT_EQ(r.q.out, "=== Quorvel ===\n[INFO] Loading config from: " + r.cfgPath +
                         "\n[INFO] Connecting to ATEM at 127.0.0.10...\n"
                         "[ATEM] SYN-ACK received, session 0x8001\n"
                         "[OK] ATEM 127.0.0.10 connected | ME=0 watch_input=3 -> 127.0.0.1:" +
                         std::to_string(r.camera.port) +
                         "\n[OK] Binding UDP sends from source IP: 127.0.0.1\n"
                         "[OK] Will also try 8-byte VISCA-IP prefix\n"
                         "[OK] Will also try TCP fallback\n"
                         "[OK] Tally follows the program and preview buses of M/E 0\n");
  sim::simCut(r.sw, 0);
  EXPECT_EQ(r.lamp(), kPreview);
  sim::simSetProgram(r.sw, 0, 5);
  EXPECT_EQ(r.lamp(300), Bytes()) << "a change on the other bus sends nothing";

  // SIGPIPE is ignored, so a camera that resets its TCP connection cannot end the process.
  std::ifstream status("/proc/" + std::to_string(r.q.pid) + "/status");
  std::string line;
  while (std::getline(status, line) && line.rfind("SigIgn:", 0) != 0) {
  }
  EXPECT_TRUE(std::stoull(line.substr(7), nullptr, 16) & (1ull << (SIGPIPE - 1)));

  EXPECT_EQ(r.stop(SIGTERM), 0);
  EXPECT_EQ(r.lamp(), kOff);
  EXPECT_NE(r.q.out.find("\n\n[INFO] Caught signal 15, shutting down...\n"
                         "[INFO] Sending tally OFF before exit...\n[INFO] Goodbye!\n"),
            std::string::npos)
      << r.q.out;
  EXPECT_EQ(r.q.err, "");
}

TEST(Bridge, HoldOffBetweenChanges) {
  Rig r("127.0.0.11");
  r.start(", \"watch_input_id\": 7, \"compat_try_prefix\": false, \"compat_try_tcp\": false");
  EXPECT_EQ(r.lamp(), kOff);  // the watched input is on neither bus
  EXPECT_EQ(r.q.out.find("[OK] Will"), std::string::npos);

  int64_t sent = nowMs();
  sim::simSetProgram(r.sw, 0, 7);
  ASSERT_EQ(r.lamp(), kProgram);
  // Leaving PROGRAM 10 ms later goes out no earlier than 50 ms after the PROGRAM send.
  while (nowMs() < sent + 10) {
  }
  sim::simSetProgram(r.sw, 0, 1);
  EXPECT_EQ(r.lamp(), kOff);
  EXPECT_GE(nowMs() - sent, 50);

  // A change that reverts within the hold-off is never sent.
  sim::simSetProgram(r.sw, 0, 7);
  ASSERT_EQ(r.lamp(), kProgram);
  sim::simSetProgram(r.sw, 0, 1);
  sim::simSetProgram(r.sw, 0, 7);
  EXPECT_EQ(r.lamp(300), Bytes());
  EXPECT_EQ(r.stop(SIGINT), 0);
  EXPECT_EQ(r.lamp(), kOff);
}

TEST(Bridge, StopSignalInEveryPhase) {
  {  // Waiting for a switcher that never answers: the stop ends the wait and darkens the lamp.
    Rig r("127.0.0.12", false);
    UdpPeer silent("127.0.0.12", 9910);
    r.start("");
    Bytes hello;
    ASSERT_TRUE(silent.receive(hello, 5000));
    EXPECT_EQ(r.stop(SIGINT), 0);
    EXPECT_EQ(r.lamp(), kOff);
    EXPECT_EQ(r.q.out.find("[OK]"), std::string::npos);
    EXPECT_NE(r.q.out.find("Caught signal 2, shutting down...\n[INFO] Sending tally OFF before "
                           "exit...\n[INFO] Goodbye!\n"),
              std::string::npos);
  }
  {  // During the settle and warm-up: OFF only, at once.
    Rig r("127.0.0.13");
    r.start(", \"watch_input_id\": 2");
    ASSERT_TRUE(r.waitOut("M/E 0\n"));
    int64_t signalled = nowMs();
    EXPECT_EQ(r.stop(SIGTERM), 0);
    EXPECT_LT(nowMs() - signalled, 1000);
    EXPECT_EQ(r.lamp(), kOff);
    EXPECT_EQ(r.lampCommands, 1u) << "no initial state";
    EXPECT_NE(r.q.out.find("M/E 0\n\n[INFO] Caught signal 15, shutting down...\n"
                           "[INFO] Sending tally OFF before exit...\n[INFO] Goodbye!\n"),
              std::string::npos)
        << r.q.out;
  }
  {  // In the main loop with OFF the last state sent: OFF is sent once more.
    Rig r("127.0.0.14");
    r.start(", \"watch_input_id\": 9");
    EXPECT_EQ(r.lamp(), kOff);
    EXPECT_EQ(r.stop(SIGINT), 0);
    EXPECT_EQ(r.lamp(), kOff);
    EXPECT_EQ(r.lamp(100), Bytes());
  }
}

TEST(Bridge, StartFailuresSendNothing) {
  {
    Rig r("camera.local", false);
    r.start("");
    EXPECT_EQ(waitChild(r.q, 5000), 1);
    EXPECT_NE(r.q.out.find("[INFO] Connecting to ATEM at camera.local...\n"), std::string::npos);
    EXPECT_EQ(r.q.err,
              "[ERR] Invalid ATEM IP: camera.local\n[ERR] Failed to initiate ATEM connection\n");
    EXPECT_EQ(r.lamp(100), Bytes());
  }
  {
    Rig r("127.0.0.16", false);
    UdpPeer sw("127.0.0.16", 9910);
    r.start(", \"visca_preview\": \"81 zz ff\"");
    EXPECT_EQ(waitChild(r.q, 5000), 1);
    EXPECT_EQ(r.q.err, "[ERR] Invalid hex in visca_preview: 81 zz ff\n");
    EXPECT_EQ(r.q.out.find("Connecting"), std::string::npos);
    Bytes extra;
    EXPECT_FALSE(sw.receive(extra, 100)) << "no session is opened";
    EXPECT_EQ(r.lamp(10), Bytes());
  }
}

// In a network namespace of its own the loopback is down: nothing can leave. The bridge says so
// and goes on waiting for the switcher; a stop still climbs the whole ladder and ends in order.
TEST(Bridge, NothingCanLeaveTheBox) {
  Rig r("127.0.0.17", false);
  r.start("", {"/usr/bin/unshare", "-n", QUORVEL_BIN});
  if (waitChild(r.q, 300) == 1 && r.q.err.find("unshare") != std::string::npos)
    GTEST_SKIP() << "no network namespaces here: " << r.q.err;
  ASSERT_TRUE(r.waitOut("[INFO] Connecting to ATEM at 127.0.0.17...\n", 3000)) << r.context();
  r.pump(200);
  EXPECT_EQ(r.q.err, "[ERR] sendto failed: Network is unreachable\n");
  EXPECT_EQ(r.stop(SIGTERM), 0);
  const std::string udp = "[ERR][UDP] sendto() failed: Network is unreachable\n";
  const std::string tcp = "[ERR][TCP] connect() failed: Network is unreachable\n";
  const std::string pair = udp + udp + tcp + tcp;
  EXPECT_EQ(r.q.err, "[ERR] sendto failed: Network is unreachable\n" + pair + pair +
                         "[WARN] All send attempts failed for state OFF\n");
  EXPECT_NE(r.q.out.find("[INFO] Goodbye!\n"), std::string::npos);
}

namespace {

std::string hugeHex() {  // too long for a datagram, so every UDP rung fails at once
  std::string hex;
  for (int i = 0; i < 70000; ++i) hex += "00 ";
  return hex;
}

int countOf(const std::string& text, const std::string& needle) {
  int n = 0;
  for (size_t at = text.find(needle); at != std::string::npos; at = text.find(needle, at + 1)) ++n;
  return n;
}

}  // namespace

// One session, five cameras: three healthy ones follow the show while two dead ones (every UDP
// rung fails, every TCP connect hangs on a full accept queue) climb their ladders. Neither the
// healthy cameras nor the switcher's acknowledgements wait for them, and the stop takes one
// ladder's time, not the sum.
TEST(Bridge, ManyCamerasOneSessionAndDeadCameras) {
  Rig r("127.0.0.30");
  std::string cams;
  for (int i = 1; i <= 3; ++i)
    cams += (i > 1 ? ", " : "") + std::string("{\"watch_input_id\": ") + std::to_string(i) +
            ", \"visca_port\": " + std::to_string(i == 1 ? r.camera.port : r.addCamera()) + "}";
  HangingListener dead("127.0.0.1");
  for (const char* name : {"dead-a", "dead-b"})
    cams += ", {\"name\": \"" + std::string(name) + "\", \"watch_input_id\": 9, \"visca_port\": " +
            std::to_string(dead.port) + ", \"visca_off\": \"" + hugeHex() +
            "\", \"compat_try_both_ops\": false}";
  r.start(", \"compat_try_prefix\": false, \"cameras\": [" + cams + "]");
  ASSERT_TRUE(r.waitOut("[OK] Camera dead-b: ME=0 watch_input=9 -> 127.0.0.1:")) << r.context();
  EXPECT_NE(r.q.out.find("[OK] ATEM 127.0.0.30 connected | 5 cameras\n[OK] Camera cam1: ME=0 "
                         "watch_input=1 -> 127.0.0.1:" + std::to_string(r.camera.port) +
                         " | tally from the buses, also TCP\n"),
            std::string::npos)
      << r.q.out;

  // The initial state: the dead cameras' OFF hangs in TCP for 1.5 s; the others light at once.
  EXPECT_EQ(r.lamp(6000, 0), kProgram);
  EXPECT_EQ(r.lamp(100, 1), kPreview);
  EXPECT_EQ(r.lamp(100, 2), kOff);
  for (int i = 0; i < 4; ++i) {  // a cut every 200 ms while the dead ladders hang
    int64_t cut = nowMs();
    i % 2 ? sim::simCut(r.sw, 0) : sim::simSetProgram(r.sw, 0, static_cast<uint16_t>(3 - i % 4));
    const sim::SwitcherSim& s = r.sw;
    size_t cam = i % 2 ? 2 : static_cast<size_t>(2 - i % 4);
    EXPECT_FALSE(r.lamp(150, cam).empty()) << "cut " << i << " took " << nowMs() - cut << " ms";
    r.pump(200 - static_cast<int>(nowMs() - cut));
    EXPECT_EQ(s.retransmissions, 0u) << "every packet acknowledged within 200 ms";
  }
  EXPECT_EQ(countOf(r.q.err, "[ERR][TCP] dead-a: connect() failed: Connection timed out"), 0)
      << "still hanging after 800 ms";

  // The stop while the dead cameras hang: the healthy ones get OFF at once, the dead ones give
  // up together after their TCP rung, and a second signal only adds its line.
  r.pump(1000);
  for (auto& sink : r.sinks) sink->lamps.clear();
  int64_t signalled = nowMs();
  kill(r.q.pid, SIGTERM);
  for (size_t cam = 0; cam < 3; ++cam) EXPECT_EQ(r.lamp(300, cam), kOff) << cam;
  kill(r.q.pid, SIGINT);
  EXPECT_EQ(waitChild(r.q, 10000, [&] { r.pump(1); }), 0);
  int64_t took = nowMs() - signalled;
  EXPECT_GE(took, 1400);
  EXPECT_LT(took, 2800) << "one ladder's time, not two";
  for (const char* name : {"dead-a", "dead-b"})
    EXPECT_EQ(countOf(r.q.err, "[WARN] " + std::string(name) +
                                   ": All send attempts failed for state OFF"),
              2)
        << r.q.err;
  EXPECT_EQ(countOf(r.q.out, "Caught signal"), 2);
  EXPECT_EQ(countOf(r.q.out, "[INFO] Sending tally OFF before exit..."), 1);
}

// A lamp refreshed every second while nothing changes; a datagram from anyone but the switcher
// changes nothing and is not acknowledged; a lost switcher darkens the lamp (with
// lamp_on_switcher_loss "off") and stops the refreshes until a new session's state is in.
TEST(Bridge, RefreshForeignSendersAndSwitcherLoss) {
  Rig r("127.0.0.31");
  r.start(", \"lamp_refresh_ms\": 1000, \"lamp_on_switcher_loss\": \"off\","
          " \"compat_try_prefix\": false, \"compat_try_tcp\": false");
  ASSERT_EQ(r.lamp(), kProgram) << r.context();
  const std::vector<int64_t>& at = r.sinks[0]->arrivalsMs;
  for (int i = 0; i < 3; ++i) {
    ASSERT_EQ(r.lamp(1500), kProgram);
    EXPECT_NEAR(at.back() - at[at.size() - 2], 1000, 100) << "refresh " << i;
  }

  UdpPeer stranger(r.ip, 0);  // the switcher's address, another port
  stranger.sendTo(
      hexBytes("08 18 80 01 00 00 00 00 00 00 03 e8 00 0c 00 00 50 72 67 49 00 00 00 02"),
      r.sw.clients.at(0).addr);
  Bytes got;
  EXPECT_FALSE(stranger.receive(got, 300)) << "acknowledged";
  EXPECT_EQ(r.lamp(1500), kProgram) << "the spoofed cut changed the lamp";
  EXPECT_TRUE(r.waitErr("[WARN] Ignoring datagrams that do not come from the switcher: 1 so far, "
                        "the latest from " + r.ip + ":" + std::to_string(stranger.port) + "\n"))
      << r.q.err;

  // The switcher restarts and forgets the session; after 5 s of silence the bridge says so,
  // darkens the lamp and stops refreshing it until the new session's state has come.
  sim::simSetPreview(r.sw, 0, 5);
  sim::simSilence(r.sw, 4800);
  const int64_t quiet = nowMs();
  Bytes lamp;
  while (!(lamp = r.lamp(1500)).empty() && lamp == kProgram) {
  }
  EXPECT_EQ(lamp, kOff);
  EXPECT_NEAR(at.back() - quiet, 5000, 150);
  EXPECT_TRUE(r.waitErr("[WARN] ATEM 127.0.0.31 silent for 5 s: the session is lost, opening a "
                        "new one\n"));
  EXPECT_EQ(r.lamp(3000), kProgram) << "restored with the new session's state";
  EXPECT_TRUE(r.waitOut("[ATEM] SYN-ACK received, session 0x8002\n[OK] ATEM 127.0.0.31 session "
                        "restored\n", 1000))
      << r.q.out;
  EXPECT_EQ(r.stop(SIGTERM), 0);
  EXPECT_EQ(r.lamp(), kOff);
}

namespace {

// A notification socket of the test's own, in the place of systemd's.
struct NotifySocket {
  int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  std::string path;
  std::vector<std::string> got;
  explicit NotifySocket(const TempDir& dir) : path(dir.path + "/notify") {
    sockaddr_un a{};
    a.sun_family = AF_UNIX;
    std::snprintf(a.sun_path, sizeof a.sun_path, "%s", path.c_str());
    bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
  }
  ~NotifySocket() { close(fd); }
  void drain() {
    char buf[4096];
    for (ssize_t n; (n = recv(fd, buf, sizeof buf, MSG_DONTWAIT)) > 0;) got.emplace_back(buf, n);
  }
  // Waits (running `each`) until a message holds `text`; true when one came.
  bool waitFor(const std::string& text, int timeoutMs, const std::function<void()>& each) {
    for (int64_t end = nowMs() + timeoutMs; nowMs() < end; each()) {
      drain();
      for (const std::string& m : got)
        if (m.find(text) != std::string::npos) return true;
    }
    return false;
  }
  std::string last(const std::string& prefix) const {
    for (auto it = got.rbegin(); it != got.rend(); ++it)
      if (it->rfind(prefix, 0) == 0) return *it;
    return "";
  }
};

// A camera simulator process answering on a free port of 127.0.0.1.
struct CameraSim {
  Child child;
  uint16_t port = 0;
  explicit CameraSim(const std::string& reply) {
    startChild(child, {std::string(QUORVEL_BINARY_DIR) + "/quorvel-camera-sim", "--port", "0",
                       "--json", reply},
               {});
    if (waitForOutput(child, "}\n", 5000))
      port = static_cast<uint16_t>(std::stoi(child.out.substr(child.out.find("\"port\":") + 7)));
  }
};

}  // namespace

// Under systemd: READY=1 before the switcher answers, a STATUS= line that follows the session and
// each camera (answering, failing), the watchdog at half the requested interval, a reload that
// adds a camera without a new session and keeps the old settings when the file is bad, and
// STOPPING=1. The cameras: one acknowledges, one answers with an error, one never answers.
TEST(Bridge, SystemdNotificationReloadAndCameraAnswers) {
  Rig r("127.0.0.33");
  NotifySocket notify(r.dir);
  CameraSim acking("--reply"), failing("--reply=error");
  ASSERT_TRUE(acking.port && failing.port) << acking.child.err << failing.child.err;
  auto cameras = [&](const std::string& more) {
    return ", \"compat_try_prefix\": false, \"compat_try_tcp\": false, \"cameras\": ["
           "{\"name\": \"ok\", \"visca_port\": " + std::to_string(acking.port) + "}, "
           "{\"name\": \"bad\", \"watch_input_id\": 2, \"visca_port\": " +
           std::to_string(failing.port) + "}, {\"name\": \"mute\", \"watch_input_id\": 3}" +
           more + "]";
  };
  r.start(cameras(""), {}, {"NOTIFY_SOCKET=" + notify.path, "WATCHDOG_USEC=400000"});
  auto pump = [&] { r.pump(5); };
  ASSERT_TRUE(notify.waitFor("READY=1", 3000, [] { usleep(5000); })) << "before any answer";
  EXPECT_EQ(r.sw.clients.size(), 0u);
  ASSERT_TRUE(
      notify.waitFor("STATUS=connected to 127.0.0.33 \xC2\xB7 ok PROGRAM (answering) \xC2\xB7 "
                     "bad PREVIEW (error 41) \xC2\xB7 mute OFF",
                     8000, pump))
      << notify.last("STATUS=") << r.context();
  EXPECT_TRUE(r.waitErr("[WARN] bad: Camera answered 81 01 7e 01 0a 01 04 ff with error 41 (not "
                        "executable)\n"))
      << r.q.err;
  EXPECT_EQ(r.q.err.find("[WARN] ok"), std::string::npos);
  EXPECT_EQ(r.q.err.find("[WARN] mute"), std::string::npos);
  size_t before = notify.got.size();
  r.pump(1000);
  notify.drain();
  int dogs =
      static_cast<int>(std::count(notify.got.begin() + before, notify.got.end(), "WATCHDOG=1"));
  EXPECT_TRUE(dogs >= 4 && dogs <= 6) << dogs << " in one second, every 200 ms asked";

  sim::simCut(r.sw, 0);
  EXPECT_TRUE(notify.waitFor("ok PREVIEW (answering) \xC2\xB7 bad PROGRAM (error 41)", 2000, pump))
      << notify.last("STATUS=");

  // A camera added by a reload lights with the current state at once; the session stays.
  uint16_t added = r.addCamera();
  r.writeConfig(cameras(", {\"name\": \"added\", \"visca_port\": " + std::to_string(added) + "}"));
  kill(r.q.pid, SIGHUP);
  EXPECT_EQ(r.lamp(2000, 1), kPreview);
  ASSERT_TRUE(r.waitOut("[OK] Config reloaded: 4 cameras\n", 2000)) << r.context();
  EXPECT_TRUE(notify.waitFor("added PREVIEW", 2000, pump));
  size_t reloading = 0;
  while (reloading < notify.got.size() &&
         notify.got[reloading].rfind("RELOADING=1\nMONOTONIC_USEC=", 0) != 0)
    ++reloading;
  ASSERT_LT(reloading, notify.got.size());
  EXPECT_EQ(std::count(notify.got.begin() + static_cast<long>(reloading), notify.got.end(),
                       "READY=1"),
            1);
  // A bad file: its [ERR] line, and the bridge goes on as it was.
  r.dir.write("q.json", "{\"atem_ip\": \"127.0.0.33\"}");
  kill(r.q.pid, SIGHUP);
  ASSERT_TRUE(r.waitOut("Reloading", 2000));
  EXPECT_TRUE(r.waitErr("[ERR] Config missing 'visca_host'\n[WARN] The configuration in use "
                        "stays\n"))
      << r.q.err;
  sim::simCut(r.sw, 0);
  EXPECT_EQ(r.lamp(2000, 1), kProgram);
  EXPECT_EQ(r.sw.helloRefused + r.sw.clientsDropped, 0u);
  EXPECT_EQ(std::count_if(r.simLog.begin(), r.simLog.end(),
                          [](const std::string& l) { return l.rfind("hello from", 0) == 0; }),
            1)
      << "one session throughout";

  EXPECT_EQ(r.stop(SIGTERM), 0);
  notify.drain();
  EXPECT_EQ(notify.last("STOPPING"), "STOPPING=1");
}

// The switcher's own tally: a source keyed over the program lights with "switcher" and not with
// "buses"; both sources of a mix are on air until it ends; a resent old packet is acknowledged
// but puts nothing back.
TEST(Bridge, SwitcherTallyKeysMixesAndResentPackets) {
  Rig r("127.0.0.34");
  auto cam = [&](const char* name, int input, const char* source, uint16_t port) {
    return std::string("{\"name\": \"") + name +
           "\", \"watch_input_id\": " + std::to_string(input) + ", \"tally_source\": \"" + source +
           "\", \"visca_port\": " + std::to_string(port) + "}";
  };
  const uint16_t two = r.addCamera(), key = r.addCamera(), bus = r.addCamera();
  r.start(", \"compat_try_prefix\": false, \"compat_try_tcp\": false, \"cameras\": [" +
          cam("one", 1, "switcher", r.camera.port) + ", " + cam("two", 2, "switcher", two) + ", " +
          cam("key", 3, "switcher", key) + ", " + cam("bus", 3, "buses", bus) + "]");
  ASSERT_EQ(r.lamp(6000, 0), kProgram) << r.context();
  EXPECT_EQ(r.lamp(100, 1), kPreview);
  EXPECT_EQ(r.lamp(100, 2), kOff);
  EXPECT_EQ(r.lamp(100, 3), kOff);
  EXPECT_NE(
      r.q.out.find("[OK] Camera key: ME=0 watch_input=3 -> 127.0.0.1:" +
                   std::to_string(r.sinks[2]->sock.port) + " | tally from the switcher's list\n"),
      std::string::npos);

  sim::simSetKey(r.sw, 0, 0, 3, true);
  EXPECT_EQ(r.lamp(1000, 2), kProgram) << "keyed over the program";
  r.pump(200);
  EXPECT_TRUE(r.sinks[3]->lamps.empty()) << "the buses know nothing of the key";

  sim::simAuto(r.sw, 0, 600);
  EXPECT_EQ(r.lamp(1000, 1), kProgram) << "mid-mix, both sources on air";
  r.pump(200);
  EXPECT_TRUE(r.sinks[0]->lamps.empty()) << "input 1 stays on air through the mix";
  EXPECT_EQ(r.lamp(1000, 0), kPreview) << "the mix has ended";

  // Packet N puts input 3 on the program bus, N+1 input 2; then N comes again, resent.
  sim::simSetProgram(r.sw, 0, 3);
  EXPECT_EQ(r.lamp(1000, 3), kProgram);
  EXPECT_EQ(r.lamp(1000, 1), kOff);
  r.pump(100);
  sim::simSetProgram(r.sw, 0, 2);
  EXPECT_EQ(r.lamp(1000, 3), kOff);
  EXPECT_EQ(r.lamp(1000, 1), kProgram);
  r.pump(100);
  ASSERT_TRUE(sim::simResend(r.sw, 2, true));
  r.pump(400);
  for (auto& sink : r.sinks) EXPECT_TRUE(sink->lamps.empty()) << "the resent packet was applied";
  EXPECT_TRUE(r.sw.clients.at(0).inFlight.empty()) << "and it was acknowledged";
  EXPECT_EQ(r.stop(SIGTERM), 0);
}
