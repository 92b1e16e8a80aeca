// What the simulators and the watcher share: their clocks, the quoting of their output lines and
// the stop signals.
#pragma once

#include <netinet/in.h>

#include <cstdint>
#include <string>

namespace quorvel_sim {

// Microseconds of the monotonic clock.
int64_t steadyUs();
// The time of day, "14:03:07.250", for the start of a text line.
std::string wallClock();
// Any bytes as a JSON string: quotes and backslashes escaped, control and non-ASCII bytes as
// \u00NN (read as Latin-1), so that the line stays valid UTF-8 whatever was received.
std::string jsonString(const std::string& s);
// True for an address in 127.0.0.0/8: the tools send and listen nowhere else.
bool isLoopback(const sockaddr_in& a);
// SIGINT and SIGTERM end the tool's loop (stopRequested turns true); SIGPIPE is ignored.
void catchStopSignals();
bool stopRequested();

}  // namespace quorvel_sim
