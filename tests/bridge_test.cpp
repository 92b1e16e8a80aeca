// End-to-end: the built quorvel binary against the switcher simulator (in this process, on its
// own loopback address) and camera sinks on loopback. Only what a running process shows is
// checked here; the text of the core's lines and its decisions are checked in core_test.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <functional>

#include "test_support.h"

using namespace testing_support;
namespace sim = quorvel_sim;
using Rig = BridgeRig;

TEST(Bridge, StartupCutAndStop) {
  Rig r("127.0.0.10");
  r.sw.program[0] = 3;
  r.sw.preview[0] = 4;
  r.start(", \"watch_input_id\": 3, \"bind_source_ip\": \"127.0.0.1\", \"visca_prot\": 1");
  EXPECT_EQ(r.lamp(), kProgram);  // the initial state after the warm-up
  ASSERT_TRUE(r.waitOut("tally list\n")) << "the core's lines, as they come";
  sim::simCut(r.sw, 0);
  EXPECT_EQ(r.lamp(), kPreview);

  // Datagrams from the switcher's address but another port, a flood of them, change nothing,
  // are not acknowledged and do not even reach the bridge: its socket is connected to the
  // switcher. The switcher's own cut meanwhile goes through at once.
  UdpPeer stranger(r.ip, 0);
  const Bytes spoofed = atemPacket(0x08, 0x8001, 1000, busBlock("PrgI", 0, 3));
  for (int i = 0; i < 20000; ++i) stranger.sendTo(spoofed, r.sw.clients.at(0).addr);
  sim::simCut(r.sw, 0);
  EXPECT_EQ(r.lamp(150), kProgram);
  Bytes got;
  EXPECT_FALSE(stranger.receive(got, 300)) << "acknowledged";
  EXPECT_EQ(r.lamp(300), Bytes()) << "the spoofed cut changed the lamp";
  EXPECT_EQ(r.sw.retransmissions, 0u);
  EXPECT_FALSE(holds(r.q.err, "Ignoring"));

  // SIGPIPE is ignored, so a camera that resets its TCP connection cannot end the process.
  std::ifstream status("/proc/" + std::to_string(r.q.pid) + "/status");
  std::string line;
  while (std::getline(status, line) && line.rfind("SigIgn:", 0) != 0) {
  }
  EXPECT_TRUE(std::stoull(line.substr(7), nullptr, 16) & (1ull << (SIGPIPE - 1)));

  EXPECT_EQ(r.stop(SIGTERM), 0);
  EXPECT_EQ(r.lamp(), kOff);
  EXPECT_TRUE(holds(r.q.out, "\n\n[INFO] Caught signal 15, shutting down...\n"
                             "[INFO] Sending tally OFF before exit...\n[INFO] Goodbye!\n"));
  // What --check warns about is said at start-up too, and nothing worse.
  EXPECT_EQ(r.q.err, "[WARN] Config: unknown key 'visca_prot', did you mean 'visca_port'?\n");
}

