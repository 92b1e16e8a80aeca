#include "core/core.h"

#include <arpa/inet.h>

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "base/hot.h"
#include "visca/visca_reply.h"

void CoreActions::clear() {
  cameras.clear();
  reopenSwitcher = sendHello = false;
  acks.clear();
  lines.clear();
  notify.clear();
  outputs.clear();
}

namespace {

std::string hex16(uint16_t v) {
  char text[8];
  std::snprintf(text, sizeof text, "%x", static_cast<unsigned>(v));
  return text;
}

std::string plural(size_t n, const char* one, const char* many) {
  return std::to_string(n) + (n == 1 ? one : many);
}

constexpr int64_t kForeignLinesNs = 60'000 * kNsPerMs;
constexpr int64_t kFloodLinesNs = 10'000 * kNsPerMs;

// "; 12 more left out" after a line that stands for others.
std::string leftOutText(uint64_t n) {
  return n == 0 ? "" : "; " + std::to_string(n) + " more left out";
}

std::string failureText(const LinkFailure& f) {
  if (f.via == LinkFailure::HTTP) {
    std::string text = std::string(f.call) + " " + f.detail;
    if (f.err == 0) return text;  // the detail says what went wrong
    text += " answered " + std::to_string(f.err);
    if (f.err == 401)
      text += " (the camera wants other credentials: http_user, http_password)";
    return text;
  }
  return std::string(f.call) + " failed: " +
         (f.err == kErrEmptyCommand ? "nothing to send (empty command)" : std::strerror(f.err));
}

// ---- cameras ---------------------------------------------------------------------------------

// In front of a camera's lines when there is more than one.
std::string who(const Core& core, const CoreCamera& c) {
  return core.cameras.size() > 1 ? c.config.settings.name + ": " : "";
}

CoreCamera* findCamera(Core& core, uint32_t id) {
  for (auto& c : core.cameras)
    if (c->id == id) return c.get();
  return nullptr;
}

CoreCamera& addCamera(Core& core, const CameraConfig& config, CoreActions& out) {
  auto c = std::make_unique<CoreCamera>();
  c->id = core.nextId++;
  c->config = config;
  out.cameras.push_back({CameraAction::OPEN, c->id, &c->config, {}});
  core.cameras.push_back(std::move(c));
  return *core.cameras.back();
}

bool refreshing(const Core& core) {
  return core.phase == Phase::RUNNING && core.session.state == CONNECTED && core.session.announced;
}

int64_t refreshNs(const Core& core, const CoreCamera& c) {
  return refreshing(core) && !c.retiring ? c.config.refreshNs : 0;
}

QUORVEL_HOT Tally currentTally(const Core& core, const CoreCamera& c) {
  if (core.forcedOff) return {OFF, TallyReason::SWITCHER_LOST};
  return deriveTally(c.config.watch, core.session.tables);
}

// "input 3", or `input 3 "Camera 3"` once the switcher has named it.
std::string inputText(const Core& core, int32_t source) {
  const SourceNames* n = source >= 0 && source <= 0xFFFF
                             ? sourceNames(core.session.tables, static_cast<uint16_t>(source))
                             : nullptr;
  return "input " + std::to_string(source) + (n ? " \"" + std::string(n->longName) + "\"" : "");
}

std::string reasonText(const Core& core, const CoreCamera& c, const Tally& t) {
  const std::string input = inputText(core, c.config.watch.source);
  const std::string me = "M/E " + std::to_string(c.config.watch.me);
  switch (t.reason) {
    case TallyReason::PROGRAM_BUS:
      return input + " on the program bus of " + me;
    case TallyReason::PREVIEW_BUS:
      return input + " on the preview bus of " + me;
    case TallyReason::NOT_ON_BUSES:
      return input + " on neither bus of " + me;
    case TallyReason::LIST_PROGRAM:
      return input + " on air in the switcher's tally list";
    case TallyReason::LIST_PREVIEW:
      return input + " on preview in the switcher's tally list";
    case TallyReason::NOT_IN_LIST:
      return input + " unlit in the switcher's tally list";
    case TallyReason::SWITCHER_LOST:
      return "the switcher is lost";
    case TallyReason::STOPPING:
      return "the bridge stops";
  }
  return "";
}

// Hands a decided state to the camera's link; the outcome comes back through coreDelivered.
QUORVEL_HOT void startDelivery(CoreCamera& c, const Dispatch& d, const Tally& why,
                               CoreActions& out) {
  if (!d.start) return;
  c.current = d;
  c.currentTally = why;
  c.answerLined = false;
  // The forms are kept by lamp state: [OFF], [PREVIEW], [PROGRAM].
  const CommandForms& forms = c.config.commands.forms[d.state == PROGRAM   ? PROGRAM
                                                      : d.state == PREVIEW ? PREVIEW
                                                                           : OFF];
  out.cameras.push_back(
      {CameraAction::DELIVER, c.id, nullptr, buildLadder(forms, c.config.ladder), d.state});
}

// Derives every camera's state and starts the deliveries that are due: after the tables changed
// or a hold-off ended (this is the path from a switcher packet to the camera datagrams), or, with
// `initial`, every camera's first state at the end of the warm-up.
QUORVEL_HOT void dispatchCameras(Core& core, int64_t now, CoreActions& out, bool initial = false) {
  if (initial) {
    core.phase = Phase::RUNNING;
    core.outputs.due = true;
  }
  if (core.phase != Phase::RUNNING) return;
  for (auto& cp : core.cameras) {
    CoreCamera& c = *cp;
    if (c.retiring || (initial && c.schedule.started)) continue;
    c.tally = currentTally(core, c);
    Dispatch d = initial ? scheduleStart(c.schedule, c.tally.state, now)
                         : scheduleDerived(c.schedule, c.tally.state, now);
    startDelivery(c, d, c.tally, out);
  }
}

// Every camera gets OFF at once, whatever it was doing: the stop takes as long as the slowest
// single ladder.
void sendOff(CoreCamera& c, int64_t now, CoreActions& out) {
  scheduleAbandon(c.schedule);
  startDelivery(c, scheduleSend(c.schedule, OFF, false, now), Tally{OFF, TallyReason::STOPPING},
                out);
}

void beginStop(Core& core, int64_t now, CoreActions& out) {
  core.phase = Phase::STOPPING;
  out.notify.push_back("STOPPING=1");
  addLine(out.lines, Tag::INFO, "Sending tally OFF before exit...");
  for (auto& c : core.cameras) sendOff(*c, now, out);
  core.outputs.due = true;  // dark
}

// ---- switcher session ------------------------------------------------------------------------

// "[OK] Camera wide: ME=0 watch_input=1 -> 192.0.2.21:52381 | tally from ..."
// Where the camera's lamp commands go: "192.0.2.21:52381", "HTTP 192.0.2.30:80".
std::string cameraTarget(const CameraConfig& config) {
  if (config.http) {
    const HttpRequest& r = config.requests[PROGRAM].at(0);
    return "HTTP " + addressText(r.host, r.address) + ":" + std::to_string(r.port);
  }
  const Settings& c = config.settings;
  return addressText(c.visca_host, config.host) + ":" + std::to_string(c.visca_port);
}

std::string cameraLine(const CameraConfig& config) {
  const Settings& c = config.settings;
  std::string line =
      "Camera " + c.name + ": ME=" + std::to_string(c.me_index) +
      " watch_input=" + std::to_string(c.watch_input_id) + " -> " + cameraTarget(config) +
      " | tally from " +
      (config.watch.from == TallySource::SWITCHER ? "the switcher's list" : "the buses");
  if (c.profile != 0) line += ", profile " + std::string(kProfiles[c.profile].name);
  if (!config.http) {
    if (config.ladder.framed) line += ", VISCA over IP";
    if (!c.bind_source_ip.empty()) line += ", UDP from " + c.bind_source_ip;
    if (c.compat_try_prefix) line += ", also prefixed";
    if (config.ladder.tcpFirst)
      line += ", TCP first";
    else if (c.compat_try_tcp)
      line += ", also TCP";
  }
  if (c.lamp_refresh_ms > 0) line += ", refresh " + std::to_string(c.lamp_refresh_ms) + " ms";
  return line;
}

void logConnected(const Core& core, CoreActions& out) {
  const Config& cfg = core.config;
  LogLines& l = out.lines;
  if (!cfg.listed) {
    const CameraConfig& camera = cfg.cameras.at(0);
    const Settings& c = camera.settings;
    addLine(l, Tag::OK,
            "ATEM " + cfg.top.atem_ip + " connected | ME=" + std::to_string(c.me_index) +
                " watch_input=" + std::to_string(c.watch_input_id) + " -> " +
                cameraTarget(camera));
    if (c.profile != 0)
      addLine(l, Tag::OK, "Profile " + std::string(kProfiles[c.profile].name));
    if (camera.http) {
      addLine(l, Tag::OK, "Lamp lit by HTTP requests");
    } else {
      if (camera.ladder.framed) addLine(l, Tag::OK, "Commands framed as VISCA over IP");
      if (!c.bind_source_ip.empty())
        addLine(l, Tag::OK, "Binding UDP sends from source IP: " + c.bind_source_ip);
      if (c.compat_try_prefix) addLine(l, Tag::OK, "Will also try 8-byte VISCA-IP prefix");
      if (camera.ladder.tcpFirst)
        addLine(l, Tag::OK, "TCP first, UDP if it fails");
      else if (c.compat_try_tcp)
        addLine(l, Tag::OK, "Will also try TCP fallback");
    }
    addLine(
        l, Tag::OK,
        c.tally_source == static_cast<int32_t>(TallySource::SWITCHER)
            ? "Tally follows the switcher's tally list"
            : "Tally follows the program and preview buses of M/E " + std::to_string(c.me_index));
    if (c.lamp_refresh_ms > 0)
      addLine(l, Tag::OK, "Lamp refreshed every " + std::to_string(c.lamp_refresh_ms) + " ms");
    return;
  }
  addLine(l, Tag::OK,
          "ATEM " + cfg.top.atem_ip + " connected | " +
              plural(cfg.cameras.size(), " camera", " cameras"));
  for (const CameraConfig& config : cfg.cameras) addLine(l, Tag::OK, cameraLine(config));
}

void applyStep(Core& core, const AtemStep& step, int64_t now, CoreActions& out) {
  if (step.event != AtemEvent::NONE) ++core.viewVersion;
  switch (step.event) {
    case AtemEvent::NONE:
      break;
    case AtemEvent::ANNOUNCED:
      core.refused = false;
      core.connectedSinceNs = now;
      addLine(out.lines, Tag::ATEM, "SYN-ACK received, session 0x" + hex16(core.session.sessionId));
      if (core.phase == Phase::WAITING) {
        logConnected(core, out);
        core.phase = Phase::WARMING;
        core.phaseEndNs = now + kSettleNs + kWarmUpNs;
      } else if (core.wasLost) {
        addLine(out.lines, Tag::OK, "ATEM " + core.config.top.atem_ip + " session restored");
      }
      core.wasLost = false;
      break;
    case AtemEvent::REFUSED:
      core.refused = true;
      addLine(out.lines, Tag::ERR, "ATEM: Connection refused (switcher full)");
      break;
    case AtemEvent::REOPEN: {
      uint64_t leftOut = 0;
      if (lineDue(core.reopens, now, kFloodLinesNs, leftOut))
        addLine(out.lines, Tag::ATEM, "Reconnect requested, resending SYN" + leftOutText(leftOut));
      break;
    }
    case AtemEvent::LOST:
      core.wasLost = true;
      core.connectedSinceNs = 0;
      ++core.sessionLosses;
      addLine(out.lines, Tag::WARN,
              "ATEM " + core.config.top.atem_ip +
                  " silent for 5 s: the session is lost, opening a new one");
      if (core.config.loss == SwitcherLoss::OFF && core.phase == Phase::RUNNING) {
        core.forcedOff = true;
        core.outputs.due = true;
        dispatchCameras(core, now, out);
      }
      break;
    case AtemEvent::GAP_SKIPPED: {
      std::string ids;
      int count = 0;
      for (int i = 0; i < step.missingRuns; ++i) {
        const uint16_t from = step.missing[i][0], to = step.missing[i][1];
        ids += (i == 0 ? "" : i + 1 < step.missingRuns ? ", " : " and ") + std::to_string(from);
        if (to != from) ids += " to " + std::to_string(to);
        count += ((to - from) & kAtemIdMask) + 1;
      }
      core.skippedPackets += static_cast<uint64_t>(count);
      addLine(out.lines, Tag::WARN,
              std::string(count == 1 ? "ATEM packet " : "ATEM packets ") + ids +
                  " never came within 1 s; going on without " + (count == 1 ? "it" : "them"));
      break;
    }
  }
}

QUORVEL_HOT void toSwitcher(const Core& core, const AtemStep& step, CoreActions& out) {
  if (step.ackCount > 0) {
    out.acks.insert(out.acks.end(), step.acks, step.acks + step.ackCount);
    out.session = core.session.sessionId;
  }
  if (step.sendHello) out.sendHello = true;
}

constexpr int64_t kNoAnswerFirstNs = 10'000 * kNsPerMs;
constexpr int64_t kNoAnswerAgainNs = 60'000 * kNsPerMs;

// Once the switcher has named its sources: a camera that watches one it does not have can never
// light, and is told so once.
void checkSources(Core& core, CoreActions& out) {
  if (core.session.tables.nameCount == 0) return;
  for (auto& cp : core.cameras) {
    CoreCamera& c = *cp;
    const int32_t source = c.config.watch.source;
    if (c.retiring || c.warnedSource == source ||
        sourceNames(core.session.tables, static_cast<uint16_t>(source)))
      continue;
    c.warnedSource = source;
    addLine(out.lines, Tag::WARN,
            who(core, c) + "the switcher names no source " + std::to_string(source) +
                "; this lamp can never light (check watch_input_id)");
  }
}

void openSession(Core& core, int64_t now, CoreActions& out) {
  core.awaitingAnswer = true;
  core.awaitingSinceNs = now;
  core.noAnswerLineNs = now + kNoAnswerFirstNs;
  core.saidNoAnswer = false;
  addLine(out.lines, Tag::INFO,
          "Connecting to ATEM at " + addressText(core.config.top.atem_ip, core.config.atemHost) +
              "...");
  out.reopenSwitcher = true;
  AtemStep step;
  atemOpen(core.session, now, step);
  toSwitcher(core, step, out);
}

}  // namespace

