// Log lines. Every line is handed to the kernel whole, in one write, and is therefore never
// split by a line that the signal handler writes at the same moment, nor held in a buffer.
#pragma once

#include <string>

// Writes `line` and a newline to standard output.
void logOut(const std::string& line);
// Writes `line` and a newline to standard error.
void logErr(const std::string& line);
// Writes `prefix`, the text for the current errno and a newline to standard error.
void logErrno(const std::string& prefix);
// Writes all of `data` to descriptor `fd`, retrying after interruptions. Safe in a signal handler.
void writeAll(int fd, const char* data, size_t size);