// In a network namespace of its own the loopback is down: nothing can leave. The bridge says so
// and goes on waiting for the switcher; a stop still climbs the whole ladder and ends in order.
TEST(Bridge, NothingCanLeaveTheBox) {
  Rig r("127.0.0.17", false);
  r.start("", {"/usr/bin/unshare", "-n", QUORVEL_BIN});
  if (waitChild(r.q, 300) == 1 && holds(r.q.err, "unshare"))
    GTEST_SKIP() << "no network namespaces here: " << r.q.err;
  ASSERT_TRUE(r.waitOut("[INFO] Connecting to ATEM at 127.0.0.17...\n", 3000)) << r.context();
  r.pump(200);
  EXPECT_EQ(r.q.err, "[ERR] sendto failed: Network is unreachable\n");
  EXPECT_EQ(r.stop(SIGTERM), 0);
  // Then the whole ladder, in the order camera_link_test checks, and one warning.
  EXPECT_EQ(countOf(r.q.err, "] sendto() failed: Network is unreachable\n"), 4);
  EXPECT_EQ(countOf(r.q.err, "] connect() failed: Network is unreachable\n"), 4);
  EXPECT_TRUE(holds(r.q.err, "unreachable\n[WARN] All send attempts failed for state OFF\n"));
  EXPECT_TRUE(holds(r.q.out, "[INFO] Goodbye!\n"));
}

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
    cams += ", {\"name\": \"" + std::string(name) +
            "\", \"watch_input_id\": 9, \"visca_port\": " + std::to_string(dead.port) +
            ", \"visca_off\": \"" + hugeHex() + "\", \"compat_try_both_ops\": false}";
  r.start(", \"compat_try_prefix\": false, \"cameras\": [" + cams + "]");
  ASSERT_TRUE(r.waitOut("[OK] Camera dead-b: ME=0 watch_input=9 -> 127.0.0.1:")) << r.context();

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
  EXPECT_FALSE(holds(r.q.err, "[ERR][TCP] dead-a: connect() failed")) << "hanging after 800 ms";

  // The stop while the dead cameras hang: the healthy ones get OFF at once, the dead ones give
  // up together after their TCP rung, and a second signal only adds its line.
  r.pump(1000);
  for (auto& sink : r.sinks) sink->lamps.clear();
  int64_t signalled = nowMs();
  signalChild(r.q, SIGTERM);
  for (size_t cam = 0; cam < 3; ++cam) EXPECT_EQ(r.lamp(300, cam), kOff) << cam;
  signalChild(r.q, SIGINT);
  EXPECT_EQ(waitChild(r.q, 10000, [&] { r.pump(1); }), 0);
  int64_t took = nowMs() - signalled;
  EXPECT_GE(took, 1400);
  EXPECT_LT(took, 2800) << "one ladder's time, not two";
  for (const char* name : {"dead-a", "dead-b"})
    EXPECT_EQ(countOf(r.q.err, name + std::string(": All send attempts failed for state OFF")), 2)
        << r.q.err;
  EXPECT_EQ(countOf(r.q.out, "Caught signal"), 2);
  EXPECT_EQ(countOf(r.q.out, "[INFO] Sending tally OFF before exit..."), 1);
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
  // Waits (running `each`) until a message is `text`; true when one came.
  bool waitFor(const std::string& text, int timeoutMs, const std::function<void()>& each) {
    for (int64_t end = nowMs() + timeoutMs;; each()) {
      drain();
      if (std::count(got.begin(), got.end(), text)) return true;
      if (nowMs() > end) return false;
    }
  }
};

}  // namespace

// Under systemd: READY=1 before the switcher answers, a STATUS= line that follows the session and
// each camera's real answers (one acknowledges, one answers with an error, one never answers),
// the watchdog at half the requested interval, SIGHUP reading the file again (a camera added
// without a new session), and STOPPING=1.
TEST(Bridge, SystemdNotificationReloadAndCameraAnswers) {
  Rig r("127.0.0.33");
  NotifySocket notify(r.dir);
  CameraSim acking({"--reply"}), failing({"--reply=error"});
  ASSERT_TRUE(acking.port && failing.port) << acking.child.err << failing.child.err;
  auto cameras = [&](const std::string& more) {
    return ", \"compat_try_prefix\": false, \"compat_try_tcp\": false, \"cameras\": [{\"name\": "
           "\"ok\", \"visca_port\": " + std::to_string(acking.port) + "}, {\"name\": \"bad\", "
           "\"watch_input_id\": 2, \"visca_port\": " + std::to_string(failing.port) +
           "}, {\"name\": \"mute\", \"watch_input_id\": 3}" + more + "]";
  };
  r.start(cameras(""), {}, {"NOTIFY_SOCKET=" + notify.path, "WATCHDOG_USEC=400000"});
  auto pump = [&] { r.pump(5); };
  ASSERT_TRUE(notify.waitFor("READY=1", 3000, [] { usleep(5000); })) << "before any answer";
  EXPECT_EQ(r.sw.clients.size(), 0u);
  ASSERT_TRUE(
      notify.waitFor("STATUS=connected to 127.0.0.33 \xC2\xB7 ok PROGRAM (input 1 \"Camera 1\", "
                     "answering) \xC2\xB7 bad PREVIEW (input 2 \"Camera 2\", error 41) "
                     "\xC2\xB7 mute OFF (input 3 \"Camera 3\")",
                     8000, pump))
      << notify.got.back() << r.context();
  // The error names the command it answered: the link passes on what it sent.
  EXPECT_TRUE(r.waitErr("[WARN] bad: Camera answered 81 01 7e 01 0a 01 04 ff with error 41 (not "
                        "executable)\n"))
      << r.q.err;
  EXPECT_FALSE(holds(r.q.err, "[WARN] ok") || holds(r.q.err, "[WARN] mute"));
  size_t before = notify.got.size();
  r.pump(1000);
  notify.drain();
  int dogs =
      static_cast<int>(std::count(notify.got.begin() + before, notify.got.end(), "WATCHDOG=1"));
  EXPECT_TRUE(dogs >= 4 && dogs <= 6) << dogs << " in one second, every 200 ms asked";

  // A camera added by SIGHUP lights with the current state at once, within the one session.
  before = notify.got.size();
  r.writeConfig(cameras(", {\"name\": \"added\", \"visca_port\": " +
                        std::to_string(r.addCamera()) + "}"));
  signalChild(r.q, SIGHUP);
  EXPECT_EQ(r.lamp(2000, 1), kProgram);
  ASSERT_TRUE(r.waitOut("[OK] Config reloaded: 4 cameras\n", 2000)) << r.context();
  r.pump(100);
  notify.drain();
  auto reloading = std::find_if(notify.got.begin() + before, notify.got.end(), [](auto& m) {
    return m.rfind("RELOADING=1\nMONOTONIC_USEC=", 0) == 0;
  });
  EXPECT_EQ(std::count(reloading, notify.got.end(), "READY=1"), 1) << "after RELOADING=1";
  EXPECT_EQ(countOf(r.context(), "\nhello from"), 1) << "one session throughout";
  EXPECT_EQ(r.stop(SIGTERM), 0);
  EXPECT_TRUE(notify.waitFor("STOPPING=1", 0, [] {}));
}

