#include "link/camera_link.h"

#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include "test_support.h"

using namespace testing_support;

namespace {

// `more` members, e.g. ", \"visca_off\": \"\"", with the default commands unless it names them.
CameraConfig cameraAt(uint16_t port, const std::string& more = "") {
  return cameraSpec(", \"visca_port\": " + std::to_string(port) + more);
}
std::string program(const std::string& hex) { return ", \"visca_program\": \"" + hex + "\""; }

// A camera's link, driven like the event loop drives it.
struct Rig {
  CameraConfig cfg;
  CameraLink link;
  explicit Rig(const CameraConfig& s) : cfg(s) {
    cameraSetup(link, cfg);
    cameraPrepare(link);
  }
  ~Rig() { cameraClose(link); }
  Ladder ladder(TallyState state) const {
    return buildLadder(cfg.commands.forms[state], cfg.ladder);
  }
  // Delivers `state` to the end, waiting on the TCP socket as the loop would. What failed, one
  // line each ("UDP sendto(): Message too long"), and "sent N bytes by TCP".
  std::string deliver(TallyState state, DeliveryStatus* status = nullptr) {
    DeliveryReport r;
    cameraDeliver(link, ladder(state), monotonicNs(), r);
    while (r.status == DeliveryStatus::RUNNING) {
      pollfd p{link.tcp, POLLOUT, 0};
      bool ready = poll(&p, 1, 2000) > 0;
      cameraContinue(link, ready, monotonicNs() + (ready ? 0 : kTcpStepNs), r);
    }
    cameraPrepare(link);
    if (status) *status = r.status;
    return describe(r);
  }
  static std::string describe(const DeliveryReport& r) {
    std::string text;
    for (const LinkFailure& f : r.failures)
      text += std::string(f.via == LinkFailure::TCP ? "TCP " : "UDP ") + f.call + ": " +
              (f.err == kErrEmptyCommand ? "empty" : strerror(f.err)) + "\n";
    if (r.tcpSent) text += "sent " + std::to_string(r.tcpSent->size()) + " bytes by TCP\n";
    return text;
  }
};

}  // namespace

