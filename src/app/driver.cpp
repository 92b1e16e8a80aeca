#include "app/driver.h"

#include <signal.h>

#include <algorithm>
#include <cstdlib>
#include <ctime>
#include <memory>
#include <string>
#include <vector>

#include "app/event_tags.h"
#include "app/output_links.h"
#include "base/clock.h"
#include "base/hot.h"
#include "base/log.h"
#include "core/core.h"
#include "link/atem_link.h"
#include "link/camera_link.h"
#include "link/event_loop.h"
#include "link/http_camera.h"
#include "link/log_writer.h"
#include "link/notify.h"

namespace {

// One camera's link, by the core's id for the camera: VISCA sockets, or HTTP requests.
struct Slot {
  uint32_t id = 0;
  bool http = false;
  CameraLink link;
  HttpCamera web;
};

struct Driver {
  Core core;
  EventLoop loop;
  AtemLink atem;
  Notifier notify;
  HttpAgent agent;                           // opened with the first HTTP camera
  std::vector<std::unique_ptr<Slot>> slots;  // stable: curl keeps pointers to their cameras
  OutputLinks outputs;
  int64_t datagramNs = 0;  // the switcher datagram being handled, for the page's latency
  CoreActions acts;
  DeliveryReport report;
  LogLines pending;  // written at the end of the wake, after the datagrams
  LogWriter log;
  bool logWatched[2] = {};  // standard output, standard error: watched for room
};

Slot* findSlot(Driver& d, uint32_t id) {
  for (auto& s : d.slots)
    if ((s->id & kIdMask) == (id & kIdMask)) return s.get();
  return nullptr;
}

// Curl's wishes about its sockets, carried out at once: a number it gives up may be taken by
// the next socket opened.
void watchHttp(Driver& d) {
  for (const HttpAgent::SocketChange& c : d.agent.changes) {
    if (c.what == CURL_POLL_REMOVE) {
      loopUnwatch(d.loop, c.fd);
      continue;
    }
    uint32_t events = 0;
    if (c.what & CURL_POLL_IN) events |= EPOLLIN;
    if (c.what & CURL_POLL_OUT) events |= EPOLLOUT;
    loopWatch(d.loop, c.fd, events, tag(kTagHttp, 0, c.fd));
  }
  d.agent.changes.clear();
}

void openLink(Driver& d, const CameraAction& act) {
  auto slot = std::make_unique<Slot>();
  slot->id = act.camera;
  slot->http = act.config->http;
  std::string error;
  if (slot->http) {
    if (!d.agent.multi && !httpAgentOpen(d.agent, error))
      d.pending.push_back({Tag::ERR_HTTP, "Cannot set up libcurl (" + error + ")"});
    httpCameraOpen(d.agent, slot->web, *act.config);
  } else {
    cameraSetup(slot->link, *act.config);
  }
  d.slots.push_back(std::move(slot));
}

void closeLink(Driver& d, Slot* s) {
  if (s->http)
    httpCameraClose(d.agent, s->web);
  else
    cameraClose(s->link);
  watchHttp(d);
  d.slots.erase(
      std::find_if(d.slots.begin(), d.slots.end(), [&](const auto& p) { return p.get() == s; }));
}

void reportTo(Driver& d, Slot& s, bool ready, int64_t now);

// Curl ran: the requests it finished go to the core into `out`, which may start the next ones.
void reapHttp(Driver& d, int64_t now, CoreActions& out) {
  watchHttp(d);
  std::vector<HttpDone> done;
  httpAgentReap(d.agent, now, done);
  watchHttp(d);
  for (const HttpDone& one : done)
    for (const auto& s : d.slots)
      if (&s->web == one.camera) coreDelivered(d.core, s->id, one.report, now, out);
}

// The time from the switcher datagram to a camera's send, for the page's metrics while it runs.
void observeLatency(Driver& d) {
  if (d.outputs.web && d.datagramNs) webObserve(d.outputs.latency, monotonicNs() - d.datagramNs);
}

// Carries out what the core asked for: the cameras first (each delivery's outcome goes back to
// the core, which may start the next), then the switcher's socket; the lines wait for the end
// of the wake.
QUORVEL_HOT void perform(Driver& d, int64_t now) {
  CoreActions& a = d.acts;
  for (size_t i = 0; i < a.cameras.size(); ++i) {
    const CameraAction act = a.cameras[i];  // a copy: reporting a delivery may add actions
    if (act.kind == CameraAction::OPEN) {
      openLink(d, act);
      continue;
    }
    Slot* s = findSlot(d, act.camera);
    if (!s) continue;
    if (act.kind == CameraAction::CLOSE) {
      closeLink(d, s);
      continue;
    }
    d.report = DeliveryReport();
    if (s->http) {
      httpDeliver(d.agent, s->web, act.state, now, d.report);
      observeLatency(d);
      coreDelivered(d.core, s->id, d.report, now, a);
      reapHttp(d, now, a);  // an answer may have come at once
      continue;
    }
    cameraDeliver(s->link, act.ladder, now, d.report);
    observeLatency(d);
    coreDelivered(d.core, s->id, d.report, now, a);
  }
  LinkFailure failure;
  if (a.reopenSwitcher) {
    atemLinkClose(d.atem);
    if (atemLinkOpen(d.atem, d.core.config.atemHost, failure))
      loopWatch(d.loop, d.atem.fd, EPOLLIN, tag(kTagSwitcher, 0, d.atem.fd));
    else
      coreSwitcherFailed(d.core, failure, a);
  }
  if ((!a.acks.empty() || a.sendHello) && d.atem.fd >= 0 && !atemLinkSend(d.atem, a, failure))
    coreSwitcherSendFailed(d.core, failure, a);
  // The outputs, once the cameras and the switcher have had theirs.
  coreFeedOutputs(d.core, now, a);
  for (size_t i = 0; i < a.outputs.size(); ++i) {
    const OutputAction act = std::move(a.outputs[i]);  // an action may add actions
    outputsAct(d.outputs, act, now, a);
  }
  for (LogLine& l : a.lines) d.pending.push_back(std::move(l));
  for (const std::string& m : a.notify) notifySend(d.notify, m);
  a.clear();
}

// A TCP rung made progress, or its time ran out.
void reportTo(Driver& d, Slot& s, bool ready, int64_t now) {
  d.report = DeliveryReport();
  cameraContinue(s.link, ready, now, d.report);
  coreDelivered(d.core, s.id, d.report, now, d.acts);
  perform(d, now);
}

QUORVEL_HOT void onSwitcherReadable(Driver& d) {
  // Bounded, so that timers and other sockets get their turn under a flood.
  for (int i = 0; i < 64; ++i) {
    long n = atemLinkReceive(d.atem);
    if (n < 0) return;
    int64_t now = monotonicNs();
    if (atemLinkFromSwitcher(d.atem))
      coreSwitcherDatagram(d.core, d.atem.rx, static_cast<size_t>(n), now, d.acts);
    else
      coreForeignDatagram(d.core, d.atem.from.sin_addr.s_addr, ntohs(d.atem.from.sin_port), now,
                          d.acts);
    d.datagramNs = now;
    perform(d, now);
    d.datagramNs = 0;
  }
}

// Hands what the camera answered on one delivery's socket to the core, before the socket goes.
void readAnswers(Driver& d, Slot& s, const CameraLink::Answers& a, int64_t now) {
  uint8_t buf[256];
  size_t n = 0;
  while (cameraReadAnswer(a, buf, sizeof buf, n))
    coreCameraAnswer(d.core, s.id, buf, n, a.command, now, d.acts);
}

int64_t nextDeadline(const Driver& d) {
  int64_t next = std::min(coreDeadline(d.core), notifyDeadline(d.notify));
  next = std::min(next, d.agent.deadlineNs);
  for (const auto& s : d.slots)
    if (!s->http) next = std::min(next, cameraDeadline(s->link));
  next = std::min(next, outputsDeadline(d.outputs, monotonicNs()));
  return next;
}

void runTimers(Driver& d, int64_t now) {
  if (coreSilenceDue(d.core, now)) onSwitcherReadable(d);
  if (now >= d.agent.deadlineNs) {
    httpAgentRun(d.agent, -1, 0, now);
    reapHttp(d, now, d.acts);
    perform(d, now);
  }
  for (size_t i = 0; i < d.slots.size(); ++i) {
    if (d.slots[i]->http) continue;
    if (d.slots[i]->link.active && d.slots[i]->link.tcp >= 0 &&
        now >= d.slots[i]->link.tcpDeadlineNs)
      reportTo(d, *d.slots[i], false, now);
    Slot& s = *d.slots[i];
    CameraLink& l = s.link;
    if (now >= l.prepareAtNs) {
      readAnswers(d, s, l.retired, now);
      cameraPrepare(l);
    }
    if (l.answers.fd >= 0 && now >= l.answers.untilNs) {
      readAnswers(d, s, l.answers, now);
      cameraAnswerExpire(l, now);
    }
  }
  outputsTimers(d.outputs, now, d.acts);
  coreTick(d.core, now, d.acts);
  perform(d, now);
  notifyWatchdog(d.notify, now);
}

// Every signal waiting is read first, so that two stop signals give two lines and one stop.
void onSignals(Driver& d, int64_t now) {
  std::vector<int> stops;
  bool hangup = false;
  while (int signo = loopTakeSignal(d.loop)) {
    if (signo == SIGHUP)
      hangup = true;
    else
      stops.push_back(signo);
  }
  if (!stops.empty())
    coreStop(d.core, stops.data(), stops.size(), now, d.acts);
  else if (hangup && d.core.phase != Phase::STOPPING)
    coreReload(d.core, loadConfig(d.core.path, Reading::RELOAD), now, d.acts);
  perform(d, now);
}

QUORVEL_HOT void onEvent(Driver& d, uint64_t t, uint32_t events, int64_t now) {
  if (t == kSignalTag) return onSignals(d, now);
  const uint64_t kind = t >> 56;
  const uint32_t id = static_cast<uint32_t>((t >> 32) & kIdMask);
  const int fd = static_cast<int>(t & 0xFFFFFFFF);
  if (kind == kTagSwitcher) {
    if (fd == d.atem.fd) onSwitcherReadable(d);
    return;
  }
  if (kind == kTagLog) return;  // written at the end of the wake
  if (kind == kTagTsl || kind == kTagTally || kind == kTagWeb) {
    outputsEvent(d.outputs, kind, id, fd, events, now, d.acts);
    if (kind != kTagWeb) perform(d, now);  // the page's server has no news for the core
    return;
  }
  if (kind == kTagHttp) {
    httpAgentRun(d.agent, fd, events, now);
    reapHttp(d, now, d.acts);
    return perform(d, now);
  }
  Slot* s = findSlot(d, id);
  if (kind == kTagTcp && s && fd == s->link.tcp)
    reportTo(d, *s, events & (EPOLLOUT | EPOLLERR | EPOLLHUP), now);
}

// What waits until the wake's deliveries and acknowledgements are out: links that go, new TCP
// sockets watched, log lines, the status for systemd.
void afterWake(Driver& d, int64_t now) {
  coreWakeEnd(d.core, d.acts);
  perform(d, now);
  for (auto& s : d.slots) {
    CameraLink& l = s->link;
    // Once: a connection kept after its delivery must not keep waking the loop.
    if (l.tcpNew && l.tcp >= 0)
      loopWatch(d.loop, l.tcp, EPOLLOUT | EPOLLONESHOT, tag(kTagTcp, s->id, l.tcp));
    l.tcpNew = false;
  }
  logWriterAddAll(d.log, d.pending);
  logWriterFlush(d.log);
  // A stream that cannot take its lines now is watched until it can.
  LogStream* streams[2] = {&d.log.out, &d.log.err};
  for (int i = 0; i < 2; ++i) {
    const bool waiting = logStreamWaiting(*streams[i]);
    if (waiting && !d.logWatched[i])
      loopWatch(d.loop, streams[i]->fd, EPOLLOUT, tag(kTagLog, 0, streams[i]->fd));
    else if (!waiting && d.logWatched[i])
      loopUnwatch(d.loop, streams[i]->fd);
    d.logWatched[i] = waiting;
  }
  if (d.notify.fd >= 0) notifyStatus(d.notify, coreStatus(d.core));
  // The page's live streams hear every change, once the wake's datagrams and lines are out.
  outputsPublish(d.outputs, now);
  notifyWatchdog(d.notify, now);
}

void closeAll(Driver& d) {
  while (!d.slots.empty()) closeLink(d, d.slots.back().get());
  outputsClose(d.outputs);
  if (d.agent.multi) httpAgentClose(d.agent);
  atemLinkClose(d.atem);
  notifyClose(d.notify);
  loopClose(d.loop);
}

}  // namespace

