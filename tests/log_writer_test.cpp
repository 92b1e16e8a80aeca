#include "link/log_writer.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cerrno>

namespace {

// A descriptor that takes `room` bytes, then refuses (EAGAIN) until given more room.
size_t room = 0;
std::string taken;
ssize_t fakeWrite(int fd, const void* data, size_t size) {
  if (room == 0) {
    errno = EAGAIN;
    return -1;
  }
  size_t n = std::min(size, room);
  room -= n;
  taken += std::to_string(fd) + ":" + std::string(static_cast<const char*>(data), n);
  return static_cast<ssize_t>(n);
}

}  // namespace

// A reader that stops reading: lines wait in a bounded buffer, the rest are dropped and counted,
// and once the reader takes everything one line says how many were lost.
TEST(LogWriter, BoundedAndNeverBlocking) {
  int pipes[2][2];
  ASSERT_EQ(pipe(pipes[0]), 0);
  ASSERT_EQ(pipe(pipes[1]), 0);
  LogWriter w;
  w.write = fakeWrite;
  logWriterOpen(w, pipes[0][1], pipes[1][1]);
  EXPECT_FALSE(w.shared);
  w.capacity = 100;
  room = 10;
  taken.clear();
  const std::string forty(39, 'x');
  for (int i = 0; i < 5; ++i) logWriterAdd(w, {Tag::OK, forty});
  logWriterAdd(w, {Tag::ERR, "e"});
  EXPECT_FALSE(logWriterFlush(w));
  EXPECT_EQ(taken, std::to_string(pipes[0][1]) + ":[OK] xxxxx") << "what the reader took";
  EXPECT_EQ(w.dropped, 3u) << "two lines fit, the rest are dropped";
  room = 1000;
  taken.clear();
  EXPECT_TRUE(logWriterFlush(w));
  const std::string out = std::to_string(pipes[0][1]) + ":", err = std::to_string(pipes[1][1]) + ":";
  EXPECT_EQ(taken, out + std::string(34, 'x') + "\n[OK] " + forty + "\n" + err +
                       "[ERR] e\n" + err + "[WARN] 3 log lines dropped\n");
  // One line larger than the whole buffer still goes when the buffer is empty.
  logWriterAdd(w, {Tag::NONE, std::string(500, 'y')});
  EXPECT_TRUE(logWriterFlush(w));
  EXPECT_EQ(w.dropped, 0u);

  // Both streams on one pipe share one buffer, in the order the lines came.
  LogWriter s;
  logWriterOpen(s, pipes[0][1], pipes[0][1]);
  EXPECT_TRUE(s.shared);
  for (int fd : {pipes[0][0], pipes[0][1], pipes[1][0], pipes[1][1]}) close(fd);
}
