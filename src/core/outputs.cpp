#include "core/outputs.h"

#include <algorithm>

#include "tsl/tsl.h"

TallyState modelLamp(const LampModel& model, uint16_t source) {
  if (model.dark || !model.tables) return OFF;
  return deriveTally(Watch{0, source, TallySource::SWITCHER}, *model.tables).state;
}

namespace {

// "127.0.0.1:8099"
std::string endpoint(uint32_t host, uint16_t port) {
  return ipv4Text(host) + ":" + std::to_string(port);
}

// One display as the model stands: its address and what it shows, in both protocols' terms.
struct Display {
  uint16_t index = 0;
  Bytes key;  // what the display shows: compared with the last sent
  Tsl31Display v31;
  Tsl5Display v5;
};

std::string labelOf(const TslConfig& c, const AtemTables* tables, uint16_t source,
                    const std::string& label) {
  if (!label.empty()) return label;
  const SourceNames* n = tables ? sourceNames(*tables, source) : nullptr;
  if (!n) return std::to_string(source);
  return c.longNames || !n->shortName[0] ? n->longName : n->shortName;
}

Display display(const TslConfig& c, const LampModel& model, uint16_t source, uint16_t index,
                const std::string& label) {
  Display d;
  d.index = index;
  const TallyState state = modelLamp(model, source);
  const std::string text = labelOf(c, model.tables, source, label);
  if (c.v5) {
    d.v5 = {index, c.colours[0][state], c.colours[1][state], c.colours[2][state], c.brightness,
            text};
    d.key.resize(2);
    putLe16(d.key.data(), tsl5Control(d.v5));
    d.key.insert(d.key.end(), text.begin(), text.end());
  } else {
    d.v31 = {static_cast<uint8_t>(index), c.tallies[state], c.brightness, text};
    d.key = tsl31Message(d.v31);
  }
  return d;
}

// The displays of an output as the model stands, by address.
std::vector<Display> displaysNow(const TslConfig& c, const LampModel& model) {
  std::vector<Display> out;
  if (!c.allSources) {
    for (const TslDisplay& d : c.displays)
      out.push_back(display(c, model, d.source, d.index, d.label));
  } else if (model.tables) {
    // Every source the switcher names, at the address of its own id where the protocol has one.
    const uint32_t most = c.v5 ? 65534 : kTsl31Addresses - 1;
    for (size_t i = 0; i < model.tables->nameCount; ++i) {
      const uint16_t id = model.tables->names[i].id;
      if (id <= most) out.push_back(display(c, model, id, id, ""));
    }
  }
  std::sort(out.begin(), out.end(),
            [](const Display& a, const Display& b) { return a.index < b.index; });
  return out;
}

std::vector<Bytes> packetsOf(const TslConfig& c, const std::vector<const Display*>& displays) {
  std::vector<Bytes> packets;
  if (!c.v5) {
    for (const Display* d : displays) packets.push_back(d->key);
    return packets;
  }
  std::vector<Tsl5Display> list;
  for (const Display* d : displays) list.push_back(d->v5);
  packets = tsl5Packets(c.screen, list);
  if (c.dleStx)
    for (Bytes& p : packets) p = dleStx(p);
  return packets;
}

void feedTsl(TslFeed& f, const LampModel& model, int64_t now, std::vector<OutputAction>& out) {
  if (f.config.tcp && !f.tcpUp) return;  // all of it goes once connected
  const std::vector<Display> now_ = displaysNow(f.config, model);
  const bool full =
      f.full || (f.config.refreshNs > 0 && now >= f.lastFullNs + f.config.refreshNs);
  std::vector<const Display*> send;
  std::vector<std::pair<uint16_t, Bytes>> shown;
  shown.reserve(now_.size());
  size_t j = 0;
  for (const Display& d : now_) {
    while (j < f.shown.size() && f.shown[j].first < d.index) ++j;
    const bool same = j < f.shown.size() && f.shown[j].first == d.index && f.shown[j].second == d.key;
    if (full || !same) send.push_back(&d);
    shown.emplace_back(d.index, d.key);
  }
  f.shown = std::move(shown);
  if (full) {
    f.full = false;
    f.lastFullNs = now;
  }
  if (send.empty()) return;
  OutputAction a;
  a.kind = OutputAction::SEND;
  a.type = OutputType::TSL;
  a.output = f.id;
  a.packets = packetsOf(f.config, send);
  out.push_back(std::move(a));
}

bool sameDisplays(const TslConfig& a, const TslConfig& b) {
  if (a.displays.size() != b.displays.size()) return false;
  for (size_t i = 0; i < a.displays.size(); ++i)
    if (a.displays[i].source != b.displays[i].source ||
        a.displays[i].index != b.displays[i].index || a.displays[i].label != b.displays[i].label)
      return false;
  return true;
}

bool sameListen(const Listen& a, const Listen& b) {
  return a.on == b.on && a.host == b.host && a.port == b.port;
}

OutputAction open(OutputType type, uint32_t id) {
  OutputAction a;
  a.kind = OutputAction::OPEN;
  a.type = type;
  a.output = id;
  return a;
}

OutputAction close(OutputType type, uint32_t id) {
  OutputAction a = open(type, id);
  a.kind = OutputAction::CLOSE;
  return a;
}

}  // namespace

