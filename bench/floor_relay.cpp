// quorvel-bench-floor: the least a switcher-to-camera relay can do, as the benchmark's floor.
// It opens a session with the switcher, and for every datagram that carries commands it sends
// eight bytes to the camera, then acknowledges the datagram if asked. No parsing, no state, one
// socket each way: what remains is two loopback hops and the harness that times them.
//
// Given several camera ports it plays an eight-camera relay for a cut that changes two cameras:
// each datagram that carries commands goes to the first two ports, one after the other, and the
// other cameras get nothing, which is the least such a relay must send.
//
// usage: quorvel-bench-floor SWITCHER_IP CAMERA_IP PORT [PORT...]   (loopback addresses only)
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

constexpr uint8_t kFlagAck = 0x80;
constexpr uint8_t kFlagSyn = 0x10;
constexpr uint8_t kFlagAckRequest = 0x08;

bool loopbackAddress(const char* ip, uint16_t port, sockaddr_in& out) {
  std::memset(&out, 0, sizeof out);
  out.sin_family = AF_INET;
  out.sin_port = htons(port);
  if (inet_pton(AF_INET, ip, &out.sin_addr) != 1) return false;
  return (ntohl(out.sin_addr.s_addr) >> 24) == 127;
}

void sendAck(int fd, const sockaddr_in& to, uint16_t session, uint16_t id) {
  uint8_t ack[12] = {kFlagAck,
                     12,
                     static_cast<uint8_t>(session >> 8),
                     static_cast<uint8_t>(session),
                     static_cast<uint8_t>(id >> 8),
                     static_cast<uint8_t>(id)};
  sendto(fd, ack, sizeof ack, 0, reinterpret_cast<const sockaddr*>(&to), sizeof to);
}

void sendHello(int fd, const sockaddr_in& to) {
  uint8_t hello[20] = {kFlagSyn, 20};
  hello[12] = 0x01;
  sendto(fd, hello, sizeof hello, 0, reinterpret_cast<const sockaddr*>(&to), sizeof to);
}

}  // namespace

int main(int argc, char** argv) {
  sockaddr_in switcher{};
  sockaddr_in cameras[2]{};
  int targets = argc > 4 ? 2 : 1;
  bool ok = argc >= 4 && loopbackAddress(argv[1], 9910, switcher);
  // The ports past the second get nothing, but a bad one still stops the relay.
  for (int i = 3; ok && i < argc; ++i) {
    int port = std::atoi(argv[i]);
    sockaddr_in a{};
    ok = port > 0 && port < 65536 && loopbackAddress(argv[2], static_cast<uint16_t>(port), a);
    if (i - 3 < targets) cameras[i - 3] = a;
  }
  if (!ok) {
    std::fprintf(stderr, "usage: %s SWITCHER_IP CAMERA_IP PORT [PORT...] (loopback only)\n",
                 argv[0]);
    return 2;
  }
  int atem = socket(AF_INET, SOCK_DGRAM, 0);
  int cam = socket(AF_INET, SOCK_DGRAM, 0);
  if (atem < 0 || cam < 0) {
    std::perror("socket");
    return 1;
  }
  const uint8_t lamp[8] = {0x81, 0x01, 0x7E, 0x01, 0x0A, 0x01, 0x05, 0xFF};

  bool open = false;
  uint16_t session = 0;
  uint8_t buf[2048];
  sendHello(atem, switcher);
  for (;;) {
    if (!open) {  // until the switcher answers, ask again every second
      pollfd p{atem, POLLIN, 0};
      if (poll(&p, 1, 1000) == 0) {
        sendHello(atem, switcher);
        continue;
      }
    }
    ssize_t n = recv(atem, buf, sizeof buf, 0);
    if (n < 12) continue;
    uint16_t s = static_cast<uint16_t>(buf[2] << 8 | buf[3]);
    if (!open) {
      if ((buf[0] & kFlagSyn) && n >= 13 && buf[12] == 0x02) {
        open = true;
        session = s;
        sendAck(atem, switcher, session, 0);
      }
      continue;
    }
    if (n > 12)
      for (int i = 0; i < targets; ++i)
        sendto(cam, lamp, sizeof lamp, 0, reinterpret_cast<const sockaddr*>(&cameras[i]),
               sizeof cameras[i]);
    if (s & 0x8000) session = s;
    if (buf[0] & kFlagAckRequest)
      sendAck(atem, switcher, session, static_cast<uint16_t>(buf[10] << 8 | buf[11]));
  }
}
