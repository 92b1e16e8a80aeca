#include "atem/atem_connection.h"

#include <gtest/gtest.h>
#include <sched.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>

#include "test_support.h"

using namespace testing_support;
using std::chrono::milliseconds;
using std::chrono::steady_clock;

namespace {

// A switcher played by the test on its own loopback address.
struct FakeSwitcher {
  UdpPeer sock;
  sockaddr_in client{};
  explicit FakeSwitcher(const std::string& ip) : sock(ip, ATEM_PORT) {}
  Bytes next(AtemConnection& c) {  // the client's next packet, polling it meanwhile
    Bytes got;
    for (int i = 0; i < 40 && !sock.receive(got, 5, &client); ++i) c.loop();
    return got;
  }
  void deliver(AtemConnection& c, const Bytes& b) {
    sock.sendTo(b, client);
    c.loop();
  }
};

Bytes packet(uint8_t flags, uint16_t session, uint16_t id, const Bytes& payload = {}) {
  Bytes b(12, 0);
  b[0] = static_cast<uint8_t>(flags | ((12 + payload.size()) >> 8 & 7));
  b[1] = static_cast<uint8_t>(12 + payload.size());
  b[2] = static_cast<uint8_t>(session >> 8), b[3] = static_cast<uint8_t>(session);
  b[10] = static_cast<uint8_t>(id >> 8), b[11] = static_cast<uint8_t>(id);
  for (uint8_t x : payload) b.push_back(x);
  return b;
}
Bytes synAnswer(uint16_t session, uint8_t code) {
  return packet(0x10, session, 0, {code, 0, 0, 0x12, 0, 0, 0, 0});
}
Bytes ack(uint16_t session, uint16_t id) {  // 80 0c, session, acknowledged id, six zero bytes
  return {0x80, 0x0c, uint8_t(session >> 8), uint8_t(session), uint8_t(id >> 8), uint8_t(id), 0, 0, 0, 0, 0, 0};
}
const Bytes kPrgMe0In4 = hexBytes("00 0c 00 00 50 72 67 49 00 00 00 04");

}  // namespace

TEST(AtemConnection, HelloAcceptanceAndAcknowledgement) {
  FakeSwitcher sw("127.0.0.2");
  AtemConnection c;
  EXPECT_EQ(c.state, DISCONNECTED);
  EXPECT_EQ(c.programInput[3], -1);
  ASSERT_TRUE(c.connect("127.0.0.2"));
  EXPECT_EQ(c.state, CONNECTING);
  Bytes hello = sw.next(c);
  ASSERT_EQ(hello.size(), 20u);
  EXPECT_LT(hello[8] << 8 | hello[9], 65535);
  hello[8] = hello[9] = 0;
  EXPECT_EQ(hello, hexBytes("10 14 00 00 00 00 00 00 00 00 00 00 01 00 00 00 00 00 00 00"));

  // While opening, only a SYN answer of 13 bytes or more counts; nothing else is acknowledged.
  sw.deliver(c, packet(0x10, 0x0012, 0));
  sw.deliver(c, packet(0x08, 0x8001, 7, kPrgMe0In4));
  EXPECT_EQ(c.state, CONNECTING);
  EXPECT_EQ(c.programInput[0], -1);

  // The answer echoes the hello's session id; the line waits for the id the switcher assigns in
  // the next packet.
  testing::internal::CaptureStdout();
  sw.deliver(c, synAnswer(0x0000, 0x02));
  EXPECT_EQ(c.state, CONNECTED);
  EXPECT_EQ(sw.next(c), ack(0x0000, 0));
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "");

  // Session ids with the top bit set are adopted before the acknowledgement; others are not, but
  // the packet is walked and acknowledged all the same. No request flag, no acknowledgement.
  testing::internal::CaptureStdout();
  sw.deliver(c, packet(0x08, 0x8123, 0x0005));
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "[ATEM] SYN-ACK received, session 0x8123\n");
  EXPECT_EQ(sw.next(c), ack(0x8123, 0x0005));
  sw.deliver(c, packet(0x08, 0x1234, 0x0102, kPrgMe0In4));
  EXPECT_EQ(sw.next(c), ack(0x8123, 0x0102));
  EXPECT_EQ(c.programInput[0], 4);
  sw.deliver(c, packet(0x00, 0x8123, 9, hexBytes("00 0c 00 00 50 72 76 49 00 00 00 02")));
  EXPECT_EQ(c.previewInput[0], 2);
  Bytes none;
  EXPECT_FALSE(sw.sock.receive(none, 100));
}

