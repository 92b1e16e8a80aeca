#include "app/tally.h"

#include "config/config.h"

std::string tallyStateToString(TallyState state) {
  switch (state) {
    case OFF: return "OFF";
    case PREVIEW: return "PREVIEW";
    case PROGRAM: return "PROGRAM";
  }
  return "UNKNOWN";
}

TallyState deriveTally(const Config& config, const int16_t* programInput,
                       const int16_t* previewInput) {
  int32_t program = -1;
  int32_t preview = -1;
  if (static_cast<uint32_t>(config.me_index) <= 3) {
    program = programInput[config.me_index];
    preview = previewInput[config.me_index];
  }
  if (program == config.watch_input_id) return PROGRAM;
  if (preview == config.watch_input_id) return PREVIEW;
  return OFF;
}

void tallyGateStart(TallyGate& gate, TallyState state, int64_t now) {
  gate.lastSent = state;
  gate.deadline = now;
}

bool tallyGateTake(TallyGate& gate, TallyState derived, int64_t now) {
  if (now < gate.deadline || derived == gate.lastSent) return false;
  gate.lastSent = derived;
  gate.deadline = now + kTallyHoldOffNs;
  return true;
}