int runBridge(const Config& config, const std::string& path, uint64_t openFileLimit) {
  auto driver = std::make_unique<Driver>();  // the session's tables are large for a stack
  Driver& d = *driver;
  std::string error;
  if (!loopOpen(d.loop, error)) {
    writeLine(Tag::ERR, "Cannot set up the event loop: " + error);
    return 1;
  }
  std::srand(static_cast<unsigned>(std::time(nullptr)));
  logWriterOpen(d.log);
  int64_t now = monotonicNs();
  d.core.openFileLimit = openFileLimit;
  d.outputs.loop = &d.loop;
  d.outputs.core = &d.core;
  coreStart(d.core, config, path, now, d.acts);
  perform(d, now);
  if (d.core.done) {
    logWriterAddAll(d.log, d.pending);
    logWriterDrain(d.log, 2000);
    closeAll(d);
    return d.core.exitStatus;
  }
  notifyOpen(d.notify, now);
  notifySend(d.notify, "READY=1");
  afterWake(d, now);

  epoll_event events[32];
  while (!d.core.done) {
    int n = loopWait(d.loop, nextDeadline(d), events, 32);
    now = monotonicNs();
    for (int i = 0; i < n && !d.core.done; ++i)
      onEvent(d, events[i].data.u64, events[i].events, now);
    now = monotonicNs();
    runTimers(d, now);
    afterWake(d, now);
  }
  logWriterDrain(d.log, 2000);
  closeAll(d);
  return d.core.exitStatus;
}
