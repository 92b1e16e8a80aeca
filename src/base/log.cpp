#include "base/log.h"

#include <unistd.h>

#include <cerrno>

std::string printable(const std::string& text) {
  std::string out;
  for (unsigned char c : text) {
    if (c >= 0x20 && c != 0x7F) {
      out += static_cast<char>(c);
    } else if (c == '\n') {
      out += "\\n";
    } else if (c == '\t') {
      out += "\\t";
    } else {
      static const char kDigits[] = "0123456789abcdef";
      out += "\\x";
      out += kDigits[c >> 4];
      out += kDigits[c & 0xF];
    }
  }
  return out;
}

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

void flushLines(LogLines& lines) {
  for (const LogLine& l : lines) writeLine(l.error ? STDERR_FILENO : STDOUT_FILENO, l.text);
  lines.clear();
}
