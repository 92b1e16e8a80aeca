#include "app/log.h"

#include <unistd.h>

#include <cerrno>
#include <cstring>

void writeAll(int fd, const char* data, size_t size) {
  while (size > 0) {
    ssize_t n = ::write(fd, data, size);
    if (n < 0) {
      if (errno == EINTR) continue;
      return;
    }
    data += n;
    size -= static_cast<size_t>(n);
  }
}

static void writeLine(int fd, const std::string& line) {
  std::string whole;
  whole.reserve(line.size() + 1);
  whole += line;
  whole += '\n';
  int saved = errno;
  writeAll(fd, whole.data(), whole.size());
  errno = saved;
}

void logOut(const std::string& line) { writeLine(STDOUT_FILENO, line); }

void logErr(const std::string& line) { writeLine(STDERR_FILENO, line); }

void logErrno(const std::string& prefix) { logErr(prefix + std::strerror(errno)); }
