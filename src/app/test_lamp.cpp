#include "app/test_lamp.h"

#include <poll.h>
#include <signal.h>

#include <algorithm>
#include <cctype>
#include <cstdlib>

#include "base/clock.h"
#include "base/log.h"
#include "core/core.h"
#include "link/camera_link.h"
#include "link/event_loop.h"
#include "link/http_camera.h"
#include "visca/visca_reply.h"

namespace {

struct Lamp {
  const CameraConfig& camera;
  CameraLink link;
  HttpAgent agent;  // an HTTP camera's
  HttpCamera web;
  EventLoop loop;
  bool stopped = false;  // SIGINT or SIGTERM: straight to OFF
  bool allSent = true;
};

void print(LogLines& lines) {
  writeLines(lines);
}

// Prints what the camera answered on the socket of the last delivery.
void readAnswers(Lamp& l) {
  uint8_t buf[256];
  size_t n = 0;
  LogLines lines;
  const std::string who = l.camera.settings.name + ": ";
  while (cameraReadAnswer(l.link.answers, buf, sizeof buf, n)) {
    const ViscaReply r = parseViscaReply(buf, n);
    const std::string bytes = bytesToHexString(buf, n);
    if (r.kind == ViscaAnswer::ERROR) {
      char code[8];
      std::snprintf(code, sizeof code, "%02x", r.error);
      addLine(lines, Tag::WARN,
              who + "Camera answered " + bytes + " with error " + code + " (" +
                  viscaErrorText(r.error) + ")");
    } else {
      addLine(lines, Tag::OK,
              who + "Camera answered " + bytes +
                  (r.kind == ViscaAnswer::ACK          ? " (taken)"
                   : r.kind == ViscaAnswer::COMPLETION ? " (done)"
                                                       : ""));
    }
  }
  print(lines);
}

// Waits until `until`, printing answers as they come; a stop signal ends the wait.
void hold(Lamp& l, int64_t until) {
  while (!l.stopped) {
    const int64_t left = until - monotonicNs();
    if (left <= 0) return;
    pollfd p[2] = {{l.loop.signals, POLLIN, 0}, {l.link.answers.fd, POLLIN, 0}};
    poll(p, l.link.answers.fd >= 0 ? 2 : 1, static_cast<int>((left + kNsPerMs - 1) / kNsPerMs));
    if (p[0].revents) {
      while (loopTakeSignal(l.loop)) l.stopped = true;
    }
    if (p[1].revents) readAnswers(l);
  }
}

// One delivery of `state` to an HTTP camera, its requests one after the other, to the end.
void deliverHttp(Lamp& l, TallyState state, DeliveryReport& report) {
  httpDeliver(l.agent, l.web, state, monotonicNs(), report);
  std::vector<HttpDone> done;
  while (report.status == DeliveryStatus::RUNNING) {
    int running = 0;
    l.agent.curl.multi_poll(l.agent.multi, nullptr, 0, 100, nullptr);
    l.agent.curl.multi_perform(l.agent.multi, &running);
    done.clear();
    httpAgentReap(l.agent, monotonicNs(), done);
    for (const HttpDone& d : done) {
      report.status = d.report.status;
      report.failures.insert(report.failures.end(), d.report.failures.begin(),
                             d.report.failures.end());
      report.outcome = d.report.outcome;
    }
  }
  l.agent.changes.clear();
}

// One delivery of `state`, to its end.
void deliver(Lamp& l, TallyState state) {
  const std::string who = l.camera.settings.name + ": ";
  DeliveryReport report;
  LogLines lines;
  if (l.camera.http) {
    deliverHttp(l, state, report);
    deliveryLines(who, l.camera, state, report, lines);
    if (report.status == DeliveryStatus::DELIVERED)
      addLine(lines, Tag::OK, who + tallyStateToString(state) + " sent (" + report.outcome + ")");
    else
      l.allSent = false;
    return print(lines);
  }
  cameraDeliver(l.link, buildLadder(l.camera.commands.forms[state], l.camera.ladder), monotonicNs(),
                report);
  while (report.status == DeliveryStatus::RUNNING) {
    deliveryLines(who, l.camera, state, report, lines);
    report.failures.clear();
    pollfd p{l.link.tcp, POLLOUT, 0};
    const int64_t left = l.link.tcpDeadlineNs - monotonicNs();
    const bool ready = poll(&p, 1, static_cast<int>(std::max<int64_t>(0, left / kNsPerMs))) > 0;
    cameraContinue(l.link, ready, ready ? monotonicNs() : l.link.tcpDeadlineNs, report);
  }
  deliveryLines(who, l.camera, state, report, lines);
  if (report.status == DeliveryStatus::DELIVERED)
    addLine(lines, Tag::OK, who + tallyStateToString(state) + " sent");
  else
    l.allSent = false;
  print(lines);
}

}  // namespace

