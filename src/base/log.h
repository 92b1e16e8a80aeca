// Log lines. Every line is handed to the kernel whole, in one write, so it is never split by
// another line nor held in a buffer.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

// Writes `line` and a newline to standard output.
void logOut(const std::string& line);
// Writes `line` and a newline to standard error.
void logErr(const std::string& line);
// `text` as it may stand in a log line: control bytes (a line feed, say) are written as \n,
// \t or \xNN, so that a line quoting a file's text stays one line.
std::string printable(const std::string& text);
// Writes all of `data` to descriptor `fd`, retrying after interruptions.
void writeAll(int fd, const char* data, size_t size);

// Lines that a lower layer hands up for the driver to write, in order. Only failures and rare
// events produce them, so the path of a healthy delivery allocates nothing.
struct LogLine {
  bool error;  // standard error; else standard output
  std::string text;
};
using LogLines = std::vector<LogLine>;

inline void addOut(LogLines& lines, std::string text) { lines.push_back({false, std::move(text)}); }
inline void addErr(LogLines& lines, std::string text) { lines.push_back({true, std::move(text)}); }
// Writes every line in order and empties the list.
void flushLines(LogLines& lines);
