#include "link/tally_server.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace {

uint64_t tagOf(const TallyServer& s, int fd) {
  return s.tagKind << 56 | static_cast<uint32_t>(fd);
}

void drop(TallyServer& s, TallyServer::Client* c, TallyServerNews& news) {
  ::close(c->fd);  // the kernel forgets a closed descriptor's watch
  s.clients.erase(std::find_if(s.clients.begin(), s.clients.end(),
                               [&](const auto& p) { return p.get() == c; }));
  news.clientsChanged = true;
}

// Writes what the client will take; false when it is to be dropped.
bool flush(TallyServer& s, TallyServer::Client& c) {
  while (!c.pending.empty()) {
    const ssize_t n = ::send(c.fd, c.pending.data(), c.pending.size(), MSG_NOSIGNAL);
    if (n < 0) {
      if (errno == EINTR) continue;
      if (errno == EAGAIN || errno == EWOULDBLOCK) break;
      return false;
    }
    c.pending.erase(0, static_cast<size_t>(n));
  }
  if (c.pending.size() > kTallyMaxPending) return false;
  // Room to write is watched for only while something waits.
  if (c.waiting != !c.pending.empty()) {
    c.waiting = !c.pending.empty();
    loopWatch(*s.loop, c.fd, EPOLLIN | (c.waiting ? uint32_t{EPOLLOUT} : 0u), tagOf(s, c.fd));
  }
  return true;
}

void accept(TallyServer& s, TallyServerNews& news) {
  for (;;) {
    sockaddr_in from{};
    socklen_t len = sizeof from;
    const int fd = ::accept4(s.fd, reinterpret_cast<sockaddr*>(&from), &len,
                             SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (fd < 0) return;  // EAGAIN: all taken; anything else: tried again on the next event
    if (s.clients.size() >= kMaxTallyClients) {
      ::close(fd);
      char text[INET_ADDRSTRLEN] = "?";
      ::inet_ntop(AF_INET, &from.sin_addr, text, sizeof text);
      news.refused.push_back(std::string(text) + ":" + std::to_string(ntohs(from.sin_port)));
      continue;
    }
    auto c = std::make_unique<TallyServer::Client>();
    c->fd = fd;
    loopWatch(*s.loop, fd, EPOLLIN, tagOf(s, fd));
    s.clients.push_back(std::move(c));
    news.clientsChanged = true;
  }
}

}  // namespace

bool tallyServerOpen(TallyServer& s, EventLoop& loop, uint64_t tagKind, const Listen& listen,
                     std::string& error) {
  s.loop = &loop;
  s.tagKind = tagKind;
  s.fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  const int one = 1;
  sockaddr_in at{};
  at.sin_family = AF_INET;
  at.sin_addr.s_addr = listen.host;
  at.sin_port = htons(listen.port);
  const char* failed = s.fd < 0 ? "socket()"
                       : ::setsockopt(s.fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one) != 0
                           ? "setsockopt()"
                       : ::bind(s.fd, reinterpret_cast<const sockaddr*>(&at), sizeof at) != 0
                           ? "bind()"
                       : ::listen(s.fd, 64) != 0 ? "listen()"
                                                 : nullptr;
  if (failed) {
    error = std::string(failed) + ": " + std::strerror(errno);
    tallyServerClose(s);
    return false;
  }
  loopWatch(loop, s.fd, EPOLLIN, tagOf(s, s.fd));
  return true;
}

void tallyServerEvent(TallyServer& s, int fd, uint32_t events, TallyServerNews& news) {
  if (fd == s.fd) return accept(s, news);
  auto it = std::find_if(s.clients.begin(), s.clients.end(),
                         [&](const auto& c) { return c->fd == fd; });
  if (it == s.clients.end()) return;
  TallyServer::Client& c = **it;
  bool keep = true;
  if (events & (EPOLLIN | EPOLLHUP | EPOLLERR)) {
    uint8_t buf[2048];
    for (;;) {
      const ssize_t n = ::recv(fd, buf, sizeof buf, 0);
      if (n > 0) {
        keep = vmixFeed(c.conversation, buf, static_cast<size_t>(n), s.digits, c.pending);
        if (!keep) break;
        continue;
      }
      if (n < 0 && errno == EINTR) continue;
      if (n == 0 || (errno != EAGAIN && errno != EWOULDBLOCK)) keep = false;
      break;
    }
  }
  // A line too long: its answers still go, as far as the socket takes them at once.
  if (!flush(s, c) || !keep) drop(s, &c, news);
}

void tallyServerPublish(TallyServer& s, const std::string& digits, TallyServerNews& news) {
  s.digits = digits;
  for (size_t i = 0; i < s.clients.size();) {
    TallyServer::Client& c = *s.clients[i];
    vmixChanged(c.conversation, digits, c.pending);
    if (flush(s, c)) {
      ++i;
    } else {
      drop(s, &c, news);
    }
  }
}

void tallyServerClose(TallyServer& s) {
  for (auto& c : s.clients) ::close(c->fd);
  s.clients.clear();
  if (s.fd >= 0) ::close(s.fd);
  s.fd = -1;
}
