// Delivery of tally commands to the camera. Best effort and one-way: nothing is ever read back.
// Each attempt opens its own socket and closes it before the next attempt.
#pragma once

#include <string>

#include "app/tally.h"
#include "config/config.h"
#include "visca/visca_bytes.h"

struct ViscaSender {
  std::string host;          // camera IPv4 address; a non-IPv4 text means 0.0.0.0
  int32_t port = 0;          // low 16 bits are the port number
  std::string bindSourceIp;  // empty: UDP sockets stay unbound
  bool tryPrefix = false;
  bool tryTcp = false;

  // One datagram to host:port. True when more than 0 bytes were handed to the network.
  bool sendUdp(const Bytes& bytes) const;
  // One connection, one send (1.5 s time-outs), then close. True when at least one byte went.
  bool sendTcp(const Bytes& bytes) const;
};

ViscaSender makeViscaSender(const Config& config);

// Sends the command for `state` by the configured ladder: for the configured command, then (with
// compat_try_both_ops) its scheme-A twin: UDP, UDP with prefix, TCP, TCP with prefix, skipping
// what the flags switch off. Stops at the first success. False, with a "[WARN]" line, when every
// attempt failed. States other than PROGRAM and PREVIEW send the off command.
bool sendTallyState(const CommandSet& commands, const Config& config, const ViscaSender& sender,
                    TallyState state);
