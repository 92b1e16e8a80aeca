// The bridge run: everything the program does once its configuration is loaded.
#pragma once

#include <string>

#include "config/config.h"

// Opens the switcher session, waits for it, settles and warms up, sends every camera its initial
// tally and then every change (at most one per 50 ms per camera), refreshes lamps that ask for
// it, re-reads `path` on SIGHUP, and on SIGINT or SIGTERM sends every camera OFF. Returns the exit
// status: 0 after an orderly stop, 1 when the session cannot be started (nothing is sent to a
// camera then).
int runBridge(const Config& config, const std::string& path);
