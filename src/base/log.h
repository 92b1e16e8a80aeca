// Log lines. Every line the program writes is a tag and a text, and formatLine is the one place
// that puts them together: "[ERR][UDP] " + text. Lower layers never write: they hand LogLines up,
// or return what failed for the layer above to word.
//
// Lines whose tag is an error or a warning go to standard error, the others to standard output.
// Each line is handed to the kernel whole, in one write, so it is never split by another line.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

enum class Tag {
  NONE,      // no tag: --check's report, an empty line
  INFO,      // "[INFO]"
  OK,        // "[OK]"
  ATEM,      // "[ATEM]"
  TALLY,     // "[TALLY]"
  SEND_TCP,  // "[SEND][TCP]"
  ERR,       // "[ERR]"
  ERR_UDP,   // "[ERR][UDP]"
  ERR_TCP,   // "[ERR][TCP]"
  ERR_HTTP,  // "[ERR][HTTP]"
  WARN,      // "[WARN]"
};

struct LogLine {
  Tag tag = Tag::NONE;
  std::string text;
};
using LogLines = std::vector<LogLine>;

// True for the tags of standard error.
bool tagIsError(Tag tag);
// The whole line, tag and text (made printable), without the newline.
std::string formatLine(const LogLine& line);

inline void addLine(LogLines& lines, Tag tag, std::string text) {
  lines.push_back({tag, std::move(text)});
}

// `text` as it may stand in a log line: control bytes (a line feed, say) are written as \n,
// \t or \xNN, so that a line quoting a file's text stays one line.
std::string printable(const std::string& text);

// Lines about something that can come in a flood (datagrams from strangers, a camera's error
// answers, requests to open again): the first is written at once, then at most one per period,
// saying how many were left out meanwhile.
struct LineLimit {
  uint64_t count = 0;    // every occurrence
  uint64_t leftOut = 0;  // since the last line
  bool written = false;
  int64_t lastNs = 0;
};
// Counts one occurrence at `now`; true when its line is due, with `leftOut` set to the number of
// occurrences left out since the line before.
bool lineDue(LineLimit& limit, int64_t now, int64_t periodNs, uint64_t& leftOut);

// Writes one line at once, to the stream of its tag.
void writeLine(Tag tag, const std::string& text);
// Writes every line in order and empties the list.
void writeLines(LogLines& lines);
// Writes all of `data` to descriptor `fd`, retrying after interruptions.
void writeAll(int fd, const char* data, size_t size);