// Nobody reads the bridge's standard output: its lines wait in a bounded buffer or are dropped,
// while the cameras and the switcher are served as ever; once the output is read again, one line
// says how many were lost.
TEST(Bridge, AnUnreadLogNeverStopsTheBridge) {
  Rig r("127.0.0.35");
  const std::string a(3000, 'a'), b(3000, 'b');
  const uint16_t second = r.addCamera();
  r.start(
      ", \"log_changes\": true, \"compat_try_prefix\": false, \"compat_try_tcp\": false,"
      " \"cameras\": [{\"name\": \"" +
      a + "\", \"visca_port\": " + std::to_string(r.camera.port) + "}, {\"name\": \"" + b +
      "\", \"watch_input_id\": 2, \"visca_port\": " + std::to_string(second) + "}]");
  ASSERT_EQ(r.lamp(6000, 0), kProgram) << r.context();
  // A pipe holding more than the new size cannot shrink: read it empty between tries.
  int size = -1;
  for (int64_t end = nowMs() + 2000; size < 0 && nowMs() < end;) {
    pumpChild(r.q, 10);
    size = fcntl(r.q.outFd, F_SETPIPE_SZ, 4096);
  }
  ASSERT_GE(size, 4096) << strerror(errno);
  r.readOutput = false;
  for (int i = 0; i < 40; ++i) {
    sim::simCut(r.sw, 0);
    EXPECT_FALSE(r.lamp(150, 0).empty()) << "cut " << i;
    EXPECT_FALSE(r.lamp(150, 1).empty()) << "cut " << i;
    r.pump(20);
  }
  EXPECT_EQ(r.sw.retransmissions, 0u) << "every packet acknowledged at once";
  r.readOutput = true;
  EXPECT_TRUE(r.waitErr(" log lines dropped\n", 5000)) << r.q.err;
  EXPECT_EQ(r.stop(SIGTERM), 0);
}

// 64 cameras need more open files than a limit of 32 allows: the bridge raises its soft limit to
// the hard one, and stops at once with one line when even that is too few.
TEST(Bridge, TheOpenFileLimit) {
  std::string cams;
  for (int i = 1; i <= 64; ++i)
    cams += (i > 1 ? ", {" : "{") + std::string("\"watch_input_id\": ") + std::to_string(i) + "}";
  {
    Rig r("127.0.0.36");
    r.start(", \"compat_try_tcp\": false, \"cameras\": [" + cams + "]",
            {"/bin/bash", "-c", "ulimit -n 32 && exec " QUORVEL_BIN});
    EXPECT_EQ(waitChild(r.q, 5000), 1);
    EXPECT_EQ(r.q.err,
              "[ERR] 64 cameras need up to 268 open files, but the limit is 32 (raise "
              "it: ulimit -n, or LimitNOFILE= in the unit)\n");
    EXPECT_EQ(r.lamp(100), Bytes());
  }
  rlimit files;
  ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &files), 0);
  if (files.rlim_max < 300) GTEST_SKIP() << "the hard limit here is " << files.rlim_max;
  Rig r("127.0.0.37");
  r.start(", \"compat_try_tcp\": false, \"cameras\": [" + cams + "]",
          {"/bin/bash", "-c", "ulimit -Sn 32 && exec " QUORVEL_BIN});
  for (int i = 0; i < 64; ++i)
    ASSERT_FALSE(r.lamp(i == 0 ? 6000 : 500).empty()) << i << r.context();
  EXPECT_EQ(r.stop(SIGTERM), 0);
  EXPECT_EQ(r.sinks[0]->count, 128u) << "every camera's OFF";
  EXPECT_FALSE(holds(r.q.err, "[ERR]"));
}

