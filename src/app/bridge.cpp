#include "app/bridge.h"

#include <signal.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <memory>
#include <string>
#include <vector>

#include "atem/atem_session.h"
#include "base/clock.h"
#include "base/log.h"
#include "link/atem_link.h"
#include "link/camera_link.h"
#include "link/event_loop.h"
#include "link/notify.h"
#include "tally/tally.h"
#include "visca/visca_ladder.h"
#include "visca/visca_reply.h"
#include "base/hot.h"

namespace {

// After the switcher has accepted the session: 500 ms to settle, then a warm-up in which its
// initial state arrives; the cameras get their first state at the end of it.
constexpr int64_t kSettleNs = 500 * kNsPerMs;
constexpr int64_t kWarmUpNs = 3000 * kNsPerMs;

enum class Phase { WAITING, WARMING, RUNNING, STOPPING };

// Event tags: what the fd is, whose it is, and the fd itself (numbers are reused once closed).
enum : uint64_t { kTagSwitcher = 1, kTagTcp = 2 };
uint64_t tag(uint64_t kind, size_t camera, int fd) {
  return kind << 56 | static_cast<uint64_t>(camera) << 32 | static_cast<uint32_t>(fd);
}

struct Camera {
  CameraConfig config;
  CommandSet commands;
  CameraSchedule schedule;
  CameraLink link;
  Tally tally;          // as last derived
  Dispatch current;     // the delivery under way
  Tally currentTally;   // why it was decided, for the change log
  bool delivered = false;  // some state has reached the camera
  TallyState lastDelivered = OFF;
  int failed = 0;
  bool answering = false;  // the camera acknowledged a command
  int answerError = -1;    // the error code of its last answer, if that was an error
  bool retiring = false;   // dropped by a reload: it gets OFF, then goes
};

struct Bridge {
  Config config;
  std::string path;
  EventLoop loop;
  AtemLink atem;
  AtemSession session;
  std::vector<std::unique_ptr<Camera>> cameras;  // stable addresses: links point into commands
  Phase phase = Phase::WAITING;
  int64_t phaseEndNs = 0;
  bool wasLost = false;    // the open session went silent; the next one is a recovery
  bool forcedOff = false;  // lamp_on_switcher_loss "off": dark until a new initial state
  bool refused = false;
  ForeignSenders foreign;
  Notifier notify;
  LogLines lines;
  bool done = false;
};

std::string hex16(uint16_t v) {
  char text[8];
  std::snprintf(text, sizeof text, "%x", static_cast<unsigned>(v));
  return text;
}

// ---- cameras ---------------------------------------------------------------------------------

std::string who(const Bridge& b, const Camera& c) {
  return b.cameras.size() > 1 ? c.config.name + ": " : "";
}

// Gives the camera its settings and the commands built from them.
void configure(Camera& c, const CameraConfig& config) {
  c.config = config;
  std::string error;  // the texts were checked when the file was read
  buildCommandSet(config.visca_program, config.visca_preview, config.visca_off, c.commands, error);
}

std::unique_ptr<Camera> makeCamera(const CameraConfig& config) {
  auto c = std::make_unique<Camera>();
  configure(*c, config);
  return c;
}

bool refreshing(const Bridge& b) {
  return b.phase == Phase::RUNNING && b.session.state == CONNECTED && b.session.announced;
}

int64_t refreshNs(const Bridge& b, const Camera& c) {
  return refreshing(b) && !c.retiring ? c.config.lamp_refresh_ms * kNsPerMs : 0;
}

QUORVEL_HOT Tally currentTally(const Bridge& b, const Camera& c) {
  if (b.forcedOff) return {OFF, TallyReason::SWITCHER_LOST};
  return deriveTally(c.config, b.session.tables);
}

std::string reasonText(const Camera& c, const Tally& t) {
  const std::string input = "input " + std::to_string(c.config.watch_input_id);
  const std::string me = "M/E " + std::to_string(c.config.me_index);
  switch (t.reason) {
    case TallyReason::PROGRAM_BUS: return input + " on the program bus of " + me;
    case TallyReason::PREVIEW_BUS: return input + " on the preview bus of " + me;
    case TallyReason::NOT_ON_BUSES: return input + " on neither bus of " + me;
    case TallyReason::LIST_PROGRAM: return input + " on air in the switcher's tally list";
    case TallyReason::LIST_PREVIEW: return input + " on preview in the switcher's tally list";
    case TallyReason::NOT_IN_LIST: return input + " unlit in the switcher's tally list";
    case TallyReason::SWITCHER_LOST: return "the switcher is lost";
    case TallyReason::STOPPING: return "the bridge stops";
  }
  return "";
}

QUORVEL_HOT void startDelivery(Bridge& b, Camera& c, const Dispatch& d, const Tally& why,
                               int64_t now);

QUORVEL_HOT void finishDelivery(Bridge& b, Camera& c, DeliveryStatus status, int64_t now) {
  if (status == DeliveryStatus::RUNNING) return;
  if (status == DeliveryStatus::DELIVERED) {
    c.delivered = true;
    c.lastDelivered = c.current.state;
    if (c.current.change && b.config.log_changes)
      addOut(b.lines, "[TALLY] " + c.config.name + " " + tallyStateToString(c.current.state) +
                          " (" + reasonText(c, c.currentTally) + ")");
  } else {
    ++c.failed;
  }
  Dispatch next = scheduleDone(c.schedule, now);
  if (next.start) startDelivery(b, c, next, c.tally, now);
}

void startDelivery(Bridge& b, Camera& c, const Dispatch& d, const Tally& why, int64_t now) {
  c.current = d;
  c.currentTally = why;
  DeliveryStatus s =
      cameraDeliver(c.link, buildLadder(c.commands, c.config, d.state), now, b.lines);
  finishDelivery(b, c, s, now);
}

// Derives every camera's state and starts the deliveries that are due: after the tables changed
// or a hold-off ended (this is the path from a switcher packet to the camera datagrams), or, with
// `initial`, every camera's first state at the end of the warm-up.
QUORVEL_HOT void dispatchCameras(Bridge& b, int64_t now, bool initial = false) {
  if (initial) b.phase = Phase::RUNNING;
  if (b.phase != Phase::RUNNING) return;
  for (auto& cp : b.cameras) {
    Camera& c = *cp;
    if (c.retiring || (initial && c.schedule.started)) continue;
    c.tally = currentTally(b, c);
    Dispatch d = initial ? scheduleStart(c.schedule, c.tally.state, now)
                         : scheduleDerived(c.schedule, c.tally.state, now);
    if (d.start) startDelivery(b, c, d, c.tally, now);
  }
}

bool allIdle(const Bridge& b) {
  return std::none_of(b.cameras.begin(), b.cameras.end(),
                      [](const auto& c) { return c->schedule.running; });
}

void finishStopIfIdle(Bridge& b) {
  if (b.phase != Phase::STOPPING || b.done || !allIdle(b)) return;
  flushLines(b.lines);
  logOut("[INFO] Goodbye!");
  b.done = true;
}

// Every camera gets OFF at once, whatever it was doing: the stop takes as long as the slowest
// single ladder.
void beginStop(Bridge& b, int64_t now) {
  b.phase = Phase::STOPPING;
  notifySend(b.notify, "STOPPING=1");
  flushLines(b.lines);
  logOut("[INFO] Sending tally OFF before exit...");
  for (auto& cp : b.cameras) {
    Camera& c = *cp;
    cameraAbandon(c.link);
    scheduleAbandon(c.schedule);
    Dispatch d = scheduleSend(c.schedule, OFF, false, now);
    startDelivery(b, c, d, Tally{OFF, TallyReason::STOPPING}, now);
  }
}

void renumber(Bridge& b);

void dropRetired(Bridge& b) {
  bool dropped = false;
  for (size_t i = 0; i < b.cameras.size();) {
    Camera& c = *b.cameras[i];
    if (c.retiring && !c.schedule.running && b.phase != Phase::STOPPING) {
      cameraClose(c.link);
      b.cameras.erase(b.cameras.begin() + static_cast<long>(i));
      dropped = true;
    } else {
      ++i;
    }
  }
  if (dropped) renumber(b);
}

// ---- switcher session ------------------------------------------------------------------------

void logConnected(Bridge& b) {
  const Config& cfg = b.config;
  if (!cfg.listed) {
    const CameraConfig& c = cfg.cameras.at(0);
    logOut("[OK] ATEM " + cfg.atem_ip + " connected | ME=" + std::to_string(c.me_index) +
           " watch_input=" + std::to_string(c.watch_input_id) + " -> " + c.visca_host + ":" +
           std::to_string(c.visca_port));
    if (!c.bind_source_ip.empty())
      logOut("[OK] Binding UDP sends from source IP: " + c.bind_source_ip);
    if (c.compat_try_prefix) logOut("[OK] Will also try 8-byte VISCA-IP prefix");
    if (c.compat_try_tcp) logOut("[OK] Will also try TCP fallback");
    logOut(c.tally_source == TallySource::SWITCHER
               ? "[OK] Tally follows the switcher's tally list"
               : "[OK] Tally follows the program and preview buses of M/E " +
                     std::to_string(c.me_index));
    if (c.lamp_refresh_ms > 0)
      logOut("[OK] Lamp refreshed every " + std::to_string(c.lamp_refresh_ms) + " ms");
    return;
  }
  size_t n = cfg.cameras.size();
  logOut("[OK] ATEM " + cfg.atem_ip + " connected | " + std::to_string(n) +
         (n == 1 ? " camera" : " cameras"));
  for (const CameraConfig& c : cfg.cameras) {
    std::string line =
        "[OK] Camera " + c.name + ": ME=" + std::to_string(c.me_index) +
        " watch_input=" + std::to_string(c.watch_input_id) + " -> " + c.visca_host + ":" +
        std::to_string(c.visca_port) + " | tally from " +
        (c.tally_source == TallySource::SWITCHER ? "the switcher's list" : "the buses");
    if (!c.bind_source_ip.empty()) line += ", UDP from " + c.bind_source_ip;
    if (c.compat_try_prefix) line += ", also prefixed";
    if (c.compat_try_tcp) line += ", also TCP";
    if (c.lamp_refresh_ms > 0) line += ", refresh " + std::to_string(c.lamp_refresh_ms) + " ms";
    logOut(line);
  }
}

void applyStep(Bridge& b, const AtemStep& step, int64_t now) {
  switch (step.event) {
    case AtemEvent::NONE:
      break;
    case AtemEvent::ANNOUNCED:
      b.refused = false;
      addOut(b.lines, "[ATEM] SYN-ACK received, session 0x" + hex16(b.session.sessionId));
      if (b.phase == Phase::WAITING) {
        flushLines(b.lines);
        logConnected(b);
        b.phase = Phase::WARMING;
        b.phaseEndNs = now + kSettleNs + kWarmUpNs;
      } else if (b.wasLost) {
        addOut(b.lines, "[OK] ATEM " + b.config.atem_ip + " session restored");
      }
      b.wasLost = false;
      break;
    case AtemEvent::REFUSED:
      b.refused = true;
      addErr(b.lines, "[ERR] ATEM: Connection refused (switcher full)");
      break;
    case AtemEvent::REOPEN:
      addOut(b.lines, "[ATEM] Reconnect requested, resending SYN");
      break;
    case AtemEvent::LOST:
      b.wasLost = true;
      addErr(b.lines, "[WARN] ATEM " + b.config.atem_ip +
                          " silent for 5 s: the session is lost, opening a new one");
      if (b.config.lamp_on_switcher_loss == SwitcherLoss::OFF && b.phase == Phase::RUNNING) {
        b.forcedOff = true;
        dispatchCameras(b, now);
      }
      break;
    case AtemEvent::GAP_SKIPPED:
      addErr(b.lines, "[WARN] ATEM packets " + std::to_string(step.gapFrom) + " to " +
                          std::to_string(step.gapTo) +
                          " never came within 1 s; going on without them");
      break;
  }
}

QUORVEL_HOT void sendToSwitcher(Bridge& b, const AtemStep& step) {
  if (!step.sendAck && !step.sendHello) return;
  std::string error;
  if (!atemLinkSend(b.atem, step, b.session.sessionId, error)) addErr(b.lines, "[ERR] " + error);
}

QUORVEL_HOT void onSwitcherReadable(Bridge& b) {
  // Bounded, so that timers and other sockets get their turn under a flood.
  for (int i = 0; i < 64; ++i) {
    long n = atemLinkReceive(b.atem);
    if (n < 0) return;
    int64_t now = monotonicNs();
    if (!atemLinkFromSwitcher(b.atem)) {
      if (foreignSenderSeen(b.foreign, now))
        addErr(b.lines, "[WARN] Ignoring datagrams that do not come from the switcher: " +
                            std::to_string(b.foreign.count) + " so far, the latest from " +
                            atemLinkSender(b.atem));
      continue;
    }
    AtemStep step;
    atemReceive(b.session, b.atem.rx, static_cast<size_t>(n), now, step);
    // A new session's initial state is in: lamps darkened for a lost switcher follow it again.
    if (step.walked & kWalkInitialDone) b.forcedOff = false;
    // The camera datagrams go first, the acknowledgement right after them.
    if (step.walked) dispatchCameras(b, now);
    sendToSwitcher(b, step);
    applyStep(b, step, now);
  }
}

// ---- camera answers --------------------------------------------------------------------------

// Reads what the camera answered on one delivery's socket, before the socket is closed.
void readAnswers(Bridge& b, Camera& c, const CameraLink::Answers& a) {
  uint8_t buf[256];
  size_t n = 0;
  while (cameraReadAnswer(a, buf, sizeof buf, n)) {
    ViscaReply r = parseViscaReply(buf, n);
    if (r.kind == ViscaAnswer::ACK || r.kind == ViscaAnswer::COMPLETION) {
      c.answering = true;
      c.answerError = -1;
    } else if (r.kind == ViscaAnswer::ERROR) {
      c.answerError = r.error;
      char code[8];
      std::snprintf(code, sizeof code, "%02x", r.error);
      addErr(b.lines, "[WARN] " + who(b, c) + "Camera answered " +
                          (a.command ? bytesToHexString(*a.command) : "?") + " with error " + code +
                          " (" + viscaErrorText(r.error) + ")");
    }
  }
}

// ---- reload ----------------------------------------------------------------------------------

void logWarnings(const std::vector<ConfigWarning>& warnings) {
  for (const ConfigWarning& w : warnings)
    if (w.atStartup) logErr(w.text);
}

// After cameras came or went: names in lines, and the event tags of their sockets, which carry
// the camera's position.
void renumber(Bridge& b) {
  for (auto& c : b.cameras) {
    c->link.who = who(b, *c);
    c->link.tcpNew = c->link.tcp >= 0;
  }
}

bool sameAddress(const CameraConfig& a, const CameraConfig& b) {
  return a.visca_host == b.visca_host && a.visca_port == b.visca_port &&
         a.bind_source_ip == b.bind_source_ip && a.visca_program == b.visca_program &&
         a.visca_preview == b.visca_preview && a.visca_off == b.visca_off;
}

bool openSwitcher(Bridge& b, int64_t now, std::string& error) {
  if (!atemLinkOpen(b.atem, b.config.atem_ip, error)) return false;
  loopWatch(b.loop, b.atem.fd, EPOLLIN, tag(kTagSwitcher, 0, b.atem.fd));
  AtemStep step;
  atemOpen(b.session, now, step);
  sendToSwitcher(b, step);
  return true;
}

void reload(Bridge& b, int64_t now) {
  logOut("[INFO] Reloading config from: " + printable(b.path));
  notifySend(b.notify, "RELOADING=1\nMONOTONIC_USEC=" + std::to_string(now / 1000));
  Config next;
  std::string error;
  std::vector<ConfigWarning> warnings;
  if (!loadConfigWithSwitcher(b.path, next, error, &warnings)) {
    logErr(error);
    logErr("[WARN] The configuration in use stays");
    notifySend(b.notify, "READY=1");
    return;
  }
  logWarnings(warnings);

  const bool newSwitcher = next.atem_ip != b.config.atem_ip;
  const bool running = b.phase == Phase::RUNNING;
  std::vector<std::unique_ptr<Camera>> kept;
  for (const CameraConfig& cfg : next.cameras) {
    auto old = std::find_if(b.cameras.begin(), b.cameras.end(), [&](const auto& c) {
      return c && !c->retiring && c->config.name == cfg.name;
    });
    std::unique_ptr<Camera> c;
    bool resend = false;
    if (old == b.cameras.end()) {
      c = makeCamera(cfg);
      resend = running;
    } else {
      c = std::move(*old);
      if (c->config != cfg) {
        // A camera at another address, or with other commands, starts afresh; otherwise only
        // a state that the new settings derive differently is sent.
        const bool moved = !sameAddress(c->config, cfg);
        if (moved) {
          cameraClose(c->link);  // nothing points into the old commands any more
          scheduleAbandon(c->schedule);
          c->answering = false;
          c->answerError = -1;
        }
        configure(*c, cfg);
        resend = running && (moved || currentTally(b, *c).state != c->schedule.gate.lastSent);
      }
    }
    cameraSetup(c->link, c->config, "");
    if (resend) c->schedule.started = false;  // sent below as an initial state
    kept.push_back(std::move(c));
  }
  for (auto& old : b.cameras) {
    if (!old) continue;
    old->retiring = true;
    if (running || old->schedule.running) {
      cameraAbandon(old->link);
      scheduleAbandon(old->schedule);
      Dispatch d = scheduleSend(old->schedule, OFF, false, now);
      kept.push_back(std::move(old));
      Camera& c = *kept.back();
      startDelivery(b, c, d, Tally{OFF, TallyReason::STOPPING}, now);
    } else {
      cameraClose(old->link);
    }
  }
  b.cameras = std::move(kept);
  b.config = std::move(next);
  renumber(b);

  if (newSwitcher) {
    atemLinkClose(b.atem);
    b.session = AtemSession();
    b.phase = Phase::WAITING;
    b.wasLost = b.forcedOff = b.refused = false;
    logOut("[INFO] Connecting to ATEM at " + b.config.atem_ip + "...");
    if (!openSwitcher(b, now, error)) addErr(b.lines, "[ERR] " + error);
  } else if (running) {
    dispatchCameras(b, now, true);  // the cameras that start afresh
  }
  flushLines(b.lines);
  size_t n = b.config.cameras.size();
  logOut("[OK] Config reloaded: " + std::to_string(n) + (n == 1 ? " camera" : " cameras"));
  notifySend(b.notify, "READY=1");
}

// ---- status ----------------------------------------------------------------------------------

std::string statusLine(const Bridge& b) {
  std::string s;
  const std::string& ip = b.config.atem_ip;
  if (b.session.state == CONNECTED && b.session.announced)
    s = "connected to " + ip;
  else if (b.refused)
    s = "refused as full by " + ip;
  else if (b.wasLost)
    s = "lost " + ip + ", reconnecting";
  else
    s = "connecting to " + ip;
  if (b.phase == Phase::STOPPING) s = "stopping, " + s;
  for (const auto& cp : b.cameras) {
    const Camera& c = *cp;
    if (c.retiring) continue;
    s += " \xC2\xB7 " + c.config.name + " " +
         (c.delivered ? tallyStateToString(c.lastDelivered) : "-");
    std::string notes;
    if (c.answerError >= 0) {
      char code[16];
      std::snprintf(code, sizeof code, "error %02x", c.answerError);
      notes = code;
    } else if (c.answering) {
      notes = "answering";
    }
    if (c.failed > 0) notes += (notes.empty() ? "" : ", ") + std::to_string(c.failed) + " failed";
    if (!notes.empty()) s += " (" + notes + ")";
  }
  return s;
}

// ---- the loop --------------------------------------------------------------------------------

int64_t nextDeadline(const Bridge& b) {
  int64_t next = std::min(atemDeadline(b.session), notifyDeadline(b.notify));
  if (b.phase == Phase::WARMING) next = std::min(next, b.phaseEndNs);
  for (const auto& cp : b.cameras) {
    const Camera& c = *cp;
    next = std::min(next, cameraDeadline(c.link));
    if (b.phase == Phase::RUNNING && !c.retiring)  // c.tally: derived by this wake's timers
      next = std::min(next, scheduleDeadline(c.schedule, c.tally.state, refreshNs(b, c)));
  }
  return next;
}

void runTimers(Bridge& b, int64_t now) {
  // Silence is judged only after reading what is waiting: datagrams that came in while this
  // wake was busy elsewhere are signs of life.
  if (now >= atemDeadline(b.session)) onSwitcherReadable(b);
  if (now >= atemDeadline(b.session)) {
    AtemStep step;
    atemTick(b.session, now, step);
    sendToSwitcher(b, step);
    applyStep(b, step, now);
  }
  if (b.phase == Phase::WARMING && now >= b.phaseEndNs) dispatchCameras(b, now, true);
  dispatchCameras(b, now);  // hold-offs that ended
  for (auto& cp : b.cameras) {
    Camera& c = *cp;
    if (c.link.active && c.link.tcp >= 0 && now >= c.link.tcpDeadlineNs)
      finishDelivery(b, c, cameraContinue(c.link, false, now, b.lines), now);
    if (now >= c.link.prepareAtNs) {
      readAnswers(b, c, c.link.retired);
      cameraPrepare(c.link);
    }
    if (c.link.answers.fd >= 0 && now >= c.link.answers.untilNs) {
      readAnswers(b, c, c.link.answers);
      cameraAnswerExpire(c.link, now);
    }
    if (b.phase == Phase::RUNNING && !c.retiring) {
      Dispatch d = scheduleRefresh(c.schedule, c.tally.state, refreshNs(b, c), now);
      if (d.start) startDelivery(b, c, d, c.tally, now);
    }
  }
  notifyWatchdog(b.notify, now);
}

// Every signal waiting is read first, so that two stop signals give two lines and one stop.
void onSignals(Bridge& b, int64_t now) {
  bool stop = false, hangup = false;
  while (int signo = loopTakeSignal(b.loop)) {
    if (signo == SIGHUP) {
      hangup = true;
      continue;
    }
    // The empty line first: the "^C" a terminal echoes then stands on a line of its own.
    logOut("\n[INFO] Caught signal " + std::to_string(signo) + ", shutting down...");
    stop = true;
  }
  if (hangup && !stop && b.phase != Phase::STOPPING) reload(b, now);
  if (stop && b.phase != Phase::STOPPING) beginStop(b, now);
}

QUORVEL_HOT void onEvent(Bridge& b, uint64_t t, uint32_t events, int64_t now) {
  if (t == kSignalTag) return onSignals(b, now);
  const uint64_t kind = t >> 56;
  const size_t index = static_cast<size_t>((t >> 32) & 0xFFFFFF);
  const int fd = static_cast<int>(t & 0xFFFFFFFF);
  if (kind == kTagSwitcher) {
    if (fd == b.atem.fd) onSwitcherReadable(b);
    return;
  }
  if (index >= b.cameras.size()) return;
  Camera& c = *b.cameras[index];
  if (kind == kTagTcp && fd == c.link.tcp) {
    bool ready = events & (EPOLLOUT | EPOLLERR | EPOLLHUP);
    finishDelivery(b, c, cameraContinue(c.link, ready, now, b.lines), now);
  }
}

// What waits until the wake's deliveries and acknowledgements are out: new TCP sockets watched,
// log lines, the status for systemd.
void afterWake(Bridge& b, int64_t now) {
  dropRetired(b);
  for (size_t i = 0; i < b.cameras.size(); ++i) {
    CameraLink& l = b.cameras[i]->link;
    if (l.tcpNew && l.tcp >= 0) loopWatch(b.loop, l.tcp, EPOLLOUT, tag(kTagTcp, i, l.tcp));
    l.tcpNew = false;
  }
  flushLines(b.lines);
  if (b.notify.fd >= 0) notifyStatus(b.notify, statusLine(b));
  notifyWatchdog(b.notify, now);
  finishStopIfIdle(b);
}

}  // namespace

