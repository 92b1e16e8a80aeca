#include "app/signals.h"

#include <signal.h>
#include <unistd.h>

#include "app/log.h"

std::atomic<bool> running{true};

void signalHandler(int signum) {
  // Built by hand: nothing here may allocate or touch a buffered stream.
  char line[64] = "\n[INFO] Caught signal ";
  size_t n = sizeof("\n[INFO] Caught signal ") - 1;
  char digits[12];
  size_t d = 0;
  unsigned value = signum < 0 ? 0u - static_cast<unsigned>(signum) : static_cast<unsigned>(signum);
  do {
    digits[d++] = static_cast<char>('0' + value % 10);
    value /= 10;
  } while (value != 0);
  if (signum < 0) line[n++] = '-';
  while (d > 0) line[n++] = digits[--d];
  const char tail[] = ", shutting down...\n";
  for (size_t i = 0; i < sizeof(tail) - 1; ++i) line[n++] = tail[i];
  writeAll(STDOUT_FILENO, line, n);
  running.store(false);
}

void installSignalHandlers() {
  signal(SIGINT, signalHandler);
  signal(SIGTERM, signalHandler);
  signal(SIGPIPE, SIG_IGN);
}
