#include "link/tsl_link.h"

#include <netinet/tcp.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace {

TslChange lost(TslLink& link, const std::string& why, int64_t now) {
  if (link.fd >= 0) ::close(link.fd);
  link.fd = -1;
  link.connecting = link.up = false;
  link.pending.clear();
  link.retryDelayNs = link.retryDelayNs == 0 ? kTslRetryFirstNs
                                             : std::min(link.retryDelayNs * 2, kTslRetryMostNs);
  link.retryAtNs = now + link.retryDelayNs;
  return {TslChange::DOWN, why};
}

TslChange connectTcp(TslLink& link, int64_t now) {
  link.retryAtNs = INT64_MAX;
  link.fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (link.fd < 0) return lost(link, std::string("socket() failed: ") + std::strerror(errno), now);
  const int one = 1;
  ::setsockopt(link.fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  // The kernel's buffer bounded too (it doubles what is asked): a receiver that stops reading is
  // found out after a little over 2 x 64 KiB, not after megabytes.
  const int room = kTslMaxPending / 2;
  ::setsockopt(link.fd, SOL_SOCKET, SO_SNDBUF, &room, sizeof room);
  if (::connect(link.fd, reinterpret_cast<const sockaddr*>(&link.to), sizeof link.to) == 0) {
    link.up = true;
    link.retryDelayNs = 0;
    return {TslChange::UP, ""};
  }
  if (errno != EINPROGRESS)
    return lost(link, std::string("connect() failed: ") + std::strerror(errno), now);
  link.connecting = true;
  return {};
}

// Writes what the receiver will take now.
TslChange flush(TslLink& link, int64_t now) {
  while (!link.pending.empty()) {
    const ssize_t n = ::send(link.fd, link.pending.data(), link.pending.size(), MSG_NOSIGNAL);
    if (n < 0) {
      if (errno == EINTR) continue;
      if (errno == EAGAIN || errno == EWOULDBLOCK) break;
      return lost(link, std::string("send() failed: ") + std::strerror(errno), now);
    }
    link.pending.erase(0, static_cast<size_t>(n));
  }
  if (link.pending.size() > kTslMaxPending)
    return lost(link, "the receiver stopped reading: 64 KiB waiting", now);
  return {};
}

}  // namespace

TslChange tslLinkOpen(TslLink& link, const TslConfig& config, int64_t now) {
  link = TslLink();
  link.config = &config;
  link.to.sin_family = AF_INET;
  link.to.sin_addr.s_addr = config.host;
  link.to.sin_port = htons(config.port);
  if (config.tcp) return connectTcp(link, now);
  link.fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (link.fd < 0 ||
      ::connect(link.fd, reinterpret_cast<const sockaddr*>(&link.to), sizeof link.to) != 0)
    return lost(link, std::string("socket() failed: ") + std::strerror(errno), now);
  link.up = true;
  return {};
}

TslChange tslLinkSend(TslLink& link, const std::vector<Bytes>& packets, int64_t now,
                      std::string& why) {
  if (!link.up) return {};
  if (!link.config->tcp) {
    for (const Bytes& p : packets) {
      // A receiver that was not there answered with ICMP, which the next send reports as
      // ECONNREFUSED instead of sending: that send is made again. A receiver still away is
      // nothing to say about; the datagrams go on.
      ssize_t n = ::send(link.fd, p.data(), p.size(), 0);
      if (n < 0 && errno == ECONNREFUSED) n = ::send(link.fd, p.data(), p.size(), 0);
      if (n < 0 && errno != ECONNREFUSED)
        why = std::string("send() failed: ") + std::strerror(errno);
    }
    return {};
  }
  for (const Bytes& p : packets) link.pending.append(p.begin(), p.end());
  return flush(link, now);
}

TslChange tslLinkReady(TslLink& link, uint32_t events, int64_t now) {
  if (link.fd < 0 || !link.config->tcp) return {};
  if (link.connecting) {
    int err = 0;
    socklen_t len = sizeof err;
    if (::getsockopt(link.fd, SOL_SOCKET, SO_ERROR, &err, &len) != 0) err = errno;
    if (err != 0) return lost(link, std::string("connect() failed: ") + std::strerror(err), now);
    if (!(events & EPOLLOUT)) return {};
    link.connecting = false;
    link.up = true;
    link.retryDelayNs = 0;
    return {TslChange::UP, ""};
  }
  if (events & (EPOLLIN | EPOLLHUP | EPOLLERR)) {
    // Receivers have nothing to say; what they send is read and dropped. End of stream: gone.
    char buf[512];
    for (;;) {
      const ssize_t n = ::recv(link.fd, buf, sizeof buf, 0);
      if (n > 0) continue;
      if (n == 0) return lost(link, "the receiver closed the connection", now);
      if (errno == EINTR) continue;
      if (errno == EAGAIN || errno == EWOULDBLOCK) break;
      return lost(link, std::string("recv() failed: ") + std::strerror(errno), now);
    }
  }
  return flush(link, now);
}

TslChange tslLinkTick(TslLink& link, int64_t now) {
  if (now < link.retryAtNs || link.fd >= 0) return {};
  return connectTcp(link, now);
}

uint32_t tslLinkEvents(const TslLink& link) {
  if (link.fd < 0 || !link.config->tcp) return 0;
  if (link.connecting) return EPOLLOUT;
  return EPOLLIN | (link.pending.empty() ? 0u : static_cast<uint32_t>(EPOLLOUT));
}

void tslLinkClose(TslLink& link) {
  if (link.fd >= 0) ::close(link.fd);
  link.fd = -1;
  link.up = link.connecting = false;
}