int runTestLamp(const Config& config, const std::vector<std::string>& operands) {
  const std::string& name = operands.at(0);
  auto found = std::find_if(config.cameras.begin(), config.cameras.end(),
                            [&](const CameraConfig& c) { return c.settings.name == name; });
  if (found == config.cameras.end()) {
    std::string names;
    for (const CameraConfig& c : config.cameras)
      names += (names.empty() ? "" : ", ") + c.settings.name;
    writeLine(Tag::ERR, "No camera named '" + name + "'; the cameras are " + names);
    return 1;
  }
  std::string word = operands.at(1);
  for (char& ch : word) ch = static_cast<char>(std::toupper(static_cast<unsigned char>(ch)));
  TallyState state = word == "PROGRAM" ? PROGRAM : word == "PREVIEW" ? PREVIEW : OFF;
  if (word != "PROGRAM" && word != "PREVIEW" && word != "OFF") {
    writeLine(Tag::ERR, "'" + operands[1] + "' is no state: PROGRAM, PREVIEW or OFF");
    return 1;
  }
  double seconds = 5;
  if (operands.size() > 2) {
    char* end = nullptr;
    seconds = std::strtod(operands[2].c_str(), &end);
    if (end == operands[2].c_str() || *end != '\0' || !(seconds >= 0) || seconds > 86400) {
      writeLine(Tag::ERR, "'" + operands[2] + "' is no number of seconds");
      return 1;
    }
  }

  Lamp l{*found, {}, {}, {}, {}};
  std::string error;
  if (!loopOpen(l.loop, error)) {
    writeLine(Tag::ERR, "Cannot set up the event loop: " + error);
    return 1;
  }
  if (l.camera.http) {
    if (!httpAgentOpen(l.agent, error)) {
      writeLine(Tag::ERR, "Cannot set up HTTP: " + error);
      return 1;
    }
    httpCameraOpen(l.agent, l.web, l.camera);
  }
  cameraSetup(l.link, l.camera);
  cameraPrepare(l.link);
  const std::string where = l.camera.http
                                ? "by HTTP"
                                : "at " + addressText(l.camera.settings.visca_host, l.camera.host) +
                                      ":" + std::to_string(l.camera.port);
  writeLine(Tag::INFO, "Camera " + l.camera.settings.name + " " + where + ": " +
                           tallyStateToString(state) + " for " +
                           (operands.size() > 2 ? operands[2] : "5") + " s, then OFF");
  const int64_t end = monotonicNs() + static_cast<int64_t>(seconds * 1e9);
  deliver(l, state);
  while (!l.stopped && monotonicNs() < end) {
    const int64_t refresh = l.camera.refreshNs;
    hold(l, refresh > 0 ? std::min(end, monotonicNs() + refresh) : end);
    if (l.stopped || monotonicNs() >= end) break;
    cameraPrepare(l.link);
    deliver(l, state);
  }
  cameraPrepare(l.link);
  deliver(l, OFF);
  hold(l, monotonicNs() + kAnswerWindowNs);
  cameraClose(l.link);
  if (l.camera.http) {
    httpCameraClose(l.agent, l.web);
    httpAgentClose(l.agent);
  }
  loopClose(l.loop);
  return l.allSent ? 0 : 1;
}