void deliveryLines(const std::string& who, const CameraConfig& camera, TallyState state,
                   const DeliveryReport& report, LogLines& lines) {
  for (const LinkFailure& f : report.failures)
    addLine(lines,
            f.via == LinkFailure::HTTP  ? Tag::ERR_HTTP
            : f.via == LinkFailure::TCP ? Tag::ERR_TCP
                                        : Tag::ERR_UDP,
            who + failureText(f));
  // TCP as a fallback is news; for a camera reached by TCP first it is every delivery.
  if (report.tcpSent && !camera.ladder.tcpFirst)
    addLine(lines, Tag::SEND_TCP,
            who + camera.settings.visca_host + ":" + std::to_string(camera.settings.visca_port) +
                "  " + bytesToHexString(*report.tcpSent));
  if (report.status == DeliveryStatus::FAILED)
    addLine(lines, Tag::WARN,
            who + "All send attempts failed for state " + tallyStateToString(state));
}

void coreStart(Core& core, const Config& config, const std::string& path, int64_t now,
               CoreActions& out) {
  core.config = config;
  core.path = path;
  for (const CameraConfig& config : config.cameras) addCamera(core, config, out);
  outputsConfigure(core.outputs, config, out.lines, out.outputs);
  openSession(core, now, out);
  core.starting = true;
}

