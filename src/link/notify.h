// systemd's notification protocol: datagrams of "KEY=value" lines to the AF_UNIX socket named by
// $NOTIFY_SOCKET (a leading '@' names an abstract socket). Without the variable nothing is sent.
// The watchdog asks for "WATCHDOG=1" at least every $WATCHDOG_USEC (for this process when
// $WATCHDOG_PID names it or is unset); the bridge sends it at half that interval.
#pragma once

#include <sys/socket.h>
#include <sys/un.h>

#include <cstdint>
#include <string>

struct Notifier {
  int fd = -1;
  sockaddr_un addr{};
  socklen_t addrLen = 0;
  int64_t watchdogEveryNs = 0;  // 0: no watchdog
  int64_t nextWatchdogNs = 0;
  std::string status;  // the last STATUS= sent
};

// Reads the environment. A variable that is set but unusable leaves notification off.
void notifyOpen(Notifier& n, int64_t now);
void notifyClose(Notifier& n);
// Sends `text` ("READY=1", "STOPPING=1", ...) when notification is on.
void notifySend(Notifier& n, const std::string& text);
// Sends "STATUS=<status>" when it differs from the last one sent.
void notifyStatus(Notifier& n, const std::string& status);
// Sends "WATCHDOG=1" when due at `now`.
void notifyWatchdog(Notifier& n, int64_t now);
// The next reading at which a watchdog message is due (INT64_MAX: none).
int64_t notifyDeadline(const Notifier& n);
