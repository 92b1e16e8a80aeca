#include "link/camera_link.h"

#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include "test_support.h"

using namespace testing_support;

namespace {

CameraConfig cameraAt(uint16_t port, const std::string& program = "81 01 7e 01 0a 01 05 ff") {
  CameraConfig c;
  c.visca_host = "127.0.0.1";
  c.visca_port = port;
  c.visca_program = program;
  return c;
}

// A camera's link with its commands, driven like the event loop drives it.
struct Rig {
  CameraConfig config;
  CommandSet commands;
  CameraLink link;
  LogLines lines;
  explicit Rig(const CameraConfig& c, const std::string& who = "") : config(c) {
    std::string error;
    EXPECT_TRUE(buildCommandSet(c.visca_program, c.visca_preview, c.visca_off, commands, error));
    cameraSetup(link, config, who);
    cameraPrepare(link);
  }
  ~Rig() { cameraClose(link); }
  // Delivers `state` to the end, waiting on the TCP socket as the loop would. The lines it wrote.
  std::string deliver(TallyState state, DeliveryStatus* status = nullptr) {
    DeliveryStatus s =
        cameraDeliver(link, buildLadder(commands, config, state), monotonicNs(), lines);
    while (s == DeliveryStatus::RUNNING) {
      pollfd p{link.tcp, POLLOUT, 0};
      bool ready = poll(&p, 1, 2000) > 0;
      s = cameraContinue(link, ready, monotonicNs() + (ready ? 0 : kTcpStepNs), lines);
    }
    cameraPrepare(link);
    if (status) *status = s;
    std::string text;
    for (const LogLine& l : lines) text += (l.error ? "E " : "O ") + l.text + "\n";
    lines.clear();
    return text;
  }
};

// Too long for one datagram, so every UDP rung fails with "Message too long"; it starts with the
// run that scheme A rewrites.
std::string hugeCommand() {
  std::string hex = "7e 01 0a 01";
  for (int i = 0; i < 70000; ++i) hex += " 5a";
  return hex;
}

}  // namespace

TEST(CameraLink, OneDatagramFromASocketOfItsOwn) {
  UdpPeer camera("127.0.0.1", 0);
  Rig r(cameraAt(camera.port));
  const std::pair<TallyState, const char*> states[] = {
      {PROGRAM, "81 01 7e 01 0a 01 05 ff"}, {PREVIEW, "81 01 7e 01 0a 01 04 ff"},
      {OFF, "81 01 7e 01 0a 01 00 ff"}, {static_cast<TallyState>(7), "81 01 7e 01 0a 01 00 ff"}};
  uint16_t lastPort = 0;
  for (auto [state, bytes] : states) {
    DeliveryStatus s;
    EXPECT_EQ(r.deliver(state, &s), "");
    EXPECT_EQ(s, DeliveryStatus::DELIVERED);
    Bytes got;
    sockaddr_in from{};
    ASSERT_TRUE(camera.receive(got, 1000, &from));
    EXPECT_EQ(got, hexBytes(bytes));
    EXPECT_NE(ntohs(from.sin_port), lastPort) << "each delivery has a socket of its own";
    lastPort = ntohs(from.sin_port);
    EXPECT_FALSE(camera.receive(got, 20)) << "only one attempt";
    // What the camera answers reaches the delivery's socket.
    camera.sendTo(hexBytes("90 41 ff"), from);
    uint8_t buf[16];
    size_t n = 0;
    for (int i = 0; i < 100 && !cameraReadAnswer(r.link.answers, buf, sizeof buf, n); ++i)
      usleep(1000);
    EXPECT_EQ(Bytes(buf, buf + n), hexBytes("90 41 ff"));
  }

  // A bind to an address this host lacks is reported and the datagram still goes.
  CameraConfig lacking = cameraAt(camera.port);
  lacking.bind_source_ip = "192.0.2.1";
  Rig b(lacking, "cam2: ");
  EXPECT_EQ(b.deliver(PROGRAM),
            "E [ERR][UDP] cam2: bind() failed: Cannot assign requested address\n");
  Bytes got;
  EXPECT_TRUE(camera.receive(got, 1000));
}