// quorvel --test-lamp lights one camera without a switcher: PROGRAM for the seconds asked, then
// OFF, each outcome printed.
TEST(Bridge, TestLamp) {
  TempDir dir;
  CameraSim cam({"--reply"});
  ASSERT_NE(cam.port, 0) << cam.child.err;
  const std::string file = dir.write("q.json", R"({"atem_ip": "127.0.0.1", "visca_host": )"
                                               R"("127.0.0.1", "cameras": [{"name": "wide", )"
                                               R"("visca_port": )" + std::to_string(cam.port) + "}]}");
  Child lamp;
  startChild(lamp, {QUORVEL_BIN, "--test-lamp", "wide", "program", "2", file}, {});
  EXPECT_EQ(waitChild(lamp, 8000, [&] { pumpChild(cam.child, 5); }), 0) << lamp.err;
  pumpChild(cam.child, 200);
  for (const char* line : {"[OK] wide: PROGRAM sent\n", "[OK] wide: Camera answered 90 41 ff (taken)\n",
                           "[OK] wide: OFF sent\n"})
    EXPECT_TRUE(holds(lamp.out, line));
  // On the camera: PROGRAM, and OFF two seconds later.
  const std::string& out = cam.child.out;
  const size_t on = out.find("\"lamp\":\"PROGRAM\""), off = out.find("\"lamp\":\"OFF\"");
  ASSERT_TRUE(on != std::string::npos && off != std::string::npos) << out;
  auto at = [&](size_t pos) { return std::stod(out.substr(out.rfind("\"t_ms\":", pos) + 7)); };
  EXPECT_NEAR(at(off) - at(on), 2000, 300);
}