void outputsConfigure(Outputs& o, const Config& config, LogLines& lines,
                      std::vector<OutputAction>& out) {
  std::vector<std::unique_ptr<TslFeed>> kept;
  for (const TslConfig& t : config.tsl) {
    auto old = std::find_if(o.tsl.begin(), o.tsl.end(), [&](const auto& f) {
      return f && f->config.name == t.name && sameSettings(f->config.settings, t.settings,
                                                           SettingScope::TSL) &&
             sameDisplays(f->config, t);
    });
    if (old != o.tsl.end()) {
      kept.push_back(std::move(*old));
      continue;
    }
    auto f = std::make_unique<TslFeed>();
    f->id = o.nextId++;
    f->config = t;
    OutputAction a = open(OutputType::TSL, f->id);
    a.tsl = &f->config;
    out.push_back(a);
    addLine(lines, Tag::OK,
            t.name + ": TSL " + (t.v5 ? "5.0" : "3.1") + " over " + (t.tcp ? "TCP" : "UDP") +
                " to " + addressText(t.settings.host, t.host) + ":" + std::to_string(t.port) +
                ", " +
                (t.allSources ? std::string("every source the switcher names")
                              : std::to_string(t.displays.size()) +
                                    (t.displays.size() == 1 ? " display" : " displays")));
    kept.push_back(std::move(f));
  }
  for (auto& f : o.tsl)
    if (f) out.push_back(close(OutputType::TSL, f->id));
  o.tsl = std::move(kept);

  const Listen& listen = config.server.listen;
  if (o.server && !sameListen(o.server->config.listen, listen)) {
    out.push_back(close(OutputType::TALLY_SERVER, o.server->id));
    o.server.reset();
  }
  if (listen.on && !o.server) {
    o.server = std::make_unique<ServerFeed>();
    o.server->id = o.nextId++;
    OutputAction a = open(OutputType::TALLY_SERVER, o.server->id);
    o.server->config = config.server;
    a.listen = &o.server->config.listen;
    // Until the switcher's state is in, its clients hear every input dark.
    o.server->digits = serverDigits(config.server, LampModel());
    a.packets.emplace_back(o.server->digits.begin(), o.server->digits.end());
    out.push_back(a);
    addLine(lines, Tag::OK,
            "Tally server on " + endpoint(listen.host, listen.port) + ", at most " +
                std::to_string(kMaxTallyClients) + " clients");
  }
  if (o.server) o.server->config = config.server;  // the inputs may have changed

  if (o.webId != 0 && !sameListen(o.web, config.web)) {
    out.push_back(close(OutputType::WEB, o.webId));
    o.webId = 0;
  }
  if (config.web.on && o.webId == 0) {
    o.webId = o.nextId++;
    o.web = config.web;
    OutputAction a = open(OutputType::WEB, o.webId);
    a.listen = &o.web;
    out.push_back(a);
    addLine(lines, Tag::OK,
            "Status page on http://" + endpoint(config.web.host, config.web.port) + "/");
  }
  o.due = true;
}

