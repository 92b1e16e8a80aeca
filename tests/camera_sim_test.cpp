// The camera simulator, run as a program: what it recognises, how it reports it, and what it
// accepts and answers.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "test_support.h"

using testing_support::Bytes;
using testing_support::Child;
using testing_support::hexBytes;
using testing_support::UdpPeer;

namespace {

const char* kPrefix = "01 00 00 00 00 00 00 00 ";

// A running camera simulator on `ip`, port chosen by the system.
struct Camera {
  Child child;
  std::string ip;
  uint16_t port = 0;
  size_t seen = 0;  // how much of the output has been consumed by next()

  Camera(const std::string& address, std::vector<std::string> extra, bool json = true)
      : ip(address) {
    std::vector<std::string> argv = {std::string(QUORVEL_BINARY_DIR) + "/quorvel-camera-sim",
                                     "--address", ip, "--port", "0"};
    if (json) argv.push_back("--json");
    argv.insert(argv.end(), extra.begin(), extra.end());
    testing_support::startChild(child, argv, {});
    const std::string key = json ? "\"port\":" : ip + ":";
    if (!testing_support::waitForOutput(child, key, 5000)) return;
    testing_support::waitForOutput(child, "\n", 1000);
    size_t at = child.out.find(key) + key.size();
    port = static_cast<uint16_t>(std::stoi(child.out.substr(at)));
    seen = child.out.find('\n') + 1;
  }

  sockaddr_in addr() const { return testing_support::loopbackAddr(ip, port); }

  void udp(const std::string& hex, UdpPeer& from) { from.sendTo(hexBytes(hex), addr()); }

  // One TCP connection carrying `chunks`, each in its own write; returns what came back.
  Bytes tcp(const std::vector<std::string>& chunks, bool waitForReply = false) {
    int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a = addr();
    Bytes reply;
    if (::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0) {
      for (const std::string& c : chunks) {
        Bytes b = hexBytes(c);
        EXPECT_EQ(::write(fd, b.data(), b.size()), static_cast<ssize_t>(b.size()));
        ::usleep(20000);
      }
      if (waitForReply) {
        timeval tv{2, 0};
        ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
        uint8_t buf[64];
        while (reply.size() < 6) {
          ssize_t n = ::read(fd, buf, sizeof buf);
          if (n <= 0) break;
          reply.insert(reply.end(), buf, buf + n);
        }
      }
    }
    ::close(fd);
    return reply;
  }

