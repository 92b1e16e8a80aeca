#include "link/atem_link.h"

#include <arpa/inet.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

#include "base/hot.h"

// Connected, the kernel drops datagrams from anyone else before the bridge sees them, so a flood
// from elsewhere cannot compete with the switcher for the one thread. Without a route to the
// switcher (the network not up yet) the connect fails; it is tried again before each send.
static void connectSwitcher(AtemLink& link) {
  link.connected =
      ::connect(link.fd, reinterpret_cast<const sockaddr*>(&link.addr), sizeof link.addr) == 0;
}

bool atemLinkOpen(AtemLink& link, uint32_t host, LinkFailure& failure) {
  link.addr = sockaddr_in{};
  link.addr.sin_family = AF_INET;
  link.addr.sin_port = htons(ATEM_PORT);
  link.addr.sin_addr.s_addr = host;
  link.fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (link.fd < 0) {
    failure = {LinkFailure::UDP, "socket()", errno, {}};
    return false;
  }
  connectSwitcher(link);
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

QUORVEL_HOT static bool sendPacket(AtemLink& link, size_t size, LinkFailure& failure) {
  if (!link.connected) connectSwitcher(link);
  const ssize_t sent =
      link.connected ? ::send(link.fd, link.tx, size, 0)
                     : ::sendto(link.fd, link.tx, size, 0,
                                reinterpret_cast<const sockaddr*>(&link.addr), sizeof link.addr);
  // Refused: a host is there but no switcher listens (yet); that is silence, said elsewhere.
  if (sent >= 0 || errno == ECONNREFUSED) return true;
  failure = {LinkFailure::UDP, "sendto", errno, {}};
  return false;
}

QUORVEL_HOT bool atemLinkSend(AtemLink& link, const CoreActions& out, LinkFailure& failure) {
  bool ok = true;
  for (uint16_t id : out.acks) {
    atemBuildAck(link.tx, out.session, id);
    ok = sendPacket(link, kAtemAckSize, failure) && ok;
  }
  if (out.sendHello) {
    atemBuildHello(link.tx, static_cast<uint16_t>(std::rand() % 65535));
    ok = sendPacket(link, kAtemHelloSize, failure) && ok;
  }
  return ok;
}