// One bridge, a camera of each make: a cut lights the right lamps on each; the Sony lamp stays
// lit past its own time-out by the profile's refresh; an HTTP camera that hangs holds up no
// other; Digest credentials get through, wrong ones give one clear line. A camera that listens
// on TCP only, with visca_transport "tcp", gets each change on one connection kept open, made
// again once closed.
TEST(Bridge, EveryKindOfCamera) {
  Rig r("127.0.0.39");
  CameraSim sony({"--profile", "sony", "--lamp-timeout", "1500"}), avonic({"--profile", "avonic"}),
      aw({"--http"}), slow({"--http", "--http-delay", "5000"}),
      locked({"--http", "--http-user", "u", "--http-password", "p"}),
      digest({"--http", "--http-user", "u", "--http-password", "p", "--http-auth", "digest"});
  for (CameraSim* c : {&sony, &avonic, &aw, &slow, &locked, &digest}) ASSERT_NE(c->port, 0);
  TcpCamera tcp;
  auto cam = [](const char* name, int input, const char* profile, uint16_t port,
                const std::string& more = "") {
    return std::string("{\"name\": \"") + name + "\", \"watch_input_id\": " +
           std::to_string(input) + ", \"profile\": \"" + profile +
           "\", \"visca_port\": " + std::to_string(port) + more + "}";
  };
  r.start(", \"cameras\": [" + cam("sony", 1, "sony", sony.port, ", \"lamp_refresh_ms\": 1000") +
          ", " + cam("avonic", 2, "avonic", avonic.port) + ", " + cam("aw", 1, "panasonic", aw.port) +
          ", " + cam("slow", 1, "panasonic", slow.port) + ", " +
          cam("locked", 2, "panasonic", locked.port,
              ", \"http_user\": \"u\", \"http_password\": \"wrong\"") + ", " +
          cam("digest", 2, "panasonic", digest.port,
              ", \"http_user\": \"u\", \"http_password\": \"p\"") + ", " +
          cam("tcp-only", 1, "default", tcp.listener.port,
              ", \"visca_transport\": \"tcp\", \"compat_try_both_ops\": false") + "]");
  auto until = [&](const std::function<bool()>& done, int ms) {
    for (int64_t end = nowMs() + ms; !done() && nowMs() < end; tcp.pump()) r.pump(5);
    return done();
  };
  ASSERT_TRUE(until([&] { return sony.lamp() == "\"PROGRAM\"" && aw.lamp() == "\"PROGRAM\"" &&
                               avonic.lamp() == "\"PREVIEW\"" && digest.lamp() == "\"PREVIEW\"" &&
                               tcp.got.size() >= 8; },
                    6000))
      << r.context() << sony.child.out << aw.child.out << avonic.child.out;
  const int64_t cut = nowMs();
  sim::simCut(r.sw, 0);
  ASSERT_TRUE(until([&] { return aw.lamp() == "\"PREVIEW\"" && avonic.lamp() == "\"PROGRAM\"" &&
                               sony.lamp() == "\"OFF\"" && digest.lamp() == "\"PROGRAM\"" &&
                               tcp.got.size() >= 16; },
                    1000));
  EXPECT_LT(nowMs() - cut, 500) << "the hanging camera held them up";
  EXPECT_EQ(tcp.conns.size(), 1u) << "one connection for both";
  EXPECT_EQ(Bytes(tcp.got.begin() + 8, tcp.got.end()), kPreview);
  tcp.close();
  r.pump(100);
  sim::simCut(r.sw, 0);
  ASSERT_TRUE(until([&] { return sony.lamp() == "\"PROGRAM\"" && tcp.got.size() >= 24; }, 1000));
  EXPECT_EQ(tcp.conns.size(), 1u) << "made again";
  EXPECT_EQ(Bytes(tcp.got.begin() + 16, tcp.got.end()), kProgram);
  r.pump(3000);
  pumpChild(sony.child, 0);
  EXPECT_FALSE(holds(sony.child.out, "expired")) << "refreshed before its time-out";
  EXPECT_EQ(sony.lamp(), "\"PROGRAM\"");
  EXPECT_FALSE(holds(sony.child.out, "\"expected\"")) << "the sequence counts";
  // One line per delivery, not per request, and no password in it.
  EXPECT_TRUE(holds(r.q.err, "[ERR][HTTP] locked: GET http://127.0.0.1:" +
                                 std::to_string(locked.port) +
                                 "/cgi-bin/aw_cam?cmd=TLR:0&res=1 answered 401 (the camera wants "
                                 "other credentials: http_user, http_password)\n[WARN] locked: "
                                 "All send attempts failed for state PREVIEW\n"));
  EXPECT_FALSE(holds(r.q.err, "wrong")) << "the password shows";
  EXPECT_FALSE(holds(r.q.err, "tcp-only") || holds(r.q.err, "digest")) << r.q.err;
  EXPECT_EQ(r.stop(SIGTERM), 0);
  EXPECT_EQ(aw.lamp(), "\"OFF\"");
}