TEST(CameraLink, LadderOrderMessagesAndDescriptors) {
  uint16_t closedPort;
  {
    TcpListener gone("127.0.0.1");  // a port that refuses connections once closed
    closedPort = gone.port;
  }
  const std::string udp = "E [ERR][UDP] sendto() failed: Message too long\n";
  const std::string tcp = "E [ERR][TCP] connect() failed: Connection refused\n";
  struct Case {
    bool prefix, tcp, both;
  } cases[] = {{false, false, false}, {true, false, false}, {false, true, false},
               {true, true, false},   {false, false, true}, {true, true, true},
               {false, true, true}};
  const int fds = countOpenFds(getpid());
  for (const Case& k : cases) {
    CameraConfig c = cameraAt(closedPort, hugeCommand());
    c.compat_try_prefix = k.prefix;
    c.compat_try_tcp = k.tcp;
    c.compat_try_both_ops = k.both;
    std::string pair = k.prefix ? udp + udp : udp;
    if (k.tcp) pair += k.prefix ? tcp + tcp : tcp;
    Rig r(c);
    DeliveryStatus s;
    for (int i = 0; i < 20; ++i)  // the same every time, and no descriptor left behind
      EXPECT_EQ(r.deliver(PROGRAM, &s), (k.both ? pair + pair : pair) +
                                            "E [WARN] All send attempts failed for state PROGRAM\n")
          << k.prefix << k.tcp << k.both;
    EXPECT_EQ(s, DeliveryStatus::FAILED);
  }
  EXPECT_EQ(countOpenFds(getpid()), fds);

  // An empty command sends nothing, so the prefix alone goes out in the second rung.
  UdpPeer camera("127.0.0.1", 0);
  CameraConfig empty = cameraAt(camera.port);
  empty.visca_off = "";
  Rig r(empty);
  EXPECT_EQ(r.deliver(OFF), "E [ERR][UDP] sendto() failed: nothing to send (empty command)\n");
  Bytes got;
  ASSERT_TRUE(camera.receive(got, 1000));
  EXPECT_EQ(got, viscaIpPrefix());
}

TEST(CameraLink, TcpRungsNeverBlock) {
  TcpListener camera("127.0.0.1");
  CameraConfig c = cameraAt(camera.port);
  c.visca_preview = hugeCommand();
  Rig r(c, "cam3: ");
  EXPECT_EQ(r.deliver(PREVIEW), "E [ERR][UDP] cam3: sendto() failed: Message too long\n"
                                "E [ERR][UDP] cam3: sendto() failed: Message too long\n"
                                "O [SEND][TCP] cam3: 127.0.0.1:" +
                                    std::to_string(camera.port) + "  " +
                                    bytesToHexString(r.commands.preview) + "\n");
  Bytes got;
  ASSERT_TRUE(camera.acceptAndRead(got, 2000));
  ASSERT_FALSE(got.empty());
  EXPECT_TRUE(std::equal(got.begin(), got.end(), r.commands.preview.begin()));

  // A listener whose queue is full leaves the connect hanging: the rung gives up after 1.5 s
  // (a reading passed in, no sleep), and the next rung starts.
  HangingListener listener("127.0.0.1");
  Rig hang(cameraAt(listener.port, hugeCommand()));
  hang.config.compat_try_prefix = hang.config.compat_try_both_ops = false;
  const int64_t t0 = monotonicNs();
  EXPECT_EQ(
      cameraDeliver(hang.link, buildLadder(hang.commands, hang.config, PROGRAM), t0, hang.lines),
      DeliveryStatus::RUNNING);
  EXPECT_EQ(cameraDeadline(hang.link), t0 + kTcpStepNs);
  EXPECT_EQ(cameraContinue(hang.link, false, t0 + kTcpStepNs - 1, hang.lines),
            DeliveryStatus::RUNNING);
  EXPECT_EQ(cameraContinue(hang.link, false, t0 + kTcpStepNs, hang.lines), DeliveryStatus::FAILED);
  ASSERT_EQ(hang.lines.size(), 3u);
  EXPECT_EQ(hang.lines[1].text, "[ERR][TCP] connect() failed: Connection timed out");
}
