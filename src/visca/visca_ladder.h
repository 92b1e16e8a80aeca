// The order in which a tally command is tried until one means gets the bytes out of the box:
// for the command as configured, then (with `bothOps`) its scheme-A twin,
//   UDP, UDP behind the prefix (`prefix`), TCP (`tcp`), TCP behind the prefix;
// or, for a camera that listens on TCP only (`tcpFirst`),
//   TCP, TCP behind the prefix, UDP, UDP behind the prefix.
// With `framed` every plain UDP rung goes behind the VISCA-over-IP header (visca_bytes.h).
// A UDP rung counts as done once the datagram leaves; a TCP rung once a byte is sent.
#pragma once

#include "visca/visca_bytes.h"

constexpr int kMaxRungs = 8;

// Which fallbacks a camera's ladder climbs.
struct LadderFlags {
  bool prefix = true;
  bool tcp = true;
  bool bothOps = true;
  bool tcpFirst = false;
  bool framed = false;  // UDP datagrams behind the VISCA-over-IP header (sony-ip framing)
};

struct Rung {
  bool tcp = false;
  bool framed = false;           // behind the VISCA-over-IP header, with the camera's sequence
  const Bytes* bytes = nullptr;  // into the camera's CommandForms
};

struct Ladder {
  Rung rungs[kMaxRungs];
  int count = 0;
};

// The rungs for one command's forms.
Ladder buildLadder(const CommandForms& forms, LadderFlags flags);