void coreSwitcherFailed(Core& core, const LinkFailure& failure, CoreActions& out) {
  addLine(out.lines, Tag::ERR, failureText(failure));
  if (!core.starting) return;
  // Nothing has been sent to a camera yet; nothing is.
  addLine(out.lines, Tag::ERR, "Failed to initiate ATEM connection");
  core.done = true;
  core.exitStatus = 1;
}

void coreSwitcherSendFailed(Core&, const LinkFailure& failure, CoreActions& out) {
  addLine(out.lines, Tag::ERR, failureText(failure));
}

QUORVEL_HOT void coreSwitcherDatagram(Core& core, const uint8_t* data, size_t size, int64_t now,
                                      CoreActions& out) {
  AtemStep step;
  atemReceive(core.session, data, size, now, step);
  applyStep(core, step, now, out);
  // A new session's initial state is in: lamps darkened for a lost switcher follow it again.
  if (step.walked & kWalkInitialDone) core.forcedOff = false;
  // The camera datagrams go first, the acknowledgement right after them, the outputs last. The
  // switcher marks the end of its initial state (InCm): the cameras need not wait for the end
  // of the warm-up.
  if (step.walked) {
    if (core.phase == Phase::WARMING && (step.walked & kWalkInitialDone))
      dispatchCameras(core, now, out, true);  // cameras new to this switcher
    dispatchCameras(core, now, out);          // and those that had a state from another
    core.outputs.due = true;
  }
  toSwitcher(core, step, out);
  if (core.awaitingAnswer && core.session.lastReceiveNs == now) {
    core.awaitingAnswer = false;
    if (core.saidNoAnswer) addLine(out.lines, Tag::OK, "ATEM " + core.config.top.atem_ip + " answers");
  }
  if (step.walked & kWalkInitialDone) checkSources(core, out);
}

