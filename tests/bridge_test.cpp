// End-to-end: the built quorvel binary against a switcher played by the test on its own loopback
// address and a camera sink on loopback.
#include <gtest/gtest.h>
#include <signal.h>

#include <fstream>

#include "test_support.h"

using namespace testing_support;

namespace {

const Bytes kProgram = hexBytes("81 01 7e 01 0a 01 05 ff");
const Bytes kPreview = hexBytes("81 01 7e 01 0a 01 04 ff");
const Bytes kOff = hexBytes("81 01 7e 01 0a 01 00 ff");

struct Rig {
  std::string ip;
  TempDir dir;
  UdpPeer switcher;
  UdpPeer camera{"127.0.0.1", 0};
  sockaddr_in client{};
  uint16_t nextId = 1;
  std::string cfgPath;
  Child q;

  explicit Rig(const std::string& switcherIp) : ip(switcherIp), switcher(switcherIp, 9910) {}

  // `extra` is added to the configuration object, e.g. ", \"me_index\": 1".
  void start(const std::string& extra) {
    cfgPath = dir.write("q.json", "{\"atem_ip\": \"" + ip +
                                      "\", \"visca_host\": \"127.0.0.1\", \"visca_port\": " +
                                      std::to_string(camera.port) + extra + "}");
    startChild(q, {QUORVEL_BIN}, {"QUORVEL_CFG=" + cfgPath});
  }
  void acceptSession() {
    Bytes hello;
    ASSERT_TRUE(switcher.receive(hello, 5000, &client));
    ASSERT_EQ(hello.size(), 20u);
    switcher.sendTo(hexBytes("10 14 00 00 00 00 00 00 00 00 00 00 02 00 00 01 00 00 00 00"),
                    client);
  }
  // Sends one reliable packet carrying program and/or preview of ME 0 (-1: leave out).
  void state(int program, int preview) {
    Bytes p = hexBytes("08 00 80 01 00 00 00 00 00 00");
    p.push_back(static_cast<uint8_t>(nextId >> 8));
    p.push_back(static_cast<uint8_t>(nextId++));
    for (auto [name, input] : {std::pair{"PrgI", program}, std::pair{"PrvI", preview}}) {
      if (input < 0) continue;
      Bytes block = {0, 12, 0, 0, uint8_t(name[0]), uint8_t(name[1]), uint8_t(name[2]),
                     uint8_t(name[3]), 0, 0, uint8_t(input >> 8), uint8_t(input)};
      p.insert(p.end(), block.begin(), block.end());
    }
    p[1] = static_cast<uint8_t>(p.size());
    switcher.sendTo(p, client);
  }
  Bytes lamp(int timeout_ms = 5000) {
    Bytes got;
    camera.receive(got, timeout_ms);
    return got;
  }
  int stop(int sig) {
    kill(q.pid, sig);
    return waitChild(q, 10000);
  }
};

}  // namespace

TEST(Bridge, StartupCutAndStop) {
  Rig r("127.0.0.10");
  r.start(", \"watch_input_id\": 3, \"bind_source_ip\": \"127.0.0.1\"");
  r.acceptSession();
  r.state(3, 4);
  EXPECT_EQ(r.lamp(), kProgram);  // the initial state after the warm-up
  std::string port = std::to_string(r.camera.port);
  waitForOutput(r.q, "TCP fallback\n", 1000);
  EXPECT_EQ(r.q.out, "=== Quorvel ===\n[INFO] Loading config from: " + r.cfgPath +
                         "\n[INFO] Connecting to ATEM at 127.0.0.10...\n"
                         "[ATEM] SYN-ACK received, session 0x0\n"
                         "[OK] ATEM 127.0.0.10 connected | ME=0 watch_input=3 -> 127.0.0.1:" +
                         port +
                         "\n[OK] Binding UDP sends from source IP: 127.0.0.1\n"
                         "[OK] Will also try 8-byte VISCA-IP prefix\n"
                         "[OK] Will also try TCP fallback\n");

  // The accept is acknowledged as packet 0 of the session it names; packet 1 carries the
  // switcher's session id 0x8001, which is adopted before its acknowledgement.
  Bytes a;
  ASSERT_TRUE(r.switcher.receive(a, 1000));
  EXPECT_EQ(a, hexBytes("80 0c 00 00 00 00 00 00 00 00 00 00"));
  ASSERT_TRUE(r.switcher.receive(a, 1000));
  EXPECT_EQ(a, hexBytes("80 0c 80 01 00 01 00 00 00 00 00 00"));

  r.state(4, 3);  // a cut
  EXPECT_EQ(r.lamp(), kPreview);
  r.state(5, -1);
  Bytes extra;
  EXPECT_FALSE(r.camera.receive(extra, 200)) << "a change on the other bus sends nothing";

  // A process that ignores SIGPIPE survives a camera that resets its TCP connection.
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
  r.start(", \"compat_try_prefix\": false, \"compat_try_tcp\": false");
  r.acceptSession();
  EXPECT_EQ(r.lamp(), kOff);  // nothing reported: the initial state is OFF
  EXPECT_EQ(r.q.out.find("[OK] Will"), std::string::npos);

  int64_t sent = nowMs();
  r.state(1, -1);
  ASSERT_EQ(r.lamp(), kProgram);
  // Leaving PROGRAM 10 ms later goes out no earlier than 50 ms after the PROGRAM send.
  while (nowMs() < sent + 10) {
  }
  r.state(2, -1);
  EXPECT_EQ(r.lamp(), kOff);
  EXPECT_GE(nowMs() - sent, 50);

  // A change that reverts within the hold-off is never sent.
  r.state(1, -1);
  ASSERT_EQ(r.lamp(), kProgram);
  r.state(2, -1);
  r.state(1, -1);
  Bytes extra;
  EXPECT_FALSE(r.camera.receive(extra, 300)) << extra.size() << " bytes";
  EXPECT_EQ(r.stop(SIGINT), 0);
  EXPECT_EQ(r.lamp(), kOff);
}

