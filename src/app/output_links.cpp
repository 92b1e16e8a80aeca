#include "app/output_links.h"

#include <algorithm>
#include <string>

#include "app/event_tags.h"
#include "base/clock.h"

namespace {

OutputSlot* findOutput(OutputLinks& o, uint32_t id) {
  for (auto& s : o.slots)
    if (s->id == id) return s.get();
  return nullptr;
}

// A TSL link's news to the core, and its socket watched for what it now waits for.
void tslChanged(OutputLinks& o, OutputSlot& s, const TslChange& change, CoreActions& out) {
  if (change.kind != TslChange::NONE)
    coreOutputTcp(*o.core, s.id, change.kind == TslChange::UP, change.why, out);
  if (change.kind == TslChange::DOWN) s.watchedFd = -1;  // closed: its number may come again
  const uint32_t events = tslLinkEvents(s.tsl);
  if (s.tsl.fd < 0 || events == 0 || (s.tsl.fd == s.watchedFd && events == s.watched)) return;
  loopWatch(*o.loop, s.tsl.fd, events, tag(kTagTsl, s.id, s.tsl.fd));
  s.watchedFd = s.tsl.fd;
  s.watched = events;
}

void tallyNews(OutputLinks& o, OutputSlot& s, const TallyServerNews& news, int64_t now,
               CoreActions& out) {
  for (const std::string& peer : news.refused) coreTallyRefused(*o.core, peer, now, out);
  if (news.clientsChanged) coreTallyClients(*o.core, s.server.clients.size());
}

// The page's server reads the core through these, from within webServerRun.
WebSource webSource(OutputLinks& o) {
  WebSource s;
  s.status = [&o] {
    WebView view;
    coreWebView(*o.core, monotonicNs(), view);
    return webStatusJson(view);
  };
  s.metrics = [&o] {
    WebView view;
    WebMetrics metrics;
    coreWebView(*o.core, monotonicNs(), view);
    coreWebMetrics(*o.core, metrics);
    metrics.latency = o.latency;
    metrics.webClients = o.web ? webServerClients(*o.web->web) : 0;
    return webMetricsText(view, metrics);
  };
  s.cameras = [&o] {
    std::vector<std::string> names;
    for (const auto& c : o.core->cameras)
      if (!c->retiring) names.push_back(c->config.settings.name);
    return names;
  };
  return s;
}

void open(OutputLinks& o, const OutputAction& act, int64_t now, CoreActions& out) {
  auto s = std::make_unique<OutputSlot>();
  s->id = act.output;
  s->type = act.type;
  std::string error;
  if (act.type == OutputType::TSL) {
    tslChanged(o, *s, tslLinkOpen(s->tsl, *act.tsl, now), out);
  } else if (act.type == OutputType::TALLY_SERVER) {
    if (!tallyServerOpen(s->server, *o.loop, kTagTally, *act.listen, error))
      coreOutputFailed(*o.core, act.output, "cannot listen: " + error, out);
    if (!act.packets.empty()) s->server.digits.assign(act.packets[0].begin(), act.packets[0].end());
  } else if (act.type == OutputType::WEB) {
    s->web = std::make_unique<WebServer>();
    if (webServerStart(*s->web, act.listen->host, act.listen->port, webSource(o), error)) {
      const int fd = webServerFd(*s->web);
      loopWatch(*o.loop, fd, EPOLLIN, tag(kTagWeb, s->id, fd));
      o.web = s.get();
    } else {
      s->web.reset();
      coreOutputFailed(*o.core, act.output, "cannot listen: " + error, out);
    }
  }
  o.slots.push_back(std::move(s));
}

void close(OutputLinks& o, OutputSlot& s) {
  tslLinkClose(s.tsl);
  tallyServerClose(s.server);
  if (s.web) webServerStop(*s.web);
  if (o.web == &s) o.web = nullptr;
}

}  // namespace

void outputsAct(OutputLinks& o, const OutputAction& act, int64_t now, CoreActions& out) {
  if (act.kind == OutputAction::OPEN) return open(o, act, now, out);
  OutputSlot* s = findOutput(o, act.output);
  if (!s) return;
  if (act.kind == OutputAction::CLOSE) {
    close(o, *s);
    o.slots.erase(
        std::find_if(o.slots.begin(), o.slots.end(), [&](const auto& p) { return p.get() == s; }));
    return;
  }
  if (s->type == OutputType::TSL) {
    std::string why;
    tslChanged(o, *s, tslLinkSend(s->tsl, act.packets, now, why), out);
    if (!why.empty()) coreOutputSendFailed(*o.core, s->id, why, now, out);
  } else if (s->type == OutputType::TALLY_SERVER && !act.packets.empty()) {
    TallyServerNews news;
    tallyServerPublish(s->server, std::string(act.packets[0].begin(), act.packets[0].end()), news);
    tallyNews(o, *s, news, now, out);
  }
}

void outputsEvent(OutputLinks& o, uint64_t kind, uint32_t id, int fd, uint32_t events, int64_t now,
                  CoreActions& out) {
  if (kind == kTagTsl) {
    OutputSlot* s = findOutput(o, id);
    if (s && fd == s->tsl.fd) tslChanged(o, *s, tslLinkReady(s->tsl, events, now), out);
  } else if (kind == kTagWeb) {
    if (o.web && fd == webServerFd(*o.web->web)) webServerRun(*o.web->web, now);
  } else if (kind == kTagTally) {
    for (auto& s : o.slots) {
      if (s->type != OutputType::TALLY_SERVER) continue;
      TallyServerNews news;
      tallyServerEvent(s->server, fd, events, news);
      tallyNews(o, *s, news, now, out);
    }
  }
}

int64_t outputsDeadline(const OutputLinks& o, int64_t now) {
  int64_t next = INT64_MAX;
  for (const auto& s : o.slots) next = std::min(next, s->tsl.retryAtNs);
  if (o.web) next = std::min(next, webServerDeadline(*o.web->web, now));
  return next;
}

void outputsTimers(OutputLinks& o, int64_t now, CoreActions& out) {
  for (auto& s : o.slots)
    if (now >= s->tsl.retryAtNs) tslChanged(o, *s, tslLinkTick(s->tsl, now), out);
  if (o.web && now >= webServerDeadline(*o.web->web, now)) webServerRun(*o.web->web, now);
}

void outputsPublish(OutputLinks& o, int64_t now) {
  if (!o.web || o.core->viewVersion == o.publishedVersion) return;
  o.publishedVersion = o.core->viewVersion;
  if (webServerClients(*o.web->web) == 0) return;
  WebView view;
  coreWebView(*o.core, now, view);
  webServerPublish(*o.web->web, webStatusJson(view));
}

void outputsClose(OutputLinks& o) {
  for (auto& s : o.slots) close(o, *s);
  o.web = nullptr;
  o.slots.clear();
}
