// The order in which a tally command is tried until one means gets the bytes out of the box:
// for the command as configured, then (with compat_try_both_ops) its scheme-A twin,
//   UDP, UDP behind the prefix (compat_try_prefix), TCP (compat_try_tcp), TCP behind the prefix.
// A UDP rung counts as done once the datagram leaves; a TCP rung once a byte is sent.
#pragma once

#include "config/config.h"
#include "tally/tally.h"
#include "visca/visca_bytes.h"

constexpr int kMaxRungs = 8;

struct Rung {
  bool tcp = false;
  const Bytes* bytes = nullptr;  // into the camera's CommandSet
};

struct Ladder {
  TallyState state = OFF;
  Rung rungs[kMaxRungs];
  int count = 0;
};

// The rungs for `state` (anything but PROGRAM and PREVIEW takes the off commands).
Ladder buildLadder(const CommandSet& commands, const CameraConfig& camera, TallyState state);
