// End-to-end: the built quorvel binary against the switcher simulator (in this process, on its
// own loopback address) and a camera sink on loopback.
#include <gtest/gtest.h>
#include <signal.h>

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
    EXPECT_EQ(r.q.err, "[ERR] Invalid ATEM IP: camera.local\n[ERR] Failed to initiate ATEM connection\n");
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
