#include "app/driver.h"

#include <signal.h>

#include <cstdlib>
#include <algorithm>
#include <ctime>
#include <memory>
#include <string>
#include <vector>

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
#include "link/tally_server.h"
#include "link/tsl_link.h"
#include "link/web_server.h"

namespace {

// Event tags: what the fd is, whose it is, and the fd itself (numbers are reused once closed).
enum : uint64_t {
  kTagSwitcher = 1,
  kTagTcp = 2,
  kTagLog = 3,
  kTagHttp = 4,
  kTagTsl = 5,
  kTagTally = 6,
  kTagWeb = 7,
};
constexpr uint32_t kIdMask = 0xFFFFFF;
uint64_t tag(uint64_t kind, uint32_t camera, int fd) {
  return kind << 56 | uint64_t{camera & kIdMask} << 32 | static_cast<uint32_t>(fd);
}

// One camera's link, by the core's id for the camera: VISCA sockets, or HTTP requests.
struct Slot {
  uint32_t id = 0;
  bool http = false;
  CameraLink link;
  HttpCamera web;
};

// An output's link, by the core's id for the output.
struct OutputSlot {
  uint32_t id = 0;
  OutputType type = OutputType::TSL;
  TslLink tsl;
  int watchedFd = -1;  // the TSL socket's events as last watched
  uint32_t watched = 0;
  TallyServer server;
  std::unique_ptr<WebServer> web;  // libmicrohttpd keeps pointers into it
};

struct Driver {
  Core core;
  EventLoop loop;
  AtemLink atem;
  Notifier notify;
  HttpAgent agent;  // opened with the first HTTP camera
  std::vector<std::unique_ptr<Slot>> slots;  // stable: curl keeps pointers to their cameras
  std::vector<std::unique_ptr<OutputSlot>> outputs;
  OutputSlot* web = nullptr;      // the status page's server, when it runs
  uint64_t publishedVersion = 0;  // the core's view as last published to the page
  int64_t datagramNs = 0;         // the switcher datagram being handled, for the latency
  WebHistogram latency;
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
  d.slots.erase(std::find_if(d.slots.begin(), d.slots.end(),
                             [&](const auto& p) { return p.get() == s; }));
}

void reportTo(Driver& d, Slot& s, bool ready, int64_t now);

OutputSlot* findOutput(Driver& d, uint32_t id) {
  for (auto& o : d.outputs)
    if (o->id == id) return o.get();
  return nullptr;
}

// A TSL link's news to the core, and its socket watched for what it now waits for.
void tslChanged(Driver& d, OutputSlot& o, const TslChange& change, CoreActions& out) {
  if (change.kind != TslChange::NONE)
    coreOutputTcp(d.core, o.id, change.kind == TslChange::UP, change.why, out);
  if (change.kind == TslChange::DOWN) o.watchedFd = -1;  // closed: its number may come again
  const uint32_t events = tslLinkEvents(o.tsl);
  if (o.tsl.fd < 0 || events == 0 || (o.tsl.fd == o.watchedFd && events == o.watched)) return;
  loopWatch(d.loop, o.tsl.fd, events, tag(kTagTsl, o.id, o.tsl.fd));
  o.watchedFd = o.tsl.fd;
  o.watched = events;
}

void tallyNews(Driver& d, OutputSlot& o, const TallyServerNews& news, int64_t now,
               CoreActions& out) {
  for (const std::string& peer : news.refused) coreTallyRefused(d.core, peer, now, out);
  if (news.clientsChanged) coreTallyClients(d.core, o.server.clients.size());
}

// The page's server reads the core through these, from within webServerRun.
WebSource webSource(Driver& d) {
  WebSource s;
  s.status = [&d] {
    WebView view;
    coreWebView(d.core, monotonicNs(), view);
    return webStatusJson(view);
  };
  s.metrics = [&d] {
    WebView view;
    WebMetrics metrics;
    coreWebView(d.core, monotonicNs(), view);
    coreWebMetrics(d.core, metrics);
    metrics.latency = d.latency;
    metrics.webClients = d.web ? webServerClients(*d.web->web) : 0;
    return webMetricsText(view, metrics);
  };
  s.cameras = [&d] {
    std::vector<std::string> names;
    for (const auto& c : d.core.cameras)
      if (!c->retiring) names.push_back(c->config.settings.name);
    return names;
  };
  return s;
}

void outputAction(Driver& d, const OutputAction& act, int64_t now, CoreActions& out) {
  if (act.kind == OutputAction::OPEN) {
    auto o = std::make_unique<OutputSlot>();
    o->id = act.output;
    o->type = act.type;
    std::string error;
    if (act.type == OutputType::TSL) {
      tslChanged(d, *o, tslLinkOpen(o->tsl, *act.tsl, now), out);
    } else if (act.type == OutputType::TALLY_SERVER) {
      if (!tallyServerOpen(o->server, d.loop, kTagTally, *act.listen, error))
        coreOutputFailed(d.core, act.output, "cannot listen: " + error, out);
      if (!act.packets.empty())
        o->server.digits.assign(act.packets[0].begin(), act.packets[0].end());
    } else if (act.type == OutputType::WEB) {
      o->web = std::make_unique<WebServer>();
      if (webServerStart(*o->web, act.listen->host, act.listen->port, webSource(d), error)) {
        loopWatch(d.loop, webServerFd(*o->web), EPOLLIN, tag(kTagWeb, o->id, webServerFd(*o->web)));
        d.web = o.get();
      } else {
        o->web.reset();
        coreOutputFailed(d.core, act.output, "cannot listen: " + error, out);
      }
    }
    d.outputs.push_back(std::move(o));
    return;
  }
  OutputSlot* o = findOutput(d, act.output);
  if (!o) return;
  if (act.kind == OutputAction::CLOSE) {
    tslLinkClose(o->tsl);
    tallyServerClose(o->server);
    if (o->web) webServerStop(*o->web);
    if (d.web == o) d.web = nullptr;
    d.outputs.erase(std::find_if(d.outputs.begin(), d.outputs.end(),
                                 [&](const auto& p) { return p.get() == o; }));
    return;
  }
  if (o->type == OutputType::TSL) {
    std::string why;
    tslChanged(d, *o, tslLinkSend(o->tsl, act.packets, now, why), out);
    if (!why.empty()) coreOutputSendFailed(d.core, o->id, why, now, out);
  } else if (o->type == OutputType::TALLY_SERVER && !act.packets.empty()) {
    TallyServerNews news;
    tallyServerPublish(o->server,
                       std::string(act.packets[0].begin(), act.packets[0].end()), news);
    tallyNews(d, *o, news, now, out);
  }
}

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
      if (d.web && d.datagramNs) webObserve(d.latency, monotonicNs() - d.datagramNs);
      coreDelivered(d.core, s->id, d.report, now, a);
      reapHttp(d, now, a);  // an answer may have come at once
      continue;
    }
    cameraDeliver(s->link, act.ladder, now, d.report);
    if (d.web && d.datagramNs) webObserve(d.latency, monotonicNs() - d.datagramNs);
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
    outputAction(d, act, now, a);
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
  for (const auto& o : d.outputs) next = std::min(next, o->tsl.retryAtNs);
  if (d.web) next = std::min(next, webServerDeadline(*d.web->web, monotonicNs()));
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
  for (auto& o : d.outputs)
    if (now >= o->tsl.retryAtNs) tslChanged(d, *o, tslLinkTick(o->tsl, now), d.acts);
  if (d.web && now >= webServerDeadline(*d.web->web, now)) webServerRun(*d.web->web, now);
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
  if (kind == kTagTsl) {
    OutputSlot* o = findOutput(d, id);
    if (o && fd == o->tsl.fd) tslChanged(d, *o, tslLinkReady(o->tsl, events, now), d.acts);
    return perform(d, now);
  }
  if (kind == kTagWeb) {
    if (d.web && fd == webServerFd(*d.web->web)) webServerRun(*d.web->web, now);
    return;
  }
  if (kind == kTagTally) {
    for (auto& o : d.outputs) {
      if (o->type != OutputType::TALLY_SERVER) continue;
      TallyServerNews news;
      tallyServerEvent(o->server, fd, events, news);
      tallyNews(d, *o, news, now, d.acts);
    }
    return perform(d, now);
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
  if (d.web && d.core.viewVersion != d.publishedVersion) {
    d.publishedVersion = d.core.viewVersion;
    if (webServerClients(*d.web->web) > 0) {
      WebView view;
      coreWebView(d.core, now, view);
      webServerPublish(*d.web->web, webStatusJson(view));
    }
  }
  notifyWatchdog(d.notify, now);
}

void closeAll(Driver& d) {
  while (!d.slots.empty()) closeLink(d, d.slots.back().get());
  for (auto& o : d.outputs) {
    tslLinkClose(o->tsl);
    tallyServerClose(o->server);
    if (o->web) webServerStop(*o->web);
  }
  d.web = nullptr;
  d.outputs.clear();
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