void outputsClose(Outputs& o, std::vector<OutputAction>& out) {
  for (auto& f : o.tsl) out.push_back(close(OutputType::TSL, f->id));
  o.tsl.clear();
  if (o.server) out.push_back(close(OutputType::TALLY_SERVER, o.server->id));
  o.server.reset();
  if (o.webId != 0) out.push_back(close(OutputType::WEB, o.webId));
  o.webId = 0;
}

void outputsFeed(Outputs& o, const LampModel& model, int64_t now, std::vector<OutputAction>& out) {
  o.due = false;
  for (auto& f : o.tsl) feedTsl(*f, model, now, out);
  if (o.server) {
    std::string digits = serverDigits(o.server->config, model);
    if (digits != o.server->digits) {
      o.server->digits = digits;
      OutputAction a;
      a.kind = OutputAction::SEND;
      a.type = OutputType::TALLY_SERVER;
      a.output = o.server->id;
      a.packets.emplace_back(digits.begin(), digits.end());
      out.push_back(std::move(a));
    }
  }
}

int64_t outputsDeadline(const Outputs& o) {
  int64_t next = INT64_MAX;
  for (const auto& f : o.tsl)
    if (f->config.refreshNs > 0 && (!f->config.tcp || f->tcpUp))
      next = std::min(next, f->lastFullNs + f->config.refreshNs);
  return next;
}

void outputsTcp(Outputs& o, uint32_t id, bool up, const std::string& failure, LogLines& lines) {
  for (auto& f : o.tsl) {
    if (f->id != id) continue;
    const std::string who = f->config.name + ": TSL receiver " +
                            endpoint(f->config.host, f->config.port);
    if (up) {
      if (f->tcpSaidDown) addLine(lines, Tag::OK, who + " connected again");
      f->tcpSaidDown = false;
      f->full = true;  // a new connection gets every display at once
      o.due = true;
    } else if (!f->tcpSaidDown) {
      addLine(lines, Tag::WARN,
              who + " lost (" + failure + "); trying again every 1 s to 30 s");
      f->tcpSaidDown = true;
    }
    f->tcpUp = up;
  }
}

void outputsClients(Outputs& o, size_t clients) {
  if (o.server) o.server->clients = clients;
}

void outputsRefused(Outputs& o, const std::string& peer, int64_t now, LogLines& lines) {
  if (!o.server) return;
  uint64_t leftOut = 0;
  if (!lineDue(o.server->refusals, now, 10'000 * kNsPerMs, leftOut)) return;
  addLine(lines, Tag::WARN,
          "Tally server: " + std::to_string(kMaxTallyClients) +
              " clients already, closed the connection from " + peer +
              (leftOut ? "; " + std::to_string(leftOut) + " more left out" : ""));
}

std::string outputsStatus(const Outputs& o) {
  std::string s;
  if (!o.tsl.empty()) {
    size_t up = 0;
    for (const auto& f : o.tsl) up += !f->config.tcp || f->tcpUp;
    s = "TSL " + std::to_string(up) + " of " + std::to_string(o.tsl.size()) + " up";
  }
  if (o.server)
    s += (s.empty() ? "" : ", ") + std::to_string(o.server->clients) +
         (o.server->clients == 1 ? " tally client" : " tally clients");
  return s;
}

std::string outputName(const Outputs& o, uint32_t id) {
  for (const auto& f : o.tsl)
    if (f->id == id) return f->config.name;
  if (o.server && o.server->id == id) return "tally server";
  if (id != 0 && o.webId == id) return "status page";
  return "";
}

std::string serverDigits(const TallyServerConfig& config, const LampModel& model) {
  std::vector<uint16_t> inputs = config.inputs;
  if (inputs.empty() && model.tables) {
    uint16_t highest = 0;
    for (size_t i = 0; i < model.tables->nameCount; ++i) {
      const uint16_t id = model.tables->names[i].id;
      if (id >= 1 && id <= 999) highest = std::max(highest, id);
    }
    for (uint16_t k = 1; k <= highest; ++k) inputs.push_back(k);
  }
  std::string digits;
  digits.reserve(inputs.size());
  for (uint16_t source : inputs) {
    const TallyState s = modelLamp(model, source);
    digits += s == PROGRAM ? '1' : s == PREVIEW ? '2' : '0';
  }
  return digits;
}
