#include "link/notify.h"

#include <unistd.h>

#include <cstddef>
#include <cstdlib>
#include <cstring>

#include "base/clock.h"

void notifyOpen(Notifier& n, int64_t now) {
  const char* path = std::getenv("NOTIFY_SOCKET");
  if (path == nullptr || (path[0] != '/' && path[0] != '@')) return;
  size_t len = std::strlen(path);
  if (len >= sizeof n.addr.sun_path) return;
  n.addr = sockaddr_un{};
  n.addr.sun_family = AF_UNIX;
  std::memcpy(n.addr.sun_path, path, len);
  if (path[0] == '@') n.addr.sun_path[0] = '\0';
  n.addrLen = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + len);
  n.fd = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);

  const char* usec = std::getenv("WATCHDOG_USEC");
  const char* pid = std::getenv("WATCHDOG_PID");
  if (usec != nullptr && (pid == nullptr || std::atol(pid) == static_cast<long>(::getpid()))) {
    long long every = std::atoll(usec);
    if (every > 0) {
      n.watchdogEveryNs = every * 1000 / 2;
      n.nextWatchdogNs = now;
    }
  }
}

void notifyClose(Notifier& n) {
  if (n.fd >= 0) ::close(n.fd);
  n.fd = -1;
}

void notifySend(Notifier& n, const std::string& text) {
  if (n.fd < 0) return;
  ::sendto(n.fd, text.data(), text.size(), MSG_NOSIGNAL, reinterpret_cast<const sockaddr*>(&n.addr),
           n.addrLen);
}

void notifyStatus(Notifier& n, const std::string& status) {
  if (n.fd < 0 || status == n.status) return;
  n.status = status;
  notifySend(n, "STATUS=" + status);
}

void notifyWatchdog(Notifier& n, int64_t now) {
  if (n.fd < 0 || n.watchdogEveryNs == 0 || now < n.nextWatchdogNs) return;
  notifySend(n, "WATCHDOG=1");
  n.nextWatchdogNs = now + n.watchdogEveryNs;
}

int64_t notifyDeadline(const Notifier& n) {
  return n.fd >= 0 && n.watchdogEveryNs > 0 ? n.nextWatchdogNs : INT64_MAX;
}