TEST(Bridge, StopSignalInEveryPhase) {
  // Waiting for a switcher that never answers: the stop ends the wait and darkens the lamp.
  {
    Rig r("127.0.0.12");
    r.start("");
    Bytes hello;
    ASSERT_TRUE(r.switcher.receive(hello, 5000));
    EXPECT_EQ(r.stop(SIGINT), 0);
    EXPECT_EQ(r.lamp(), kOff);
    EXPECT_EQ(r.q.out.find("[OK]"), std::string::npos);
    EXPECT_NE(r.q.out.find("Caught signal 2, shutting down...\n[INFO] Sending tally OFF before "
                           "exit...\n[INFO] Goodbye!\n"),
              std::string::npos);
  }
  // Twice during the settle and warm-up: two lines, the initial state still goes, then one OFF.
  {
    Rig r("127.0.0.13");
    r.start("");
    r.acceptSession();
    r.state(-1, 1);
    ASSERT_TRUE(waitForOutput(r.q, "TCP fallback\n", 5000));
    kill(r.q.pid, SIGTERM);
    pumpChild(r.q, 100);
    kill(r.q.pid, SIGINT);
    EXPECT_EQ(r.lamp(), kPreview);
    EXPECT_EQ(r.lamp(), kOff);
    EXPECT_EQ(waitChild(r.q, 5000), 0);
    EXPECT_NE(r.q.out.find("\n[INFO] Caught signal 15, shutting down...\n\n"
                           "[INFO] Caught signal 2, shutting down...\n"),
              std::string::npos)
        << r.q.out;
    EXPECT_EQ(r.q.out.find("Goodbye"), r.q.out.rfind("Goodbye"));
  }
  // In the main loop with OFF the last state sent: OFF is sent once more.
  {
    Rig r("127.0.0.14");
    r.start("");
    r.acceptSession();
    EXPECT_EQ(r.lamp(), kOff);
    EXPECT_EQ(r.stop(SIGINT), 0);
    EXPECT_EQ(r.lamp(), kOff);
    Bytes extra;
    EXPECT_FALSE(r.camera.receive(extra, 100));
  }
}

TEST(Bridge, StartFailuresSendNothing) {
  {
    Rig r("127.0.0.15");
    r.ip = "camera.local";
    r.start("");
    EXPECT_EQ(waitChild(r.q, 5000), 1);
    EXPECT_NE(r.q.out.find("[INFO] Connecting to ATEM at camera.local...\n"), std::string::npos);
    EXPECT_EQ(r.q.err,
              "[ERR] Invalid ATEM IP: camera.local\n[ERR] Failed to initiate ATEM connection\n");
    Bytes extra;
    EXPECT_FALSE(r.camera.receive(extra, 100));
  }
  {
    Rig r("127.0.0.16");
    r.start(", \"visca_preview\": \"81 zz ff\"");
    EXPECT_EQ(waitChild(r.q, 5000), 1);
    EXPECT_EQ(r.q.err, "[ERR] Invalid hex in visca_preview: 81 zz ff\n");
    EXPECT_EQ(r.q.out.find("Connecting"), std::string::npos);
    Bytes extra;
    EXPECT_FALSE(r.switcher.receive(extra, 100)) << "no session is opened";
    EXPECT_FALSE(r.camera.receive(extra, 10));
  }
}
