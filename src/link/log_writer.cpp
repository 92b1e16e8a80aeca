#include "link/log_writer.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "base/clock.h"

static void setNonBlocking(int fd) {
  if (isatty(fd)) return;
  int flags = fcntl(fd, F_GETFL);
  if (flags >= 0) fcntl(fd, F_SETFL, flags | O_NONBLOCK);
}

void logWriterOpen(LogWriter& w, int outFd, int errFd) {
  if (!w.write) w.write = ::write;
  w.out.fd = outFd;
  w.err.fd = errFd;
  struct stat a, b;
  w.shared = fstat(outFd, &a) == 0 && fstat(errFd, &b) == 0 && a.st_dev == b.st_dev &&
             a.st_ino == b.st_ino;
  setNonBlocking(outFd);
  if (!w.shared) setNonBlocking(errFd);
}

void logWriterAdd(LogWriter& w, const LogLine& line) {
  LogStream& s = tagIsError(line.tag) && !w.shared ? w.err : w.out;
  std::string text = formatLine(line);
  text += '\n';
  if (!s.pending.empty() && s.pending.size() + text.size() > w.capacity) {
    ++w.dropped;
    return;
  }
  s.pending += text;
}

void logWriterAddAll(LogWriter& w, LogLines& lines) {
  for (const LogLine& l : lines) logWriterAdd(w, l);
  lines.clear();
}

// Writes what `s`'s descriptor takes now; true when all of it went.
static bool flushStream(LogWriter& w, LogStream& s) {
  size_t done = 0;
  while (done < s.pending.size()) {
    ssize_t n = w.write(s.fd, s.pending.data() + done, s.pending.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) break;
    if (n <= 0) {  // a descriptor that fails for good: nothing more can be said there
      done = s.pending.size();
      break;
    }
    done += static_cast<size_t>(n);
  }
  s.pending.erase(0, done);
  return s.pending.empty();
}

bool logWriterFlush(LogWriter& w) {
  int saved = errno;
  const bool outDone = flushStream(w, w.out);
  bool drained = flushStream(w, w.err) && outDone;
  if (drained && w.dropped > 0) {
    const uint64_t n = w.dropped;
    w.dropped = 0;
    logWriterAdd(w, {Tag::WARN, std::to_string(n) + (n == 1 ? " log line dropped"
                                                            : " log lines dropped")});
    drained = flushStream(w, w.err) && flushStream(w, w.out);
  }
  errno = saved;
  return drained;
}

void logWriterDrain(LogWriter& w, int timeoutMs) {
  const int64_t end = monotonicNs() + int64_t{timeoutMs} * kNsPerMs;
  while (!logWriterFlush(w)) {
    const int64_t left = (end - monotonicNs()) / kNsPerMs;
    if (left <= 0) return;
    pollfd p[2] = {{w.out.fd, 0, 0}, {w.err.fd, 0, 0}};
    if (logStreamWaiting(w.out)) p[0].events = POLLOUT;
    if (logStreamWaiting(w.err)) p[1].events = POLLOUT;
    poll(p, 2, static_cast<int>(left));
  }
}