int runBridge(const Config& config, const std::string& path) {
  auto bridge = std::make_unique<Bridge>();  // the session's tables are large for a stack
  Bridge& b = *bridge;
  b.config = config;
  b.path = path;
  std::string error;
  if (!loopOpen(b.loop, error)) {
    logErr("[ERR] Cannot set up the event loop: " + error);
    return 1;
  }
  for (const CameraConfig& c : config.cameras) b.cameras.push_back(makeCamera(c));
  for (auto& c : b.cameras) cameraSetup(c->link, c->config, who(b, *c));

  logOut("[INFO] Connecting to ATEM at " + config.atem_ip + "...");
  std::srand(static_cast<unsigned>(std::time(nullptr)));
  int64_t now = monotonicNs();
  if (!openSwitcher(b, now, error)) {
    logErr("[ERR] " + error);
    logErr("[ERR] Failed to initiate ATEM connection");
    loopClose(b.loop);
    return 1;
  }
  notifyOpen(b.notify, now);
  notifySend(b.notify, "READY=1");
  afterWake(b, now);

  epoll_event events[32];
  while (!b.done) {
    int n = loopWait(b.loop, nextDeadline(b), events, 32);
    now = monotonicNs();
    for (int i = 0; i < n && !b.done; ++i) onEvent(b, events[i].data.u64, events[i].events, now);
    now = monotonicNs();
    runTimers(b, now);
    afterWake(b, now);
  }

  for (auto& c : b.cameras) cameraClose(c->link);
  atemLinkClose(b.atem);
  notifyClose(b.notify);
  loopClose(b.loop);
  return 0;
}
