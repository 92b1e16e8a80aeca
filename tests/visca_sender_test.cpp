#include "visca/visca_sender.h"

#include <gtest/gtest.h>

#include "test_support.h"

using namespace testing_support;

namespace {

struct Outcome {
  bool ok;
  std::string out, err;
};

Outcome deliver(const Config& config, TallyState state) {
  CommandSet commands;
  std::string error;
  EXPECT_TRUE(buildCommandSet(config, viscaIpPrefix(), commands, error));
  ViscaSender sender = makeViscaSender(config);
  testing::internal::CaptureStdout();
  testing::internal::CaptureStderr();
  bool ok = sendTallyState(commands, config, sender, state);
  std::string out = testing::internal::GetCapturedStdout();
  return {ok, out, testing::internal::GetCapturedStderr()};
}

Config cameraAt(uint16_t port) {
  Config c;
  c.atem_ip = "127.0.0.1";
  c.visca_host = "127.0.0.1";
  c.visca_port = port;
  return c;
}

// Too long for one datagram, so every UDP attempt fails with "Message too long"; it starts with
// the run that scheme A rewrites.
std::string hugeCommand() {
  std::string hex = "7e 01 0a 01";
  for (int i = 0; i < 70000; ++i) hex += " 5a";
  return hex;
}

}  // namespace

TEST(ViscaSender, OneDatagramWhenTheCameraIsReachable) {
  UdpPeer camera("127.0.0.1", 0);
  Config c = cameraAt(camera.port);
  const std::pair<TallyState, const char*> states[] = {
      {PROGRAM, "81 01 7e 01 0a 01 05 ff"}, {PREVIEW, "81 01 7e 01 0a 01 04 ff"},
      {OFF, "81 01 7e 01 0a 01 00 ff"}, {static_cast<TallyState>(7), "81 01 7e 01 0a 01 00 ff"}};
  for (auto [state, bytes] : states) {
    Outcome o = deliver(c, state);
    EXPECT_TRUE(o.ok);
    EXPECT_EQ(o.out + o.err, "");
    Bytes got;
    ASSERT_TRUE(camera.receive(got, 1000));
    EXPECT_EQ(got, hexBytes(bytes));
    EXPECT_FALSE(camera.receive(got, 20)) << "only one attempt";
  }

  // A bind to an address this host lacks is reported and the datagram still goes; a text that
  // is no address binds to any address without a word.
  c.bind_source_ip = "192.0.2.1";
  Outcome o = deliver(c, PROGRAM);
  EXPECT_EQ(o.err, "[ERR][UDP] bind() failed: Cannot assign requested address\n");
  Bytes got;
  EXPECT_TRUE(o.ok && camera.receive(got, 1000));
  c.bind_source_ip = "camera-net";
  o = deliver(c, PROGRAM);
  EXPECT_EQ(o.err, "");
  EXPECT_TRUE(o.ok && camera.receive(got, 1000));
}

TEST(ViscaSender, LadderOrderAndMessages) {
  uint16_t closedPort;
  {
    TcpListener gone("127.0.0.1");  // a port that refuses connections once closed
    closedPort = gone.port;
  }
  const std::string udp = "[ERR][UDP] sendto() failed: Message too long\n";
  const std::string tcp = "[ERR][TCP] connect() failed: Connection refused\n";
  struct Case {
    bool prefix, tcp, both;
    int udpFailures, tcpFailures;
  } cases[] = {{false, false, false, 1, 0}, {true, false, false, 2, 0}, {false, true, false, 1, 1},
               {true, true, false, 2, 2},   {false, false, true, 2, 0}, {true, true, true, 4, 4},
               {false, true, true, 2, 2}};
  int fds = countOpenFds(getpid());
  for (const Case& k : cases) {
    Config c = cameraAt(closedPort);
    c.visca_program = hugeCommand();
    c.compat_try_prefix = k.prefix;
    c.compat_try_tcp = k.tcp;
    c.compat_try_both_ops = k.both;
    std::string pair = k.prefix ? udp + udp : udp;
    if (k.tcp) pair += k.prefix ? tcp + tcp : tcp;
    std::string expected = k.both ? pair + pair : pair;
    Outcome o = deliver(c, PROGRAM);
    EXPECT_FALSE(o.ok);
    EXPECT_EQ(o.out, "");
    EXPECT_EQ(o.err, expected + "[WARN] All send attempts failed for state PROGRAM\n")
        << k.prefix << k.tcp << k.both;
  }
  // Every attempt closes its socket, on every path, also after a failed bind.
  Config all = cameraAt(closedPort);
  all.visca_program = hugeCommand();
  all.bind_source_ip = "192.0.2.1";
  for (int i = 0; i < 200; ++i) deliver(all, PROGRAM);
  EXPECT_EQ(countOpenFds(getpid()), fds);

  // An empty command sends nothing, so the prefix alone goes out in the second attempt.
  UdpPeer camera("127.0.0.1", 0);
  Config c = cameraAt(camera.port);
  c.visca_off = "";
  Outcome o = deliver(c, OFF);
  EXPECT_TRUE(o.ok);
  EXPECT_EQ(o.err, "[ERR][UDP] sendto() failed: nothing to send (empty command)\n");
  Bytes got;
  while (camera.receive(got, 200) && got.empty()) {
  }
  EXPECT_EQ(got, viscaIpPrefix());

  // States other than PROGRAM and PREVIEW name themselves UNKNOWN when everything fails.
  c.compat_try_prefix = false;
  c.compat_try_tcp = false;
  o = deliver(c, static_cast<TallyState>(9));
  EXPECT_FALSE(o.ok);
  EXPECT_NE(o.err.find("[WARN] All send attempts failed for state UNKNOWN\n"), std::string::npos);
}

TEST(ViscaSender, TcpFallbackAndPortWrap) {
  TcpListener camera("127.0.0.1");
  Config c = cameraAt(0);
  c.visca_port = camera.port + 65536;  // only the low 16 bits reach the socket
  c.visca_preview = hugeCommand();
  Outcome o = deliver(c, PREVIEW);
  EXPECT_TRUE(o.ok);
  EXPECT_EQ(o.err, "[ERR][UDP] sendto() failed: Message too long\n"
                   "[ERR][UDP] sendto() failed: Message too long\n");
  std::string line = "[SEND][TCP] 127.0.0.1:" + std::to_string(camera.port + 65536) + "  " +
                     bytesToHexString(hexStringToBytes(c.visca_preview)) + "\n";
  EXPECT_EQ(o.out, line);
  Bytes got;
  ASSERT_TRUE(camera.acceptAndRead(got, 2000));
  Bytes want = hexStringToBytes(c.visca_preview);
  ASSERT_FALSE(got.empty());
  EXPECT_TRUE(std::equal(got.begin(), got.end(), want.begin()));
}