TEST(AtemConnection, RefusalReopenAndSilence) {
  FakeSwitcher sw("127.0.0.3");
  AtemConnection c;
  ASSERT_TRUE(c.connect("127.0.0.3"));
  sw.next(c);
  testing::internal::CaptureStdout();
  sw.deliver(c, synAnswer(0x0001, 0x04));
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "[ATEM] Reconnect requested, resending SYN\n");
  EXPECT_EQ(sw.next(c).size(), 20u);
  EXPECT_EQ(c.state, CONNECTING);

  testing::internal::CaptureStderr();
  sw.deliver(c, synAnswer(0x0001, 0x03));
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "[ERR] ATEM: Connection refused (switcher full)\n");
  EXPECT_EQ(c.state, DISCONNECTED);
  for (int i = 0; i < 4; ++i) c.loop();
  Bytes got;
  EXPECT_FALSE(sw.sock.receive(got, 50));

  // Datagrams under 12 bytes are no sign of life; 12 bytes from any sender are.
  auto before = steady_clock::now() - milliseconds(4000);
  c.lastReceive = before;
  UdpPeer stranger("127.0.0.3", 0);
  sockaddr_in self{};
  socklen_t len = sizeof self;
  getsockname(c.sock, reinterpret_cast<sockaddr*>(&self), &len);
  for (size_t n : {11, 12}) {
    stranger.sendTo(Bytes(n, 0), loopbackAddr("127.0.0.1", ntohs(self.sin_port)));
    c.loop();
    EXPECT_EQ(c.lastReceive == before, n == 11);
  }

  // More than 5000 whole milliseconds of silence sends a hello.
  c.lastReceive = steady_clock::now() - milliseconds(5001);
  auto t = steady_clock::now();
  c.loop();
  EXPECT_EQ(c.state, CONNECTING);
  EXPECT_GE(c.lastReceive, t);
  ASSERT_TRUE(sw.sock.receive(got, 500));
  EXPECT_EQ(got.size(), 20u);
}

TEST(AtemConnection, BadAddressesAndUnsendableHello) {
  for (std::string ip : {"", "127.0.0", "localhost", "127.0.0.1 "}) {
    AtemConnection c;
    testing::internal::CaptureStderr();
    EXPECT_FALSE(c.connect(ip));
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "[ERR] Invalid ATEM IP: " + ip + "\n");
    EXPECT_EQ(c.sock, -1);
    c.loop();  // no socket: returns at once
    EXPECT_EQ(c.state, DISCONNECTED);
  }
  // In a network namespace of its own the loopback is down, so the hello cannot be sent.
  pid_t pid = fork();
  if (pid == 0) {
    if (unshare(CLONE_NEWNET) != 0) _exit(77);
    AtemConnection c;
    _exit(c.connect("127.0.0.1") && c.state == CONNECTING && c.sock >= 0 ? 0 : 1);
  }
  int status = 0;
  waitpid(pid, &status, 0);
  if (WEXITSTATUS(status) == 77) GTEST_SKIP() << "no network namespaces here";
  EXPECT_EQ(WEXITSTATUS(status), 0);
}

// Recorded initial states of real switchers, replayed as reliable packets.
TEST(AtemConnection, ReplayOfRecordedSwitchers) {
  struct Dump {
    const char* file;
    std::array<int16_t, 4> prg, prv;
  } dumps[] = {
      {"2me-v8.1.data", {1, 12, -1, -1}, {9, 1, -1, -1}},
      {"constellation-2me-hd-v8.7.0.data", {6000, 2001, -1, -1}, {2, 1, -1, -1}},
      {"1me-v8.1.data", {3, -1, -1, -1}, {3021, -1, -1, -1}},
      {"4me4k-v7.5.2.data", {1, 1, 1, 1}, {1, 1, 1, 1}},
      {"tvshd-v8.0.0.data", {6, -1, -1, -1}, {0, -1, -1, -1}},
  };
  FakeSwitcher sw("127.0.0.4");
  auto table = [](const int16_t* t) { return std::array<int16_t, 4>{t[0], t[1], t[2], t[3]}; };
  for (const Dump& d : dumps) {
    AtemConnection c;
    ASSERT_TRUE(c.connect("127.0.0.4"));
    sw.next(c);
    sw.deliver(c, synAnswer(0x8042, 0x02));
    ASSERT_EQ(sw.next(c), ack(0x8042, 0));
    std::vector<Bytes> payloads;
    std::string error;
    ASSERT_TRUE(quorvel_sim::simReadDump(std::string(QUORVEL_FIXTURES) + "/" + d.file, payloads,
                                         &error))
        << error;
    uint16_t id = 0;
    for (const Bytes& payload : payloads) {
      sw.deliver(c, packet(0x08, 0x8042, ++id, payload));
      ASSERT_EQ(sw.next(c), ack(0x8042, id)) << d.file << " packet " << id;
    }
    EXPECT_GT(id, 4);
    EXPECT_EQ(table(c.programInput), d.prg) << d.file;
    EXPECT_EQ(table(c.previewInput), d.prv) << d.file;
  }
}
