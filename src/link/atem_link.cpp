#include "link/atem_link.h"

#include <arpa/inet.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "base/log.h"
#include "base/hot.h"

bool atemLinkOpen(AtemLink& link, const std::string& ip, std::string& error) {
  link.addr = sockaddr_in{};
  link.addr.sin_family = AF_INET;
  link.addr.sin_port = htons(ATEM_PORT);
  link.fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (link.fd < 0) return error = std::string("socket() failed: ") + std::strerror(errno), false;
  if (::inet_pton(AF_INET, ip.c_str(), &link.addr.sin_addr) <= 0) {
    atemLinkClose(link);
    return error = "Invalid ATEM IP: " + printable(ip), false;
  }
  return true;
}

void atemLinkClose(AtemLink& link) {
  if (link.fd >= 0) ::close(link.fd);
  link.fd = -1;
}

QUORVEL_HOT long atemLinkReceive(AtemLink& link) {
  socklen_t len = sizeof link.from;
  ssize_t n = ::recvfrom(link.fd, link.rx, sizeof link.rx, 0,
                         reinterpret_cast<sockaddr*>(&link.from), &len);
  if (n < 0 && errno == EINTR) return 0;
  return n;
}

QUORVEL_HOT bool atemLinkFromSwitcher(const AtemLink& link) {
  return link.from.sin_family == AF_INET && link.from.sin_port == link.addr.sin_port &&
         link.from.sin_addr.s_addr == link.addr.sin_addr.s_addr;
}

std::string atemLinkSender(const AtemLink& link) {
  char ip[INET_ADDRSTRLEN] = "?";
  ::inet_ntop(AF_INET, &link.from.sin_addr, ip, sizeof ip);
  return std::string(ip) + ":" + std::to_string(ntohs(link.from.sin_port));
}

QUORVEL_HOT static bool sendPacket(AtemLink& link, size_t size, std::string& error) {
  if (::sendto(link.fd, link.tx, size, 0, reinterpret_cast<const sockaddr*>(&link.addr),
               sizeof link.addr) >= 0)
    return true;
  error = std::string("sendto failed: ") + std::strerror(errno);
  return false;
}

QUORVEL_HOT bool atemLinkSend(AtemLink& link, const AtemStep& step, uint16_t sessionId,
                              std::string& error) {
  bool ok = true;
  if (step.sendAck) {
    atemBuildAck(link.tx, sessionId, step.ackId);
    ok = sendPacket(link, kAtemAckSize, error);
  }
  if (step.sendHello) {
    atemBuildHello(link.tx, static_cast<uint16_t>(std::rand() % 65535));
    ok = sendPacket(link, kAtemHelloSize, error) && ok;
  }
  return ok;
}
