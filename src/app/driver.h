// The bridge run: the event loop around the core. It turns epoll events (the switcher's socket,
// the cameras' sockets, the signalfd) and deadlines into calls of the core, and the core's
// actions into system calls.
#pragma once

#include <string>

#include "config/config.h"

// Runs the bridge for `config`, read from `path` (read again on SIGHUP), until a stop signal has
// had every camera sent OFF. Returns the exit status: 0 after an orderly stop, 1 when the session
// cannot be started (nothing is sent to a camera then).
// `openFileLimit`: what a reload may need at most.
int runBridge(const Config& config, const std::string& path, uint64_t openFileLimit);
