// The one event loop: epoll over the switcher socket, the camera sockets and a signalfd for the
// stop and reload signals, sleeping until something is readable or writable, a signal comes or
// the nearest deadline is due. There is no periodic wake-up.
#pragma once

#include <sys/epoll.h>

#include <cstdint>
#include <string>

struct EventLoop {
  int epoll = -1;
  int signals = -1;  // signalfd for SIGINT, SIGTERM and SIGHUP
};

// The tag of the signalfd's events.
constexpr uint64_t kSignalTag = ~0ull;

// Blocks SIGINT, SIGTERM and SIGHUP (they are read from the signalfd instead), ignores SIGPIPE
// and opens the epoll instance. False with the reason in `error`.
bool loopOpen(EventLoop& loop, std::string& error);
void loopClose(EventLoop& loop);

// Watches `fd` for `events` (EPOLLIN, EPOLLOUT); its events come back with `tag`. Watching an fd
// again changes its events and tag. A closed fd is forgotten by the kernel.
bool loopWatch(EventLoop& loop, int fd, uint32_t events, uint64_t tag);

// Stops watching `fd`.
void loopUnwatch(EventLoop& loop, int fd);

// Sleeps until an event or the reading `deadlineNs` (INT64_MAX: no deadline); returns the number
// of events stored in `out`.
int loopWait(EventLoop& loop, int64_t deadlineNs, epoll_event* out, int max);

// The next pending stop or reload signal, 0 when none is pending.
int loopTakeSignal(EventLoop& loop);
