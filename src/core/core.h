// The bridge as pure logic: events with the clock reading go in, actions come out. It opens no
// socket, reads no clock and writes nothing; the driver (app/) turns epoll events into calls
// here and carries out the actions, in the manner of the switcher session's AtemStep.
//
//   events in                              actions out (CoreActions)
//   coreStart          the configuration    camera links to open, deliveries to start, close
//   coreSwitcherDatagram  from the switcher  acknowledgement / hello for the switcher
//   coreForeignDatagram   from anyone else   the switcher's socket to (re)open
//   coreDelivered      a delivery's outcome  log lines, sd_notify messages
//   coreCameraAnswer   what a camera said    (the status text: coreStatus)
//   coreTick           a deadline is due     (the next deadline: coreDeadline)
//   coreStop, coreReload                     (the end: core.done)
//
// The switcher's state goes into the tally model (the session's tables: what each source is on
// each M/E's buses and in the switcher's tally list); each camera derives its lamp from it and
// gets its changes by its own schedule (tally/): at most one per hold-off, the newest decision
// waiting while a delivery runs, refreshes, OFF at the stop. How a state reaches a camera is the
// link's business: the core says "deliver PROGRAM to camera 7 by this ladder" and hears back
// how it went.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "atem/atem_session.h"
#include "base/log.h"
#include "config/config.h"
#include "core/outputs.h"
#include "tally/tally.h"
#include "visca/visca_ladder.h"
#include "web/web_view.h"

// After the switcher has accepted the session: 500 ms to settle, then a warm-up in which its
// initial state arrives; the cameras get their first state at the end of it.
constexpr int64_t kSettleNs = 500 * kNsPerMs;
constexpr int64_t kWarmUpNs = 3000 * kNsPerMs;

enum class Phase { WAITING, WARMING, RUNNING, STOPPING };

enum class DeliveryStatus { RUNNING, DELIVERED, FAILED };

// A step of a delivery or of the switcher's socket that failed: the call and its errno; for an
// HTTP request the URL and its status, or libcurl's word for what went wrong.
struct LinkFailure {
  enum Via { UDP, TCP, HTTP } via = UDP;
  const char* call = "";  // "sendto()", "bind()", "connect()", ...; "GET"
  int err = 0;            // errno, or kErrEmptyCommand; HTTP: the status, 0 when none came
  std::string detail;     // HTTP: the URL, then what went wrong when no status came
};
constexpr int kErrEmptyCommand = -1;  // a command of no bytes: nothing to send

// What a camera's link tells the core about the delivery it runs: the rungs that failed since it
// last reported, and how it stands. `tcpSent`: the bytes a TCP rung delivered.
struct DeliveryReport {
  DeliveryStatus status = DeliveryStatus::RUNNING;
  std::vector<LinkFailure> failures;
  const Bytes* tcpSent = nullptr;
  std::string outcome;  // an HTTP camera's last answer, for the status: "HTTP 200", "timed out"
};

// What the driver does to a camera's link.
struct CameraAction {
  enum Kind { OPEN, DELIVER, CLOSE } kind;
  uint32_t camera;             // the camera's id: a camera moved by a reload gets a new one
  const CameraConfig* config;  // OPEN: its addresses (the core keeps it while the link is open)
  Ladder ladder;               // DELIVER: a VISCA camera's rungs, into the config's commands
  TallyState state = OFF;      // DELIVER: the state (an HTTP camera's requests)
};

struct CoreActions {
  std::vector<CameraAction> cameras;  // in order; first, before anything else of the wake
  bool reopenSwitcher = false;        // (re)open the switcher's socket for config's atem_ip
  std::vector<uint16_t> acks;         // packet ids to acknowledge in session `session`
  uint16_t session = 0;
  bool sendHello = false;
  LogLines lines;
  std::vector<std::string> notify;  // sd_notify messages: "READY=1", "STOPPING=1", ...
  // Outputs beside the cameras: carried out after the cameras and the switcher's acknowledgement.
  std::vector<OutputAction> outputs;

  void clear();
};

struct CoreCamera {
  uint32_t id = 0;
  CameraConfig config;
  CameraSchedule schedule;
  Tally tally;             // as last derived
  Dispatch current;        // the delivery under way
  Tally currentTally;      // why it was decided, for the change log
  bool delivered = false;  // some state has reached the camera
  TallyState lastDelivered = OFF;
  int failed = 0;
  bool answering = false;  // the camera acknowledged a command
  int answerError = -1;    // the error code of its last answer, if that was an error
  std::string outcome;     // an HTTP camera's last answer
  LineLimit answerLines;   // error answers: a line per delivery and per 10 s at most
  bool answerLined = false;  // the delivery under way has had its answer line
  bool retiring = false;   // dropped or moved by a reload: it gets OFF, then goes
  int32_t warnedSource = -1;  // the source said to be unknown to the switcher
  // For the status page and the metrics.
  int64_t deliveredAtNs = 0;       // the last delivery that got through
  std::string via;                 // how: "UDP", "TCP", "HTTP 200"; "failed"
  uint64_t deliveries[3] = {};     // that got through, by LinkFailure::Via
  uint64_t failures[3] = {};       // rungs that failed, by LinkFailure::Via
  uint64_t answers[3] = {};        // acknowledgements, completions, errors
};

