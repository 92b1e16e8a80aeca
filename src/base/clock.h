// Time as the bridge sees it: readings of the monotonic clock in nanoseconds. Every timing rule
// (hold-off, silence, refresh, time-outs) takes the reading as an argument, so tests pass their
// own numbers instead of sleeping.
#pragma once

#include <cstdint>

constexpr int64_t kNsPerMs = 1'000'000;

// The monotonic clock, in nanoseconds.
int64_t monotonicNs();