void coreForeignDatagram(Core& core, uint32_t ip, uint16_t port, int64_t now, CoreActions& out) {
  uint64_t leftOut = 0;
  if (!lineDue(core.foreign, now, kForeignLinesNs, leftOut)) return;
  addLine(out.lines, Tag::WARN,
          "Ignoring datagrams that do not come from the switcher: " +
              std::to_string(core.foreign.count) + " so far, the latest from " + ipv4Text(ip) +
              ":" + std::to_string(port));
}

QUORVEL_HOT void coreDelivered(Core& core, uint32_t id, const DeliveryReport& report, int64_t now,
                               CoreActions& out) {
  CoreCamera* cp = findCamera(core, id);
  if (!cp) return;
  CoreCamera& c = *cp;
  deliveryLines(who(core, c), c.config, c.current.state, report, out.lines);
  if (!report.outcome.empty()) c.outcome = report.outcome;
  for (const LinkFailure& f : report.failures) ++c.failures[f.via];
  if (report.status == DeliveryStatus::RUNNING) return;
  ++core.viewVersion;
  if (report.status == DeliveryStatus::DELIVERED) {
    const LinkFailure::Via via = c.config.http   ? LinkFailure::HTTP
                                 : report.tcpSent ? LinkFailure::TCP
                                                  : LinkFailure::UDP;
    ++c.deliveries[via];
    c.via = c.config.http ? c.outcome : via == LinkFailure::TCP ? "TCP" : "UDP";
    c.deliveredAtNs = now;
    c.delivered = true;
    c.lastDelivered = c.current.state;
    if (c.current.change && core.config.top.log_changes)
      addLine(out.lines, Tag::TALLY,
              c.config.settings.name + " " + tallyStateToString(c.current.state) + " (" +
                  reasonText(core, c, c.currentTally) + ")");
  } else {
    ++c.failed;
    c.via = "failed";
  }
  startDelivery(c, scheduleDone(c.schedule, report.status == DeliveryStatus::DELIVERED, now),
                c.tally, out);
}

