// One TSL output's socket. Over UDP a socket connected to the receiver: each message or packet
// is one datagram, sent at once. Over TCP a connection made without blocking: what is to be sent
// waits in a buffer while the receiver is slow, and a receiver that lets it pass kTslMaxPending
// is dropped; a connection that fails or is lost is made again after 1 s, then twice as long each
// time it fails again, up to 30 s. Nothing here makes the switcher or a camera wait.
#pragma once

#include <netinet/in.h>

#include <cstdint>
#include <string>
#include <vector>

#include "base/bytes.h"
#include "config/config.h"

constexpr size_t kTslMaxPending = 64 * 1024;
constexpr int64_t kTslRetryFirstNs = 1000 * kNsPerMs;
constexpr int64_t kTslRetryMostNs = 30'000 * kNsPerMs;

struct TslLink {
  const TslConfig* config = nullptr;
  sockaddr_in to{};
  int fd = -1;
  bool connecting = false;  // TCP: connect() under way
  bool up = false;          // UDP: open; TCP: connected
  std::string pending;      // TCP: bytes the receiver has not taken yet
  int64_t retryAtNs = INT64_MAX;
  int64_t retryDelayNs = 0;
};

// What happened to the link: nothing, the connection is made, or it is lost (`why`).
struct TslChange {
  enum Kind { NONE, UP, DOWN } kind = NONE;
  std::string why;  // "connect() failed: Connection refused", "the receiver stopped reading"
};

// Opens the socket (UDP) or starts the connection (TCP).
TslChange tslLinkOpen(TslLink& link, const TslConfig& config, int64_t now);
// Sends `packets` in order. UDP: false with `why` when a send failed (the rest are still tried).
TslChange tslLinkSend(TslLink& link, const std::vector<Bytes>& packets, int64_t now,
                      std::string& why);
// The socket is ready (`events` from epoll): a connection made or refused, room to write,
// the receiver gone.
TslChange tslLinkReady(TslLink& link, uint32_t events, int64_t now);
// The retry is due: a new connection.
TslChange tslLinkTick(TslLink& link, int64_t now);
// The epoll events the socket waits for (0: none to watch).
uint32_t tslLinkEvents(const TslLink& link);
void tslLinkClose(TslLink& link);
