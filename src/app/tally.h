// The tally of the watched input, and the rule that decides when a change goes to the camera.
#pragma once

#include <cstdint>
#include <string>

struct Config;

enum TallyState : int { OFF = 0, PREVIEW = 1, PROGRAM = 2 };

// "OFF", "PREVIEW", "PROGRAM", or "UNKNOWN" for any other value.
std::string tallyStateToString(TallyState state);

// The state of `watch_input_id` on ME `me_index`, given the per-ME program and preview tables
// (four entries each, -1 where nothing was reported). An ME outside 0..3 reads as -1 on both
// buses. PROGRAM wins when the input is on both.
TallyState deriveTally(const Config& config, const int16_t* programInput,
                       const int16_t* previewInput);

// At most one change per hold-off goes to the camera. Readings are monotonic nanoseconds.
constexpr int64_t kTallyHoldOffNs = 50'000'000;

struct TallyGate {
  TallyState lastSent = OFF;
  int64_t deadline = 0;  // no change is taken before this reading
};

// Records the initial send of `state` at clock reading `now`: the next change may go at once.
void tallyGateStart(TallyGate& gate, TallyState state, int64_t now);

// True when the hold-off has passed at reading `now`, so the state is worth deriving.
inline bool tallyGateOpen(const TallyGate& gate, int64_t now) { return now >= gate.deadline; }

// Called with the state derived after reading `now`. Returns true when it is to be sent; it then
// counts as sent and the gate stays closed until now + kTallyHoldOffNs.
bool tallyGateTake(TallyGate& gate, TallyState derived, int64_t now);