void coreCameraAnswer(Core& core, uint32_t id, const uint8_t* data, size_t size,
                      const Bytes* command, int64_t now, CoreActions& out) {
  CoreCamera* c = findCamera(core, id);
  if (!c) return;
  ViscaReply r = parseViscaReply(data, size);
  if (r.kind != ViscaAnswer::NONE) {
    ++c->answers[r.kind == ViscaAnswer::ACK ? 0 : r.kind == ViscaAnswer::COMPLETION ? 1 : 2];
    ++core.viewVersion;
  }
  if (r.kind == ViscaAnswer::ACK || r.kind == ViscaAnswer::COMPLETION) {
    c->answering = true;
    c->answerError = -1;
  } else if (r.kind == ViscaAnswer::ERROR) {
    c->answerError = r.error;
    // Anyone who can send from the camera's address can answer: one line per delivery and per
    // 10 s at most.
    uint64_t leftOut = 0;
    if (c->answerLined) {
      ++c->answerLines.count;
      ++c->answerLines.leftOut;
      return;
    }
    if (!lineDue(c->answerLines, now, kFloodLinesNs, leftOut)) return;
    c->answerLined = true;
    char code[8];
    std::snprintf(code, sizeof code, "%02x", r.error);
    addLine(out.lines, Tag::WARN,
            who(core, *c) + "Camera answered " + (command ? bytesToHexString(*command) : "?") +
                " with error " + code + " (" + viscaErrorText(r.error) + ")" +
                leftOutText(leftOut));
  }
}

bool coreSilenceDue(const Core& core, int64_t now) {
  return now >= atemDeadline(core.session);
}

