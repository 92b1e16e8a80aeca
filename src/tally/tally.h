// The tally of a watched source, and the rules that decide when a camera is sent its state:
// at most one change per hold-off, one delivery at a time with the newest decision waiting, and
// refreshes of a lamp that would otherwise go dark on its own. Pure: clock readings come in as
// arguments (nanoseconds of the monotonic clock).
#pragma once

#include <cstdint>
#include <string>

#include "atem/atem_commands.h"
#include "base/clock.h"

enum TallyState : int { OFF = 0, PREVIEW = 1, PROGRAM = 2 };
constexpr int kTallyStates = 3;

// Where a watched source's tally is read: the buses of one M/E, or the switcher's tally list.
enum class TallySource { BUSES, SWITCHER };

// What one lamp follows.
struct Watch {
  int32_t me = 0;      // M/E whose buses decide with BUSES; outside 0..3 nothing lights
  int32_t source = 1;  // the switcher's source id
  TallySource from = TallySource::BUSES;
};

// "OFF", "PREVIEW", "PROGRAM", or "UNKNOWN" for any other value.
std::string tallyStateToString(TallyState state);

// Where a derived state comes from, for the change log.
enum class TallyReason {
  PROGRAM_BUS,
  PREVIEW_BUS,
  NOT_ON_BUSES,
  LIST_PROGRAM,
  LIST_PREVIEW,
  NOT_IN_LIST,
  SWITCHER_LOST,  // dark while the switcher is away (lamp_on_switcher_loss "off")
  STOPPING,
};

struct Tally {
  TallyState state = OFF;
  TallyReason reason = TallyReason::NOT_ON_BUSES;
};

// The state of the watched source. BUSES: the source on the program (PROGRAM wins) or preview bus
// of M/E `me` (an M/E outside 0..3 reads as -1 on both). SWITCHER: its flags in the switcher's
// latest tally list, the buses deciding until a first list has come.
Tally deriveTally(const Watch& watch, const AtemTables& tables);

// At most one change per hold-off goes to a camera.
constexpr int64_t kTallyHoldOffNs = 50 * kNsPerMs;

struct TallyGate {
  TallyState lastSent = OFF;  // the last state decided for the camera
  int64_t deadline = 0;       // no change is taken before this reading
};

// Records the initial send of `state` at reading `now`: the next change may go at once.
void tallyGateStart(TallyGate& gate, TallyState state, int64_t now);
inline bool tallyGateOpen(const TallyGate& gate, int64_t now) { return now >= gate.deadline; }
// Called with the state derived after reading `now`. True when it is to be sent; it then counts
// as sent and the gate stays closed until now + kTallyHoldOffNs.
bool tallyGateTake(TallyGate& gate, TallyState derived, int64_t now);

// A failed delivery is tried again after 1 s, then after twice as long each time it fails
// again, up to 30 s, until one gets through.
constexpr int64_t kRetryFirstNs = 1000 * kNsPerMs;
constexpr int64_t kRetryMostNs = 30'000 * kNsPerMs;

// One camera's deliveries: the gate, the delivery under way and the one decided meanwhile.
struct CameraSchedule {
  TallyGate gate;
  bool started = false;     // the initial state has been decided
  bool running = false;     // a delivery is under way
  bool runningChange = false;
  bool hasPending = false;  // decided while one ran: it goes next, replaced by anything newer
  TallyState pending = OFF;
  bool pendingChange = false;
  int64_t lastStartNs = 0;   // when the last delivery started
  int64_t retryDelayNs = 0;  // the last delivery failed: the next try waits this long
  int64_t retryAtNs = 0;
  bool retryChange = false;  // the failed delivery was a change
};

// A delivery to start now.
struct Dispatch {
  bool start = false;
  TallyState state = OFF;
  bool change = false;  // a change of state (a refresh is not one)
};

// Hands a decided state to the camera: it starts now, or waits as the pending one while another
// delivery runs.
Dispatch scheduleSend(CameraSchedule& s, TallyState state, bool change, int64_t now);
// The initial state at reading `now`.
Dispatch scheduleStart(CameraSchedule& s, TallyState state, int64_t now);
// The state derived at reading `now`: a change past the hold-off is decided and handed on.
Dispatch scheduleDerived(CameraSchedule& s, TallyState derived, int64_t now);
// A refresh of the last state decided, when `refreshNs` (0: off) have passed since the last
// delivery started, nothing runs or waits and no change is waiting on the hold-off.
Dispatch scheduleRefresh(CameraSchedule& s, TallyState derived, int64_t refreshNs, int64_t now);
// The delivery under way has ended (`delivered`, or failed): the pending state, if any, starts.
Dispatch scheduleDone(CameraSchedule& s, bool delivered, int64_t now);
// The last state decided again, when a failed delivery's wait is over and nothing runs or waits.
Dispatch scheduleRetry(CameraSchedule& s, int64_t now);
// Drops the delivery under way and the pending one (a stop, a camera whose settings changed).
void scheduleAbandon(CameraSchedule& s);
// The next reading at which the camera needs a look (INT64_MAX: none): a change waiting on the
// hold-off, a refresh (`refreshNs`, 0: off), a retry (with `retries`).
int64_t scheduleDeadline(const CameraSchedule& s, TallyState derived, int64_t refreshNs,
                         bool retries);