  // The next output line, waiting for it if need be.
  std::string next() {
    int64_t end = testing_support::nowMs() + 5000;
    while (child.out.find('\n', seen) == std::string::npos && testing_support::nowMs() < end)
      testing_support::pumpChild(child, 10);
    size_t nl = child.out.find('\n', seen);
    if (nl == std::string::npos) return "";
    std::string line = child.out.substr(seen, nl - seen);
    seen = nl + 1;
    return line;
  }
};

bool has(const std::string& line, const std::string& part) {
  return line.find(part) != std::string::npos;
}

TEST(CameraSim, RecognisesBothSchemesOverUdp) {
  Camera cam("127.0.1.40", {});
  ASSERT_NE(cam.port, 0);
  UdpPeer me("127.0.0.1", 0);
  struct Case {
    const char* hex;
    const char* scheme;
    const char* state;
  } cases[] = {
      {"81 01 7e 01 0a 01 05 ff", "B", "PROGRAM"}, {"81 01 7e 01 0a 01 04 ff", "B", "PREVIEW"},
      {"81 01 7e 01 0a 01 00 ff", "B", "OFF"},     {"81 01 7e 01 0a 00 05 ff", "A", "PROGRAM"},
      {"81 01 7e 01 0a 00 04 ff", "A", "PREVIEW"}, {"81 01 7e 01 0a 00 00 ff", "A", "OFF"}};
  for (const Case& c : cases) {
    cam.udp(c.hex, me);
    std::string line = cam.next();
    EXPECT_TRUE(has(line, "\"transport\":\"udp\",\"prefixed\":false")) << line;
    EXPECT_TRUE(has(line, std::string("\"scheme\":\"") + c.scheme + "\"")) << line;
    EXPECT_TRUE(has(line, std::string("\"state\":\"") + c.state + "\"")) << line;
    EXPECT_TRUE(has(line, std::string("\"lamp\":\"") + c.state + "\"")) << line;
    EXPECT_TRUE(has(line, std::string("\"hex\":\"") + c.hex + "\"")) << line;
    EXPECT_TRUE(has(line, "\"t_ms\":")) << line;
  }
}

TEST(CameraSim, StripsThePrefixAndReadsTcpStreams) {
  Camera cam("127.0.1.41", {});
  ASSERT_NE(cam.port, 0);
  UdpPeer me("127.0.0.1", 0);
  cam.udp(std::string(kPrefix) + "81 01 7e 01 0a 01 05 ff", me);
  std::string line = cam.next();
  EXPECT_TRUE(has(line, "\"transport\":\"udp\",\"prefixed\":true")) << line;
  EXPECT_TRUE(has(line, "\"state\":\"PROGRAM\"")) << line;
  EXPECT_TRUE(has(line, "\"hex\":\"81 01 7e 01 0a 01 05 ff\"")) << line;

  cam.tcp({"81 01 7e 01 0a 00 04 ff"});
  line = cam.next();
  EXPECT_TRUE(
      has(line, "\"transport\":\"tcp\",\"prefixed\":false,\"scheme\":\"A\",\"state\":\"PREVIEW\""))
      << line;

  // Prefixed, split across writes, two commands on one connection.
  cam.tcp({"01 00 00 00", "00 00 00 00 81 01 7e", "01 0a 01 00 ff 81 01 7e 01 0a 01 05 ff"});
  line = cam.next();
  EXPECT_TRUE(
      has(line, "\"transport\":\"tcp\",\"prefixed\":true,\"scheme\":\"B\",\"state\":\"OFF\""))
      << line;
  line = cam.next();
  EXPECT_TRUE(has(line, "\"prefixed\":false,\"scheme\":\"B\",\"state\":\"PROGRAM\"")) << line;
}

TEST(CameraSim, ReportsOtherBytesAsHexAndKeepsTheLamp) {
  Camera cam("127.0.1.42", {});
  ASSERT_NE(cam.port, 0);
  UdpPeer me("127.0.0.1", 0);
  cam.udp("81 01 7e 01 0a 01 04 ff", me);
  cam.next();
  for (const char* hex : {"81 01 04 00 02 ff", "81 01 7e 01 0a 01 07 ff", "81 01 7e 01 0a 02 05 ff",
                          "81 01 7e 01 0a 01 05"}) {
    cam.udp(hex, me);
    std::string line = cam.next();
    EXPECT_TRUE(has(line, "\"scheme\":null,\"state\":null")) << line;
    EXPECT_TRUE(has(line, "\"lamp\":\"PREVIEW\"")) << line;
    EXPECT_TRUE(has(line, std::string("\"hex\":\"") + hex + "\"")) << line;
  }
}

TEST(CameraSim, OnlyTcpLeavesTheLampAloneForUdp) {
  Camera cam("127.0.1.43", {"--only-tcp"});
  ASSERT_NE(cam.port, 0);
  UdpPeer me("127.0.0.1", 0);
  cam.udp("81 01 7e 01 0a 01 05 ff", me);
  std::string line = cam.next();
  EXPECT_TRUE(has(line, "\"state\":\"PROGRAM\",\"accepted\":false,\"lamp\":\"OFF\"")) << line;
  cam.tcp({"81 01 7e 01 0a 01 05 ff"});
  line = cam.next();
  EXPECT_TRUE(has(line, "\"accepted\":true,\"lamp\":\"PROGRAM\"")) << line;
}

TEST(CameraSim, OnlyPrefixedLeavesTheLampAloneForBareCommands) {
  Camera cam("127.0.1.44", {"--only-prefixed"});
  ASSERT_NE(cam.port, 0);
  UdpPeer me("127.0.0.1", 0);
  cam.udp("81 01 7e 01 0a 01 04 ff", me);
  EXPECT_TRUE(has(cam.next(), "\"accepted\":false,\"lamp\":\"OFF\""));
  cam.tcp({"81 01 7e 01 0a 01 04 ff"});
  EXPECT_TRUE(has(cam.next(), "\"accepted\":false,\"lamp\":\"OFF\""));
  cam.udp(std::string(kPrefix) + "81 01 7e 01 0a 01 04 ff", me);
  EXPECT_TRUE(has(cam.next(), "\"accepted\":true,\"lamp\":\"PREVIEW\""));
}

TEST(CameraSim, AnswersLikeACameraWhenAsked) {
  Camera cam("127.0.1.45", {"--reply"});
  ASSERT_NE(cam.port, 0);
  UdpPeer me("127.0.0.1", 0);
  Bytes b;
  cam.udp("81 01 7e 01 0a 01 05 ff", me);
  ASSERT_TRUE(me.receive(b, 2000));
  EXPECT_EQ(b, hexBytes("90 41 ff"));
  ASSERT_TRUE(me.receive(b, 2000));
  EXPECT_EQ(b, hexBytes("90 51 ff"));
  cam.udp(std::string(kPrefix) + "81 01 7e 01 0a 01 00 ff", me);
  ASSERT_TRUE(me.receive(b, 2000));
  EXPECT_EQ(b, hexBytes("01 11 00 03 00 00 00 00 90 41 ff"));
  ASSERT_TRUE(me.receive(b, 2000));
  EXPECT_EQ(b, hexBytes("01 11 00 03 00 00 00 00 90 51 ff"));
  EXPECT_EQ(cam.tcp({"81 01 7e 01 0a 00 04 ff"}, true), hexBytes("90 41 ff 90 51 ff"));
  // Nothing for bytes it does not understand.
  cam.udp("81 01 04 00 02 ff", me);
  EXPECT_FALSE(me.receive(b, 300));
}

TEST(CameraSim, TextModeAndOrderlyStop) {
  Camera cam("127.0.1.46", {}, false);
  ASSERT_NE(cam.port, 0);
  UdpPeer me("127.0.0.1", 0);
  cam.udp(std::string(kPrefix) + "81 01 7e 01 0a 00 05 ff", me);
  std::string line = cam.next();
  EXPECT_TRUE(has(line, "udp+prefix")) << line;
  EXPECT_TRUE(has(line, "PROGRAM  scheme A  81 01 7e 01 0a 00 05 ff")) << line;
  EXPECT_FALSE(has(line, "\033[")) << "no colour when not on a terminal";
  ::kill(cam.child.pid, SIGINT);
  EXPECT_EQ(testing_support::waitChild(cam.child, 5000), 0);
  EXPECT_TRUE(has(cam.child.out, "stopped; lamp PROGRAM after 1 commands")) << cam.child.out;
}

}  // namespace
