// The log without ever blocking the loop. Lines go into a bounded buffer per stream and are
// written when the descriptor takes them: a log reader that stops reading (a full pipe, journald
// pushing back) must never stop the acknowledgements to the switcher or the lamps. When a buffer
// is full, lines are dropped and counted, and once it has drained one "[WARN] N log lines
// dropped" says so.
//
// Standard output and error are made non-blocking unless they are a terminal (whose flags the
// shell shares). When both are the same file (2>&1, the journal's stream) one buffer serves both,
// so that their lines keep their order and a line is never cut by another.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <string>

#include "base/log.h"

constexpr size_t kLogBufferBytes = 64 * 1024;

struct LogStream {
  int fd = -1;
  std::string pending;  // whole lines, the first perhaps written in part
};

struct LogWriter {
  LogStream out, err;
  bool shared = false;  // both descriptors are one file: everything goes through `out`
  uint64_t dropped = 0;
  size_t capacity = kLogBufferBytes;
  // The one write call, so that tests can play a descriptor that refuses.
  ssize_t (*write)(int fd, const void* data, size_t size) = nullptr;
};

// Takes standard output and error (or `outFd`, `errFd`).
void logWriterOpen(LogWriter& w, int outFd = 1, int errFd = 2);
// Adds one line, or drops it when its buffer is full (a line larger than the whole buffer goes
// only into an empty one).
void logWriterAdd(LogWriter& w, const LogLine& line);
void logWriterAddAll(LogWriter& w, LogLines& lines);  // and empties `lines`
// Writes what the descriptors take now. True when nothing is left waiting.
bool logWriterFlush(LogWriter& w);
// True when `s` has bytes waiting: its descriptor is to be watched for room.
inline bool logStreamWaiting(const LogStream& s) { return !s.pending.empty(); }
// At the end: waits up to `timeoutMs` in all for the descriptors to take what is left.
void logWriterDrain(LogWriter& w, int timeoutMs);
