#include "link/event_loop.h"

#include <signal.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <cerrno>
#include <algorithm>
#include <climits>
#include <cstring>

#include "base/clock.h"

bool loopOpen(EventLoop& loop, std::string& error) {
  // A camera that closes its TCP connection must make a send fail, not end the process.
  signal(SIGPIPE, SIG_IGN);
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGINT);
  sigaddset(&set, SIGTERM);
  sigaddset(&set, SIGHUP);
  if (sigprocmask(SIG_BLOCK, &set, nullptr) != 0) return error = std::strerror(errno), false;
  loop.signals = signalfd(-1, &set, SFD_NONBLOCK | SFD_CLOEXEC);
  loop.epoll = epoll_create1(EPOLL_CLOEXEC);
  if (loop.signals < 0 || loop.epoll < 0) {
    error = std::strerror(errno);
    loopClose(loop);
    return false;
  }
  if (loopWatch(loop, loop.signals, EPOLLIN, kSignalTag)) return true;
  error = std::strerror(errno);
  loopClose(loop);
  return false;
}

void loopClose(EventLoop& loop) {
  if (loop.epoll >= 0) ::close(loop.epoll);
  if (loop.signals >= 0) ::close(loop.signals);
  loop.epoll = loop.signals = -1;
}

bool loopWatch(EventLoop& loop, int fd, uint32_t events, uint64_t tag) {
  epoll_event e{};
  e.events = events;
  e.data.u64 = tag;
  if (epoll_ctl(loop.epoll, EPOLL_CTL_ADD, fd, &e) == 0) return true;
  return errno == EEXIST && epoll_ctl(loop.epoll, EPOLL_CTL_MOD, fd, &e) == 0;
}

void loopUnwatch(EventLoop& loop, int fd) { epoll_ctl(loop.epoll, EPOLL_CTL_DEL, fd, nullptr); }

int loopWait(EventLoop& loop, int64_t deadlineNs, epoll_event* out, int max) {
  int timeoutMs = -1;
  if (deadlineNs != INT64_MAX) {
    int64_t left = deadlineNs - monotonicNs();
    // Rounded up, so the loop never wakes before a deadline and spins.
    timeoutMs =
        left <= 0 ? 0
                  : static_cast<int>(std::min<int64_t>((left + kNsPerMs - 1) / kNsPerMs, INT_MAX));
  }
  int n = epoll_wait(loop.epoll, out, max, timeoutMs);
  return n < 0 ? 0 : n;
}

int loopTakeSignal(EventLoop& loop) {
  signalfd_siginfo info;
  ssize_t n = ::read(loop.signals, &info, sizeof info);
  return n == static_cast<ssize_t>(sizeof info) ? static_cast<int>(info.ssi_signo) : 0;
}