// One switcher session feeds TSL displays and tally-server clients beside the camera: a TSL 5.0
// receiver on UDP, a TSL receiver on TCP that stops reading (dropped, the camera never waits for
// it), a tally client's conversation, and a flood of connections refused without a leak.
TEST(Bridge, OutputsBesideTheCameras) {
  Rig r("127.0.0.40");
  r.sw.sourceCount = 200;  // names enough for a refresh to fill a stuck receiver soon
  UdpPeer v5(r.ip, 0);
  // A receiver that takes a connection and never reads, with as little room as the kernel gives.
  TcpListener stuck(r.ip);
  const int small = 1024;
  setsockopt(stuck.fd, SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
  UdpPeer portPicker(r.ip, 0);  // a free port number for the tally server
  const uint16_t serverPort = portPicker.port;
  r.start(", \"compat_try_tcp\": false, \"tsl\": [{\"host\": \"" + r.ip +
          "\", \"port\": " + std::to_string(v5.port) +
          "}, {\"transport\": \"tcp\", \"refresh_ms\": 100, \"host\": \"" + r.ip +
          "\", \"port\": " + std::to_string(stuck.port) +
          "}], \"tally_server\": {\"listen\": \"" + r.ip + ":" + std::to_string(serverPort) +
          "\", \"inputs\": [1, 2, 3, 4]}");
  ASSERT_EQ(r.lamp(), kProgram) << r.context();
  Bytes packet;
  ASSERT_TRUE(v5.receive(packet, 1000));
  // Display 1 (the program source) red on all three lamps, with the switcher's long name.
  const Bytes one = {1, 0, 0xC0 | 0x15, 0, 8, 0, 'C', 'a', 'm', 'e', 'r', 'a', ' ', '1'};
  EXPECT_NE(std::search(packet.begin(), packet.end(), one.begin(), one.end()), packet.end());

  // A tally client: subscribes, hears the tally at once and after the cut.
  const sockaddr_in server = loopbackAddr(r.ip, serverPort);
  int client = socket(AF_INET, SOCK_STREAM, 0);
  ASSERT_EQ(connect(client, reinterpret_cast<const sockaddr*>(&server), sizeof server), 0);
  const std::string hello = "SUBSCRIBE TALLY\r\nFUNCTION Cut\r\n";
  ASSERT_EQ(send(client, hello.data(), hello.size(), 0), static_cast<ssize_t>(hello.size()));
  std::string heard;
  auto hearUntil = [&](const std::function<bool()>& done) {
    for (int64_t end = nowMs() + 2000; !done() && nowMs() < end;) {
      r.pump(5);
      char buf[512];
      const ssize_t n = recv(client, buf, sizeof buf, MSG_DONTWAIT);
      if (n > 0) heard.append(buf, static_cast<size_t>(n));
    }
  };
  hearUntil([&] { return holds(heard, "FUNCTION ER Not supported\r\n"); });
  EXPECT_EQ(heard, "SUBSCRIBE OK TALLY\r\nTALLY OK 1200\r\nFUNCTION ER Not supported\r\n");

  // Cuts while the stuck receiver's buffer fills: the camera has each at once, until the
  // receiver is dropped with one line.
  int cuts = 0;
  for (int64_t end = nowMs() + 15000; !holds(r.q.err, "stopped reading") && nowMs() < end; ++cuts) {
    sim::simCut(r.sw, 0);
    ASSERT_FALSE(r.lamp(150).empty()) << "cut " << cuts << r.context();
    r.pump(50);
  }
  EXPECT_TRUE(holds(r.q.err, "[WARN] tsl2: TSL receiver " + r.ip + ":" +
                                 std::to_string(stuck.port) +
                                 " lost (the receiver stopped reading: 64 KiB waiting); trying"));
  // The tally client heard every cut, one line each, the last one the state now.
  const std::string now = cuts % 2 ? "TALLY OK 2100\r\n" : "TALLY OK 1200\r\n";
  auto lines = [&] { return countOf(heard, "TALLY OK "); };
  hearUntil([&] { return lines() >= cuts + 1; });
  EXPECT_EQ(lines(), cuts + 1) << heard;
  EXPECT_EQ(heard.substr(heard.size() - std::min(heard.size(), now.size())), now) << heard;

  // A thousand connections at once: 32 clients at most, the rest closed at once with a line or
  // two; the bridge's open files come back to what they were.
  rlimit files;
  getrlimit(RLIMIT_NOFILE, &files);
  files.rlim_cur = std::min<rlim_t>(files.rlim_max, 4096);
  setrlimit(RLIMIT_NOFILE, &files);
  const int before = countOpenFds(r.q.pid);
  std::vector<int> flood;
  for (int i = 0; i < 1000; ++i) {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
    connect(fd, reinterpret_cast<const sockaddr*>(&server), sizeof server);
    flood.push_back(fd);
    if (i % 50 == 0) r.pump(1);
  }
  r.pump(500);
  EXPECT_LE(countOpenFds(r.q.pid), before + 31) << "at most 32 clients, one of them ours";
  for (int fd : flood) close(fd);
  close(client);
  r.pump(500);
  EXPECT_LE(countOpenFds(r.q.pid), before) << "clients gone, their sockets closed";
  EXPECT_TRUE(holds(r.q.err, "[WARN] Tally server: 32 clients already, closed the connection"));
  EXPECT_LT(countOf(r.q.err, "\n"), 10) << r.q.err;
  EXPECT_EQ(r.stop(SIGTERM), 0);
}