struct Core {
  Config config;
  std::string path;  // the configuration file, for the reload line
  AtemSession session;
  std::vector<std::unique_ptr<CoreCamera>>
      cameras;  // stable: links point into their configurations
  uint32_t nextId = 1;
  Phase phase = Phase::WAITING;
  int64_t phaseEndNs = 0;
  bool wasLost = false;    // the open session went silent; the next one is a recovery
  bool forcedOff = false;  // lamp_on_switcher_loss "off": dark until a new initial state
  bool refused = false;
  bool awaitingAnswer = false;  // nothing has come from this switcher yet
  int64_t awaitingSinceNs = 0;
  int64_t noAnswerLineNs = 0;  // when to say that nothing came
  bool saidNoAnswer = false;
  Outputs outputs;     // TSL displays, the tally server, the status page
  LineLimit foreign;   // datagrams from anyone but the switcher: a line a minute at most
  LineLimit reopens;   // the switcher's requests to open again: a line per 10 s at most
  LineLimit outputSends;  // failed sends of the outputs: a line per 10 s at most
  uint64_t openFileLimit = UINT64_MAX;  // a reload that needs more is refused
  // For the status page and the metrics.
  int64_t connectedSinceNs = 0;  // the session was accepted; 0: not connected
  uint64_t sessionLosses = 0;
  uint64_t skippedPackets = 0;
  uint64_t viewVersion = 0;  // counts the changes the status page shows
  bool starting = false;  // the first wake: a switcher socket that cannot open ends the run
  bool done = false;
  int exitStatus = 0;
};

// The lines about one report of a delivery of `state` to `camera`: the rungs that failed, a TCP
// rung that got through, a delivery that failed altogether. `who` goes in front ("cam2: ").
void deliveryLines(const std::string& who, const CameraConfig& camera, TallyState state,
                   const DeliveryReport& report, LogLines& lines);

// Takes the configuration: the cameras' links, the first line and the switcher's socket with
// its hello. An atem_ip that is no address ends the run here with status 1.
void coreStart(Core& core, const Config& config, const std::string& path, int64_t now,
               CoreActions& out);
// The switcher's socket could not be opened: the run ends (status 1) before anything is sent,
// or after a reload the bridge goes on without a session.
void coreSwitcherFailed(Core& core, const LinkFailure& failure, CoreActions& out);
// A send to the switcher failed.
void coreSwitcherSendFailed(Core& core, const LinkFailure& failure, CoreActions& out);
// One datagram from the switcher's address and port.
void coreSwitcherDatagram(Core& core, const uint8_t* data, size_t size, int64_t now,
                          CoreActions& out);
// One datagram from anyone else, `ip` in network order.
void coreForeignDatagram(Core& core, uint32_t ip, uint16_t port, int64_t now, CoreActions& out);
// A delivery of camera `id` reported (it may go on RUNNING).
void coreDelivered(Core& core, uint32_t id, const DeliveryReport& report, int64_t now,
                   CoreActions& out);
// A datagram camera `id` answered on the socket that sent `command`.
void coreCameraAnswer(Core& core, uint32_t id, const uint8_t* data, size_t size,
                      const Bytes* command, int64_t now, CoreActions& out);
// True when the switcher's silence is due: read what waits on its socket first, since datagrams
// that came in while this wake was busy elsewhere are signs of life.
bool coreSilenceDue(const Core& core, int64_t now);
// What is due at `now`: silence, the end of the warm-up, hold-offs, refreshes.
void coreTick(Core& core, int64_t now, CoreActions& out);
// Stop signals read in one wake: a line each; the first stop sends every camera OFF, all at once.
void coreStop(Core& core, const int* signos, size_t count, int64_t now, CoreActions& out);
// SIGHUP, with the configuration file read again (or the reason it could not be).
void coreReload(Core& core, const LoadedConfig& loaded, int64_t now, CoreActions& out);
// At the end of a wake: cameras that have had their OFF go, and a stop whose deliveries are all
// over ends the run.
void coreWakeEnd(Core& core, CoreActions& out);
// The next reading at which coreTick has something to do (INT64_MAX: none).
int64_t coreDeadline(const Core& core);
// The one-line status for systemd.
std::string coreStatus(const Core& core);

// What the status page shows, as of `now`, and the counters behind /metrics.
void coreWebView(const Core& core, int64_t now, WebView& view);
void coreWebMetrics(const Core& core, WebMetrics& metrics);

// The outputs beside the cameras, fed after the wake's camera datagrams and acknowledgement:
// what changed in the model since the last feed, and the refreshes due.
void coreFeedOutputs(Core& core, int64_t now, CoreActions& out);
// An output's link could not be opened (`error`): it is left out until a reload.
void coreOutputFailed(Core& core, uint32_t id, const std::string& error, CoreActions& out);
// A TSL output's TCP connection came up, or went down (`why`).
void coreOutputTcp(Core& core, uint32_t id, bool up, const std::string& why, CoreActions& out);
// A UDP send of a TSL output failed: a line per 10 s at most.
void coreOutputSendFailed(Core& core, uint32_t id, const std::string& why, int64_t now,
                          CoreActions& out);
// The tally server: its number of clients, and one refused beyond the limit.
void coreTallyClients(Core& core, size_t clients);
void coreTallyRefused(Core& core, const std::string& peer, int64_t now, CoreActions& out);
