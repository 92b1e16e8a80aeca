// The bridge run: everything the program does once its configuration is loaded.
#pragma once

#include <cstdint>

struct Config;

// Builds the camera commands, opens the switcher session, waits for it, warms up, sends the
// initial tally and then every change (at most one per 50 ms) until `running` is cleared; then
// sends OFF. Returns the exit status: 0 after an orderly stop, 1 when the command texts do not
// convert or the session cannot be started (nothing is sent to the camera then).
int runBridge(const Config& config);

// Sleeps `ms` milliseconds; a signal does not shorten the sleep.
void sleepMs(int ms);

// The monotonic clock in nanoseconds.
int64_t monotonicNs();
