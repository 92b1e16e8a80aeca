#include "tally/tally.h"
#include "base/hot.h"

#include <algorithm>

std::string tallyStateToString(TallyState state) {
  switch (state) {
    case OFF: return "OFF";
    case PREVIEW: return "PREVIEW";
    case PROGRAM: return "PROGRAM";
  }
  return "UNKNOWN";
}

QUORVEL_HOT Tally deriveTally(const Watch& watch, const AtemTables& tables) {
  if (watch.from == TallySource::SWITCHER && tables.tallyListSeen && watch.source >= 0 &&
      watch.source <= 0xFFFF) {
    uint8_t flags = tallyFlags(tables, static_cast<uint16_t>(watch.source));
    if (flags & kTallyFlagProgram) return {PROGRAM, TallyReason::LIST_PROGRAM};
    if (flags & kTallyFlagPreview) return {PREVIEW, TallyReason::LIST_PREVIEW};
    return {OFF, TallyReason::NOT_IN_LIST};
  }
  int32_t program = -1;
  int32_t preview = -1;
  if (static_cast<uint32_t>(watch.me) <= 3) {
    program = tables.programInput[watch.me];
    preview = tables.previewInput[watch.me];
  }
  if (program == watch.source) return {PROGRAM, TallyReason::PROGRAM_BUS};
  if (preview == watch.source) return {PREVIEW, TallyReason::PREVIEW_BUS};
  return {OFF, TallyReason::NOT_ON_BUSES};
}

void tallyGateStart(TallyGate& gate, TallyState state, int64_t now) {
  gate.lastSent = state;
  gate.deadline = now;
}

QUORVEL_HOT bool tallyGateTake(TallyGate& gate, TallyState derived, int64_t now) {
  if (now < gate.deadline || derived == gate.lastSent) return false;
  gate.lastSent = derived;
  gate.deadline = now + kTallyHoldOffNs;
  return true;
}

QUORVEL_HOT Dispatch scheduleSend(CameraSchedule& s, TallyState state, bool change, int64_t now) {
  if (s.running) {
    s.hasPending = true;
    s.pending = state;
    s.pendingChange = change;
    return {};
  }
  s.running = true;
  s.runningChange = change;
  s.lastStartNs = now;
  return {true, state, change};
}

Dispatch scheduleStart(CameraSchedule& s, TallyState state, int64_t now) {
  s.started = true;
  tallyGateStart(s.gate, state, now);
  return scheduleSend(s, state, true, now);
}

QUORVEL_HOT Dispatch scheduleDerived(CameraSchedule& s, TallyState derived, int64_t now) {
  if (!s.started || !tallyGateTake(s.gate, derived, now)) return {};
  return scheduleSend(s, derived, true, now);
}

Dispatch scheduleRefresh(CameraSchedule& s, TallyState derived, int64_t refreshNs, int64_t now) {
  if (!s.started || refreshNs <= 0 || s.running || s.hasPending || derived != s.gate.lastSent ||
      now < s.lastStartNs + refreshNs)
    return {};
  return scheduleSend(s, s.gate.lastSent, false, now);
}

QUORVEL_HOT Dispatch scheduleDone(CameraSchedule& s, bool delivered, int64_t now) {
  s.running = false;
  if (delivered) {
    s.retryDelayNs = 0;
  } else {
    s.retryDelayNs = s.retryDelayNs ? std::min(2 * s.retryDelayNs, kRetryMostNs) : kRetryFirstNs;
    s.retryAtNs = now + s.retryDelayNs;
    s.retryChange = s.runningChange;
  }
  if (!s.hasPending) return {};
  s.hasPending = false;
  return scheduleSend(s, s.pending, s.pendingChange, now);
}

Dispatch scheduleRetry(CameraSchedule& s, int64_t now) {
  if (!s.started || s.retryDelayNs == 0 || s.running || s.hasPending || now < s.retryAtNs)
    return {};
  return scheduleSend(s, s.gate.lastSent, s.retryChange, now);
}

void scheduleAbandon(CameraSchedule& s) {
  s.running = false;
  s.hasPending = false;
  s.retryDelayNs = 0;
}

int64_t scheduleDeadline(const CameraSchedule& s, TallyState derived, int64_t refreshNs,
                         bool retries) {
  int64_t next = INT64_MAX;
  if (!s.started) return next;
  if (derived != s.gate.lastSent) next = s.gate.deadline;
  const bool idle = !s.running && !s.hasPending;
  if (refreshNs > 0 && idle && derived == s.gate.lastSent)
    next = std::min(next, s.lastStartNs + refreshNs);
  if (retries && idle && s.retryDelayNs > 0) next = std::min(next, s.retryAtNs);
  return next;
}
