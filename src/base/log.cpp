#include "base/log.h"

#include <unistd.h>

#include <cerrno>

bool tagIsError(Tag tag) {
  return tag == Tag::ERR || tag == Tag::ERR_UDP || tag == Tag::ERR_TCP || tag == Tag::ERR_HTTP ||
         tag == Tag::WARN;
}

static const char* tagText(Tag tag) {
  switch (tag) {
    case Tag::NONE: return "";
    case Tag::INFO: return "[INFO] ";
    case Tag::OK: return "[OK] ";
    case Tag::ATEM: return "[ATEM] ";
    case Tag::TALLY: return "[TALLY] ";
    case Tag::SEND_TCP: return "[SEND][TCP] ";
    case Tag::ERR: return "[ERR] ";
    case Tag::ERR_UDP: return "[ERR][UDP] ";
    case Tag::ERR_TCP: return "[ERR][TCP] ";
    case Tag::ERR_HTTP: return "[ERR][HTTP] ";
    case Tag::WARN: return "[WARN] ";
  }
  return "";
}

// Every line passes here, so whatever a line quotes from the file or the network (a camera's
// name, an address) can never forge another line: control bytes are written as escapes.
std::string formatLine(const LogLine& line) { return tagText(line.tag) + printable(line.text); }

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

void writeLine(Tag tag, const std::string& text) {
  std::string whole = formatLine({tag, text});
  whole += '\n';
  int saved = errno;
  writeAll(tagIsError(tag) ? STDERR_FILENO : STDOUT_FILENO, whole.data(), whole.size());
  errno = saved;
}

void writeLines(LogLines& lines) {
  for (const LogLine& l : lines) writeLine(l.tag, l.text);
  lines.clear();
}

bool lineDue(LineLimit& l, int64_t now, int64_t periodNs, uint64_t& leftOut) {
  ++l.count;
  if (l.written && now - l.lastNs < periodNs) {
    ++l.leftOut;
    return false;
  }
  leftOut = l.leftOut;
  l.leftOut = 0;
  l.written = true;
  l.lastNs = now;
  return true;
}
