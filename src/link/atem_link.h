// The switcher's socket: one UDP socket connected to the switcher's address, port 9910 (the
// system picks the local port), so that only the switcher is heard. Until there is a route to
// the switcher it stays unconnected, and the connect is tried again before each send.
#pragma once

#include <netinet/in.h>

#include <cstdint>

#include "atem/atem_session.h"
#include "core/core.h"

struct AtemLink {
  int fd = -1;
  bool connected = false;
  sockaddr_in addr{};
  sockaddr_in from{};  // sender of the last datagram received
  uint8_t rx[kAtemMaxDatagram];
  uint8_t tx[kAtemHelloSize];
};

// Opens the non-blocking socket for the switcher at `host` (network order). False, with the
// failed call in `failure` and no socket left open, on failure.
bool atemLinkOpen(AtemLink& link, uint32_t host, LinkFailure& failure);
void atemLinkClose(AtemLink& link);

// Receives one datagram into `rx`: its size, or -1 when none is waiting (or an error, such as a
// refusal reported by the switcher's host, was read instead). `from` holds its sender.
long atemLinkReceive(AtemLink& link);
// True when the last datagram came from the switcher's address and port.
bool atemLinkFromSwitcher(const AtemLink& link);

// Sends what `out` asks for: the acknowledgement, then a hello (fresh random value). False with
// the failed call in `failure` when a send fails.
bool atemLinkSend(AtemLink& link, const CoreActions& out, LinkFailure& failure);
