// The stop flag and the handler that clears it on SIGINT and SIGTERM.
#pragma once

#include <atomic>

// True from the start of the process; cleared by the first stop signal and never set again.
extern std::atomic<bool> running;

// Writes "[INFO] Caught signal N, shutting down..." on its own line and clears `running`.
// Uses only write(2), so it cannot disturb a line the interrupted flow is writing.
void signalHandler(int signum);

// Installs signalHandler for SIGINT and SIGTERM, and ignores SIGPIPE so that a camera that
// closes its TCP connection makes a send fail instead of ending the process.
void installSignalHandlers();
