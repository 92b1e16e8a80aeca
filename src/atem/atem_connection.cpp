#include "atem/atem_connection.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <sys/select.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "app/log.h"

namespace {

void putBe16(uint8_t* p, uint16_t v) {
  p[0] = static_cast<uint8_t>(v >> 8);
  p[1] = static_cast<uint8_t>(v);
}

}  // namespace

AtemConnection::~AtemConnection() {
  if (sock >= 0) ::close(sock);
}

bool AtemConnection::connect(const std::string& ip) {
  sock = ::socket(AF_INET, SOCK_DGRAM, 0);
  if (sock < 0) {
    logErrno("[ERR] socket() failed: ");
    return false;
  }
  int flags = ::fcntl(sock, F_GETFL, 0);
  ::fcntl(sock, F_SETFL, flags | O_NONBLOCK);
  timeval tv{0, 100000};
  ::setsockopt(sock, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);

  std::memset(&addr, 0, sizeof addr);
  addr.sin_family = AF_INET;
  addr.sin_port = htons(ATEM_PORT);
  if (::inet_pton(AF_INET, ip.c_str(), &addr.sin_addr) <= 0) {
    logErr("[ERR] Invalid ATEM IP: " + ip);
    ::close(sock);
    sock = -1;
    return false;
  }

  sendHello();
  lastReceive = std::chrono::steady_clock::now();
  return true;
}

static void sendPacket(AtemConnection& c, size_t size) {
  ssize_t sent = ::sendto(c.sock, c.txBuffer, size, 0, reinterpret_cast<const sockaddr*>(&c.addr),
                          sizeof c.addr);
  if (sent < 0) logErrno("[ERR] sendto failed: ");
}

void AtemConnection::sendHello() {
  std::memset(txBuffer, 0, 20);
  txBuffer[0] = kAtemFlagSyn;
  txBuffer[1] = 20;
  putBe16(txBuffer + 8, static_cast<uint16_t>(std::rand() % 65535));
  txBuffer[12] = kAtemConnectHello;
  sendPacket(*this, 20);
  state = CONNECTING;
}

void AtemConnection::sendAck(uint16_t packetId) {
  std::memset(txBuffer, 0, 12);
  txBuffer[0] = kAtemFlagAck;
  txBuffer[1] = 12;
  putBe16(txBuffer + 2, sessionId);
  putBe16(txBuffer + 4, packetId);
  sendPacket(*this, 12);
}

void AtemConnection::loop() {
  if (sock < 0) return;
  auto t0 = std::chrono::steady_clock::now();
  auto silent = std::chrono::duration_cast<std::chrono::milliseconds>(t0 - lastReceive).count();
  if (silent > kAtemSilenceTimeoutMs) {
    sendHello();
    lastReceive = t0;
    return;
  }

  fd_set readable;
  FD_ZERO(&readable);
  FD_SET(sock, &readable);
  timeval wait{0, 50000};
  if (::select(sock + 1, &readable, nullptr, nullptr, &wait) <= 0) return;

  // Any sender's datagram is taken as the switcher's.
  sockaddr_in from{};
  socklen_t fromLen = sizeof from;
  ssize_t n = ::recvfrom(sock, rxBuffer, sizeof rxBuffer, 0, reinterpret_cast<sockaddr*>(&from),
                         &fromLen);
  handleDatagram(static_cast<long>(n));
}

void AtemConnection::handleDatagram(long n) {
  if (n < 12) return;
  lastReceive = std::chrono::steady_clock::now();

  uint8_t flags = rxBuffer[0];
  uint16_t session = static_cast<uint16_t>(rxBuffer[2] << 8 | rxBuffer[3]);
  uint16_t packetId = static_cast<uint16_t>(rxBuffer[10] << 8 | rxBuffer[11]);

  switch (state) {
    case CONNECTING:
      if (!(flags & kAtemFlagSyn) || n < 13) return;
      switch (rxBuffer[12]) {
        case kAtemConnectAccepted:
          sessionId = session;
          sendAck(0);
          state = CONNECTED;
          announced = false;
          break;
        case kAtemConnectRefused:
          logErr("[ERR] ATEM: Connection refused (switcher full)");
          state = DISCONNECTED;
          break;
        case kAtemConnectReopen:
          logOut("[ATEM] Reconnect requested, resending SYN");
          sendHello();
          break;
        default:
          break;
      }
      return;
    case CONNECTED:
      // Only ids with the top bit set are session ids the switcher assigned.
      if (session & 0x8000) sessionId = session;
      if (!announced) {
        // The SYN answer carries the client's own session id; the switcher assigns the real
        // one in the packets that follow, so the session is announced with the first of them.
        char hex[8];
        std::snprintf(hex, sizeof hex, "%x", static_cast<unsigned>(sessionId));
        logOut(std::string("[ATEM] SYN-ACK received, session 0x") + hex);
        announced = true;
      }
      if (n > 12) walkCommands(rxBuffer + 12, static_cast<size_t>(n - 12), programInput, previewInput);
      if (flags & kAtemFlagAckRequest) sendAck(packetId);
      return;
    case DISCONNECTED:
      return;
  }
}
