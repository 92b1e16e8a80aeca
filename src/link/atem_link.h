// The switcher's socket: one UDP socket, neither bound nor connected (the system picks the local
// port at the first send), every packet sent to the switcher's address, port 9910.
#pragma once

#include <netinet/in.h>

#include <cstdint>
#include <string>

#include "atem/atem_session.h"

struct AtemLink {
  int fd = -1;
  sockaddr_in addr{};
  sockaddr_in from{};  // sender of the last datagram received
  uint8_t rx[kAtemMaxDatagram];
  uint8_t tx[kAtemHelloSize];
};

// Opens the non-blocking socket for the dotted-quad address `ip`. False, with "Invalid ATEM IP:
// <ip>" or "socket() failed: <reason>" in `error` and no socket left open, on failure.
bool atemLinkOpen(AtemLink& link, const std::string& ip, std::string& error);
void atemLinkClose(AtemLink& link);

// Receives one datagram into `rx`: its size, or -1 when none is waiting. `from` holds its sender.
long atemLinkReceive(AtemLink& link);
// True when the last datagram came from the switcher's address and port.
bool atemLinkFromSwitcher(const AtemLink& link);
// "IP:PORT" of the last datagram's sender.
std::string atemLinkSender(const AtemLink& link);

// Sends what `step` asks for: a hello (fresh random value) and/or an acknowledgement with the
// session's id. False with "sendto failed: <reason>" in `error` when a send fails.
bool atemLinkSend(AtemLink& link, const AtemStep& step, uint16_t sessionId, std::string& error);