TEST(CameraLink, OneDatagramFromASocketOfItsOwn) {
  UdpPeer camera("127.0.0.1", 0);
  Rig r(cameraAt(camera.port));
  const std::pair<TallyState, Bytes> states[] = {
      {PROGRAM, kProgram}, {PREVIEW, kPreview}, {OFF, kOff}};
  uint16_t lastPort = 0;
  for (const auto& [state, bytes] : states) {
    DeliveryStatus s;
    EXPECT_EQ(r.deliver(state, &s), "");
    EXPECT_EQ(s, DeliveryStatus::DELIVERED);
    Bytes got;
    sockaddr_in from{};
    ASSERT_TRUE(camera.receive(got, 1000, &from));
    EXPECT_EQ(got, bytes);
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

  // Set up again for another camera, before its socket is prepared: the datagram goes there.
  UdpPeer other("127.0.0.1", 0);
  r.cfg = cameraAt(other.port);
  cameraSetup(r.link, r.cfg);
  EXPECT_EQ(r.deliver(PROGRAM), "");
  Bytes got;
  EXPECT_TRUE(other.receive(got, 1000));

  // A bind to an address this host lacks is reported and the datagram still goes.
  Rig b(cameraAt(camera.port, ", \"bind_source_ip\": \"192.0.2.1\""));
  EXPECT_EQ(b.deliver(PROGRAM), "UDP bind(): Cannot assign requested address\n");
  EXPECT_TRUE(camera.receive(got, 1000));
}

TEST(CameraLink, LadderOrderMessagesAndDescriptors) {
  uint16_t closedPort;
  {
    TcpListener gone("127.0.0.1");  // a port that refuses connections once closed
    closedPort = gone.port;
  }
  const std::string udp = "UDP sendto(): Message too long\n";
  const std::string tcp = "TCP connect(): Connection refused\n";
  struct Case {
    bool prefix, tcp, both;
  } cases[] = {{false, false, false}, {true, false, false}, {false, true, false},
               {true, true, false},   {false, false, true}, {true, true, true},
               {false, true, true}};
  const int fds = countOpenFds(getpid());
  for (const Case& k : cases) {
    CameraConfig c = cameraAt(closedPort, program(hugeHex()));
    c.ladder = {k.prefix, k.tcp, k.both};
    std::string pair = k.prefix ? udp + udp : udp;
    if (k.tcp) pair += k.prefix ? tcp + tcp : tcp;
    Rig r(c);
    DeliveryStatus s;
    for (int i = 0; i < 20; ++i)  // the same every time, and no descriptor left behind
      EXPECT_EQ(r.deliver(PROGRAM, &s), k.both ? pair + pair : pair) << k.prefix << k.tcp << k.both;
    EXPECT_EQ(s, DeliveryStatus::FAILED);
  }
  EXPECT_EQ(countOpenFds(getpid()), fds);

  // An empty command sends nothing, so the prefix alone goes out in the second rung.
  UdpPeer camera("127.0.0.1", 0);
  Rig r(cameraAt(camera.port, ", \"visca_off\": \"\""));
  EXPECT_EQ(r.deliver(OFF), "UDP sendto(): empty\n");
  Bytes got;
  ASSERT_TRUE(camera.receive(got, 1000));
  EXPECT_EQ(got, viscaIpPrefix());
}

TEST(CameraLink, TcpRungsNeverBlock) {
  TcpCamera camera;
  Rig r(cameraAt(camera.listener.port, ", \"visca_preview\": \"" + hugeHex() + "\""));
  const Bytes& preview = r.cfg.commands.forms[PREVIEW].plain;
  EXPECT_EQ(r.deliver(PREVIEW),
            "UDP sendto(): Message too long\nUDP sendto(): Message too long\n"
            "sent " +
                std::to_string(preview.size()) + " bytes by TCP\n");
  for (int64_t end = nowMs() + 2000; camera.got.size() < preview.size() && nowMs() < end;)
    camera.pump();
  EXPECT_EQ(camera.got, preview);

  // A listener whose queue is full leaves the connect hanging: the rung gives up after 1.5 s
  // (a reading passed in, no sleep), and the next rung starts.
  HangingListener listener("127.0.0.1");
  Rig hang(cameraAt(listener.port, program(hugeHex())));
  hang.cfg.ladder.prefix = hang.cfg.ladder.bothOps = false;
  const int64_t t0 = monotonicNs();
  DeliveryReport r1;
  cameraDeliver(hang.link, hang.ladder(PROGRAM), t0, r1);
  EXPECT_EQ(r1.status, DeliveryStatus::RUNNING);
  EXPECT_EQ(cameraDeadline(hang.link), t0 + kTcpStepNs);
  cameraContinue(hang.link, false, t0 + kTcpStepNs - 1, r1);
  EXPECT_EQ(r1.status, DeliveryStatus::RUNNING);
  cameraContinue(hang.link, false, t0 + kTcpStepNs, r1);
  EXPECT_EQ(r1.status, DeliveryStatus::FAILED);
  EXPECT_EQ(Rig::describe(r1),
            "UDP sendto(): Message too long\nTCP connect(): Connection timed out\n");
}

// Sony's framing: every datagram behind the 8-byte header, its sequence one more each time the
// link sends, from 0, wrapping after 2^32 - 1.
TEST(CameraLink, VisaOverIpFramingCounts) {
  UdpPeer camera("127.0.0.1", 0);
  Rig r(cameraAt(camera.port, program("81 01 7e 01 0a 00 02 ff") +
                                  ", \"visca_framing\": \"sony-ip\", \"compat_try_tcp\": false"));
  const uint32_t sequences[] = {0, 1, 0xFFFFFFFF, 0};
  for (uint32_t seq : sequences) {
    if (seq == 0xFFFFFFFF) r.link.sequence = seq;
    EXPECT_EQ(r.deliver(PROGRAM), "");
    Bytes got;
    ASSERT_TRUE(camera.receive(got, 1000));
    Bytes want = hexBytes("01 00 00 08 00 00 00 00 81 01 7e 01 0a 00 02 ff");
    putBe32(&want[4], seq);
    EXPECT_EQ(got, want) << seq;
  }
}