void coreTick(Core& core, int64_t now, CoreActions& out) {
  if (core.awaitingAnswer && now >= core.noAnswerLineNs) {
    addLine(out.lines, Tag::WARN,
            "No answer from the switcher at " +
                addressText(core.config.top.atem_ip, core.config.atemHost) + " after " +
                std::to_string((now - core.awaitingSinceNs) / 1'000'000'000) +
                " s; check atem_ip and that the switcher is on this network");
    core.saidNoAnswer = true;
    core.noAnswerLineNs = now + kNoAnswerAgainNs;
  }
  if (now >= atemDeadline(core.session)) {
    AtemStep step;
    atemTick(core.session, now, step);
    toSwitcher(core, step, out);
    applyStep(core, step, now, out);
  }
  if (core.phase == Phase::WARMING && now >= core.phaseEndNs) dispatchCameras(core, now, out, true);
  dispatchCameras(core, now, out);  // hold-offs that ended
  if (core.phase != Phase::RUNNING) return;
  for (auto& cp : core.cameras) {
    CoreCamera& c = *cp;
    if (c.retiring) continue;
    startDelivery(c, scheduleRetry(c.schedule, now), c.tally, out);
    startDelivery(c, scheduleRefresh(c.schedule, c.tally.state, refreshNs(core, c), now), c.tally,
                  out);
  }
}

void coreStop(Core& core, const int* signos, size_t count, int64_t now, CoreActions& out) {
  for (size_t i = 0; i < count; ++i) {
    // The empty line first: the "^C" a terminal echoes then stands on a line of its own.
    addLine(out.lines, Tag::NONE, "");
    addLine(out.lines, Tag::INFO,
            "Caught signal " + std::to_string(signos[i]) + ", shutting down...");
  }
  if (count > 0 && core.phase != Phase::STOPPING) beginStop(core, now, out);
}

void coreReload(Core& core, const LoadedConfig& loaded, int64_t now, CoreActions& out) {
  ++core.viewVersion;
  addLine(out.lines, Tag::INFO, "Reloading config from: " + core.path);
  out.notify.push_back("RELOADING=1\nMONOTONIC_USEC=" + std::to_string(now / 1000));
  const std::string problem =
      loaded.ok ? descriptorProblem(loaded.config, core.openFileLimit) : loaded.error;
  // The warnings first, whatever comes of it: they may say why the file is refused.
  for (const ConfigWarning& w : loaded.warnings) addLine(out.lines, Tag::WARN, w.text);
  if (!problem.empty()) {
    addLine(out.lines, Tag::ERR, problem);
    addLine(out.lines, Tag::WARN, "The configuration in use stays");
    out.notify.push_back("READY=1");
    return;
  }
  const Config& next = loaded.config;

  // The same name may now resolve elsewhere: the address decides.
  const bool newSwitcher =
      next.top.atem_ip != core.config.top.atem_ip || next.atemHost != core.config.atemHost;
  const bool running = core.phase == Phase::RUNNING;
  std::vector<std::unique_ptr<CoreCamera>> kept;
  for (const CameraConfig& config : next.cameras) {
    auto old = std::find_if(core.cameras.begin(), core.cameras.end(), [&](const auto& c) {
      return c && !c->retiring && c->config.settings.name == config.settings.name;
    });
    // A camera at another address, or with other commands, is a new one on a link of its own;
    // the old one gets OFF where it was, below.
    if (old == core.cameras.end() || !sameCamera((*old)->config.settings, config.settings, true)) {
      auto c = std::make_unique<CoreCamera>();
      c->id = core.nextId++;
      c->config = config;
      out.cameras.push_back({CameraAction::OPEN, c->id, &c->config, {}});
      addLine(out.lines, Tag::OK, cameraLine(config));
      kept.push_back(std::move(c));
      continue;
    }
    std::unique_ptr<CoreCamera> c = std::move(*old);
    // Only a state that the new settings derive differently is sent.
    c->config = config;
    if (running && currentTally(core, *c).state != c->schedule.gate.lastSent)
      c->schedule.started = false;  // sent below as an initial state
    kept.push_back(std::move(c));
  }
  // Cameras removed or moved: their lamps may be lit, whatever the session is doing.
  for (auto& old : core.cameras) {
    if (!old) continue;
    old->retiring = true;
    sendOff(*old, now, out);
    kept.push_back(std::move(old));
  }
  core.cameras = std::move(kept);
  core.config = next;
  outputsConfigure(core.outputs, next, out.lines, out.outputs);

  if (newSwitcher) {
    core.session = AtemSession();
    core.wasLost = core.forcedOff = core.refused = false;
    // Another switcher is a loss of this one: with "off" the lamps are dark until the new one's
    // state is in.
    if (next.loss == SwitcherLoss::OFF && running) {
      core.forcedOff = true;
      dispatchCameras(core, now, out);
    }
    core.phase = Phase::WAITING;
    openSession(core, now, out);
  } else {
    if (running) dispatchCameras(core, now, out, true);  // the cameras that start afresh
    checkSources(core, out);
  }
  addLine(out.lines, Tag::OK,
          "Config reloaded: " + plural(core.config.cameras.size(), " camera", " cameras"));
  out.notify.push_back("READY=1");
}

void coreWakeEnd(Core& core, CoreActions& out) {
  core.starting = false;
  for (size_t i = 0; i < core.cameras.size();) {
    CoreCamera& c = *core.cameras[i];
    if (c.retiring && !c.schedule.running && core.phase != Phase::STOPPING) {
      out.cameras.push_back({CameraAction::CLOSE, c.id, nullptr, {}});
      core.cameras.erase(core.cameras.begin() + static_cast<long>(i));
    } else {
      ++i;
    }
  }
  if (core.phase != Phase::STOPPING || core.done) return;
  for (const auto& c : core.cameras)
    if (c->schedule.running) return;
  addLine(out.lines, Tag::INFO, "Goodbye!");
  core.done = true;
}

int64_t coreDeadline(const Core& core) {
  int64_t next = atemDeadline(core.session);
  if (core.phase == Phase::RUNNING) next = std::min(next, outputsDeadline(core.outputs));
  if (core.awaitingAnswer) next = std::min(next, core.noAnswerLineNs);
  if (core.phase == Phase::WARMING) next = std::min(next, core.phaseEndNs);
  if (core.phase != Phase::RUNNING) return next;
  for (const auto& cp : core.cameras) {
    const CoreCamera& c = *cp;
    if (!c.retiring)  // c.tally: derived by this wake's timers
      next = std::min(next, scheduleDeadline(c.schedule, c.tally.state, refreshNs(core, c), true));
  }
  return next;
}

static std::string status(const Core& core);

void coreFeedOutputs(Core& core, int64_t now, CoreActions& out) {
  // Before the initial state is in, the outputs show what they showed, as the cameras do.
  if (core.phase != Phase::RUNNING && core.phase != Phase::STOPPING && !core.forcedOff) return;
  if (!core.outputs.due && now < outputsDeadline(core.outputs)) return;
  LampModel model;
  model.tables = &core.session.tables;
  model.dark = core.forcedOff || core.phase == Phase::STOPPING;
  const size_t before = out.outputs.size();
  outputsFeed(core.outputs, model, now, out.outputs);
  if (out.outputs.size() != before) ++core.viewVersion;
}

void coreWebView(const Core& core, int64_t now, WebView& view) {
  view = WebView();
  view.nowNs = now;
  WebSwitcher& w = view.switcher;
  w.address = addressText(core.config.top.atem_ip, core.config.atemHost);
  const bool connected = core.session.state == CONNECTED && core.session.announced;
  w.state = connected        ? "connected"
            : core.wasLost   ? "lost"
            : core.awaitingAnswer && !core.saidNoAnswer ? "connecting"
                                                        : "waiting";
  w.session = connected ? core.session.sessionId : 0;
  w.connectedSinceNs = connected ? core.connectedSinceNs : 0;
  w.foreignDropped = core.foreign.count;
  w.skipped = core.skippedPackets;
  for (const auto& cp : core.cameras) {
    const CoreCamera& c = *cp;
    if (c.retiring) continue;
    WebRow row;
    row.name = c.config.settings.name;
    row.kind = c.config.http ? "HTTP" : c.config.ladder.framed ? "VISCA over IP" : "VISCA";
    row.address = cameraTarget(c.config);
    if (row.address.rfind("HTTP ", 0) == 0) row.address.erase(0, 5);
    row.source = c.config.watch.source;
    if (const SourceNames* n = sourceNames(core.session.tables,
                                           static_cast<uint16_t>(c.config.watch.source)))
      row.sourceName = n->longName;
    row.lamp = !c.delivered                ? WebLamp::OFF
               : c.lastDelivered == PROGRAM ? WebLamp::PROGRAM
               : c.lastDelivered == PREVIEW ? WebLamp::PREVIEW
                                            : WebLamp::OFF;
    row.lastDeliveryNs = c.deliveredAtNs;
    row.outcome = c.via;
    if (c.answerError >= 0) {
      char code[16];
      std::snprintf(code, sizeof code, "error %02x", c.answerError);
      row.answers = code;
    } else if (c.answering) {
      row.answers = "answering";
    }
    row.failures = static_cast<uint64_t>(c.failed);
    view.rows.push_back(std::move(row));
  }
  for (const auto& f : core.outputs.tsl) {
    WebRow row;
    row.name = f->config.name;
    row.camera = false;
    row.kind = std::string("TSL ") + (f->config.v5 ? "5.0" : "3.1") +
               (f->config.tcp ? " over TCP" : " over UDP");
    row.address = ipv4Text(f->config.host) + ":" + std::to_string(f->config.port);
    row.outcome = !f->config.tcp ? "sending" : f->tcpUp ? "connected" : "not connected";
    view.rows.push_back(std::move(row));
  }
  if (core.outputs.server) {
    const ServerFeed& s = *core.outputs.server;
    WebRow row;
    row.name = "tally server";
    row.camera = false;
    row.kind = "tally server";
    row.address = ipv4Text(s.config.listen.host) + ":" + std::to_string(s.config.listen.port);
    row.outcome = std::to_string(s.clients) + (s.clients == 1 ? " client" : " clients");
    view.rows.push_back(std::move(row));
  }
}

void coreWebMetrics(const Core& core, WebMetrics& m) {
  static const char* const kVia[] = {"UDP", "TCP", "HTTP"};
  static const char* const kAnswers[] = {"ack", "completion", "error"};
  for (const auto& cp : core.cameras) {
    const CoreCamera& c = *cp;
    if (c.retiring) continue;
    for (int i = 0; i < 3; ++i) {
      m.deliveries.push_back({c.config.settings.name, kVia[i], c.deliveries[i]});
      m.failures.push_back({c.config.settings.name, kVia[i], c.failures[i]});
      m.answers.push_back({c.config.settings.name, kAnswers[i], c.answers[i]});
    }
  }
  m.sessionLosses = core.sessionLosses;
  m.reopens = core.reopens.count;
  m.foreignDatagrams = core.foreign.count;
  m.skippedPackets = core.skippedPackets;
  m.tallyServerClients = core.outputs.server ? core.outputs.server->clients : 0;
  m.tslReceivers = 0;
  for (const auto& f : core.outputs.tsl) m.tslReceivers += !f->config.tcp || f->tcpUp;
}

void coreOutputFailed(Core& core, uint32_t id, const std::string& error, CoreActions& out) {
  addLine(out.lines, Tag::ERR, outputName(core.outputs, id) + ": " + error);
}

void coreOutputTcp(Core& core, uint32_t id, bool up, const std::string& why, CoreActions& out) {
  ++core.viewVersion;
  outputsTcp(core.outputs, id, up, why, out.lines);
}

void coreOutputSendFailed(Core& core, uint32_t id, const std::string& why, int64_t now,
                          CoreActions& out) {
  uint64_t leftOut = 0;
  if (lineDue(core.outputSends, now, kFloodLinesNs, leftOut))
    addLine(out.lines, Tag::ERR_UDP,
            outputName(core.outputs, id) + ": " + why + leftOutText(leftOut));
}

void coreTallyClients(Core& core, size_t clients) {
  ++core.viewVersion;
  outputsClients(core.outputs, clients);
}

void coreTallyRefused(Core& core, const std::string& peer, int64_t now, CoreActions& out) {
  outputsRefused(core.outputs, peer, now, out.lines);
}

// Quoted from the file, names may hold anything; the status is one line all the same.
std::string coreStatus(const Core& core) {
  return printable(status(core));
}

static std::string status(const Core& core) {
  std::string s;
  const std::string& ip = core.config.top.atem_ip;
  if (core.session.state == CONNECTED && core.session.announced)
    s = "connected to " + ip;
  else if (core.refused)
    s = "refused as full by " + ip;
  else if (core.wasLost)
    s = "lost " + ip + ", reconnecting";
  else
    s = "connecting to " + ip;
  if (core.phase == Phase::STOPPING) s = "stopping, " + s;
  for (const auto& cp : core.cameras) {
    const CoreCamera& c = *cp;
    if (c.retiring) continue;
    s += " \xC2\xB7 " + c.config.settings.name + " " +
         (c.delivered ? tallyStateToString(c.lastDelivered) : "-");
    std::string notes;
    if (core.session.tables.nameCount > 0) notes = inputText(core, c.config.watch.source);
    if (c.answerError >= 0) {
      char code[16];
      std::snprintf(code, sizeof code, "error %02x", c.answerError);
      notes += (notes.empty() ? "" : ", ") + std::string(code);
    } else if (c.answering) {
      notes += (notes.empty() ? "" : ", ") + std::string("answering");
    }
    if (!c.outcome.empty()) notes += (notes.empty() ? "" : ", ") + c.outcome;
    if (c.failed > 0) notes += (notes.empty() ? "" : ", ") + std::to_string(c.failed) + " failed";
    if (!notes.empty()) s += " (" + notes + ")";
  }
  const std::string outputs = outputsStatus(core.outputs);
  if (!outputs.empty()) s += " \xC2\xB7 " + outputs;
  return s;
}
