#include "config/config.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <climits>
#include <cstring>

#include "base/log.h"
#include "visca/visca_bytes.h"

bool readConfigFile(const std::string& path, std::string& text, std::string& error) {
  // O_NONBLOCK: opening a FIFO for reading must not wait for a writer.
  int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) {
    error = std::strerror(errno);
    return false;
  }
  struct stat st;
  bool ok = false;
  if (::fstat(fd, &st) != 0) {
    error = std::strerror(errno);
  } else if (S_ISDIR(st.st_mode)) {
    error = std::strerror(EISDIR);
  } else if (!S_ISREG(st.st_mode)) {
    error = "not a regular file";
  } else if (static_cast<uint64_t>(st.st_size) > kMaxConfigBytes) {
    error = "larger than 1 MiB";
  } else {
    // Some regular files (under /proc, say) report no size: read to the end, one buffer past the
    // limit at most.
    text.clear();
    char buf[65536];
    ok = true;
    for (;;) {
      ssize_t n = ::read(fd, buf, sizeof buf);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) {
        if (n < 0) error = std::strerror(errno), ok = false;
        break;
      }
      text.append(buf, static_cast<size_t>(n));
      if (text.size() > kMaxConfigBytes) {
        error = "larger than 1 MiB";
        ok = false;
        break;
      }
    }
  }
  ::close(fd);
  return ok;
}

namespace {

using K = SettingKind;
using Scope = SettingScope;

constexpr size_t kUnknownKeysNamed = 20;

const char* typeName(JsonType t) {
  switch (t) {
    case JsonType::Null:
      return "null";
    case JsonType::Bool:
      return "true/false";
    case JsonType::Number:
      return "a number";
    case JsonType::String:
      return "a string";
    case JsonType::Array:
      return "an array";
    case JsonType::Object:
      return "an object";
  }
  return "?";
}

JsonType jsonTypeOf(SettingKind kind) {
  switch (kind) {
    case K::NUMBER:
      return JsonType::Number;
    case K::FLAG:
      return JsonType::Bool;
    case K::NESTED:
    case K::LIST:
      return JsonType::Array;
    default:
      return JsonType::String;
  }
}

size_t editDistance(const std::string& a, const std::string& b) {
  std::vector<size_t> row(b.size() + 1);
  for (size_t j = 0; j <= b.size(); ++j) row[j] = j;
  for (size_t i = 1; i <= a.size(); ++i) {
    size_t diagonal = row[0];
    row[0] = i;
    for (size_t j = 1; j <= b.size(); ++j) {
      size_t above = row[j];
      row[j] = std::min({row[j] + 1, row[j - 1] + 1, diagonal + (a[i - 1] != b[j - 1])});
      diagonal = above;
    }
  }
  return row[b.size()];
}

bool parseIpv4(const std::string& text, uint32_t& addr) {
  in_addr a;
  if (::inet_pton(AF_INET, text.c_str(), &a) != 1) return false;
  addr = a.s_addr;
  return true;
}

// Whether key `d` may stand in an object of scope `where` (TOP: the top level, ENTRY: a camera
// entry, TSL, SERVER).
bool inScope(const SettingDef& d, Scope where) {
  if (d.scope == Scope::CAMERA) return where == Scope::TOP || where == Scope::ENTRY;
  return d.scope == where;
}

// "\"buses\" or \"switcher\""
std::string choiceList(const SettingDef& d) {
  std::string list;
  for (size_t i = 0; d.choices[i]; ++i) {
    if (i > 0) list += d.choices[i + 1] ? ", " : " or ";
    list += std::string("\"") + d.choices[i] + "\"";
  }
  return list;
}

// Reads one object (the top level or a camera entry) with the lenient type rules and collects
// what --check warns about. `where` names the object in messages.
struct Reader {
  const JsonValue& obj;
  std::string where;  // "Config" or "Config, camera 2 (cam2)"
  std::vector<ConfigWarning>* warnings;
  Resolver resolve;

  void warn(const std::string& text) const {
    if (warnings) warnings->push_back({where + ": " + text});
  }

  // The keys of this object's scope over the values `s` already holds. The key whose word names
  // none of its choices, with `why`; nullptr when all is well.
  const SettingDef* read(Settings& s, Scope where, std::string& why) const {
    for (size_t i = 0; i < kSettingCount; ++i) {
      const SettingDef& d = kSettings[i];
      if (!inScope(d, where) || d.kind == K::NESTED || !obj.has(d.key)) continue;
      const JsonValue& v = obj[d.key];
      if (v.type != jsonTypeOf(d.kind)) {
        warn(std::string("'") + d.key + "' is " + typeName(v.type) + ", not " +
             typeName(jsonTypeOf(d.kind)) + ": it keeps " + settingText(d, s));
        continue;
      }
      switch (d.kind) {
        case K::TEXT:
          s.*d.text = v.str;
          break;
        case K::NUMBER:
          s.*d.number = v.asInt(s.*d.number);
          break;
        case K::FLAG:
          s.*d.flag = v.b;
          break;
        case K::CHOICE: {
          int32_t index = 0;
          while (d.choices[index] && v.str != d.choices[index]) ++index;
          if (!d.choices[index]) {
            why =
                std::string("'") + d.key + "' must be " + choiceList(d) + ", not \"" + v.str + "\"";
            return &d;
          }
          s.*d.number = index;
          break;
        }
        case K::LIST: {
          std::vector<std::string> items;
          for (const JsonValue& item : v.arr) {
            if (item.type == JsonType::String)
              items.push_back(item.str);
            else
              warn(std::string("'") + d.key + "' holds " + typeName(item.type) +
                   ", not a string: it is left out");
          }
          s.*d.list = items;
          break;
        }
        case K::NESTED:
          break;
      }
    }
    return nullptr;
  }

  // Each unknown key with the closest known one, the first kUnknownKeysNamed of them; the rest
  // are counted, so that a file of thousands of them is read in no time.
  void unknownKeys(Scope where) const {
    std::vector<const char*> known;
    for (size_t i = 0; i < kSettingCount; ++i)
      if (inScope(kSettings[i], where)) known.push_back(kSettings[i].key);
    size_t unknown = 0;
    for (const auto& m : obj.obj) {
      const std::string& key = m.first;
      if (std::find_if(known.begin(), known.end(), [&](const char* k) { return key == k; }) !=
          known.end())
        continue;
      // Notes are what unknown keys are for.
      if (key == "note" || key == "notes" || key == "comment" || key == "comments" ||
          key.rfind("_", 0) == 0)
        continue;
      if (++unknown > kUnknownKeysNamed) continue;
      const char* best = known[0];
      for (const char* k : known)
        if (editDistance(key, k) < editDistance(key, best)) best = k;
      if (editDistance(key, best) <= std::max<size_t>(2, key.size() / 3))
        warn("unknown key '" + key + "', did you mean '" + best + "'?");
      else
        warn("unknown key '" + key + "' is not read");
    }
    if (unknown > kUnknownKeysNamed)
      warn(std::to_string(unknown - kUnknownKeysNamed) + " more unknown keys are not read");
  }
};

// Why a camera cannot be used. `bare`: the text stands alone in a file without "cameras" (the
// hex message), else it follows "Config ".
struct Refusal {
  std::string text;
  bool bare = false;
};

// A host name as DNS and /etc/hosts write them: letters, digits, '-' and dots.
bool plausibleHostName(const std::string& name) {
  if (name.empty() || name.size() > 253) return false;
  for (char c : name)
    if (!std::isalnum(static_cast<unsigned char>(c)) && c != '-' && c != '.') return false;
  return true;
}

// An address key's value `value`: white space around it trimmed (with a warning), then a dotted
// IPv4 address or, with `names`, a host name looked up once. False with `why` for anything else.
// Values are quoted with single quotes, so that white space shows.
bool readAddress(const Reader& r, const char* key, std::string& value, bool names,
                 uint32_t& address, std::string& why) {
  const size_t first = value.find_first_not_of(" \t\r\n");
  const std::string trimmed =
      first == std::string::npos
          ? ""
          : value.substr(first, value.find_last_not_of(" \t\r\n") + 1 - first);
  if (trimmed != value) {
    r.warn(std::string("'") + key + "' '" + value + "' has white space around it; it is read as '" +
           trimmed + "'");
    value = trimmed;
  }
  if (parseIpv4(value, address)) return true;
  std::string error;
  if (names && plausibleHostName(value)) {
    if (r.resolve(value, address, error)) return true;
    why = std::string("'") + key + "' '" + value + "' does not resolve to an IPv4 address (" +
          error + ")";
    return false;
  }
  why = std::string("'") + key + "' '" + value + "' is not an IPv4 address" +
        (names ? " or a host name" : "");
  return false;
}

std::string rangeText(const SettingDef& d) {
  if (d.hi == INT32_MAX) return std::to_string(d.lo) + " or more";
  return std::to_string(d.lo) + "-" + std::to_string(d.hi);
}

// Checks what no camera may have, whatever the file's leniency (no address, a number out of its
// range, commands that are not hex), and builds the camera, with the start-up warnings: lossy hex
// pieces, a refresh raised to the least allowed, addresses that are not dotted.
// "http://host[:port]/path" into `request`; the host looked up once. False with `why`.
bool readUrl(const Reader& r, const char* key, const std::string& url, HttpRequest& request,
             std::string& why) {
  const std::string bad = std::string("'") + key + "' URL '" + url + "' ";
  if (url.compare(0, 7, "http://") != 0)
    return why = bad + "is not http://host[:port]/path", false;
  const size_t slash = url.find('/', 7);
  const std::string authority = url.substr(7, slash == std::string::npos ? slash : slash - 7);
  if (slash == std::string::npos || authority.empty())
    return why = bad + "is not http://host[:port]/path", false;
  if (authority.find('@') != std::string::npos)
    return why = bad + "holds credentials: put them in http_user and http_password", false;
  const size_t colon = authority.find(':');
  request.url = url;
  request.host = authority.substr(0, colon);
  request.port = 80;
  if (colon != std::string::npos) {
    const std::string port = authority.substr(colon + 1);
    char* end = nullptr;
    const long n = std::strtol(port.c_str(), &end, 10);
    if (port.empty() || *end != '\0' || n < 1 || n > 65535)
      return why = bad + "has no port 1-65535", false;
    request.port = static_cast<uint16_t>(n);
  }
  std::string host = request.host;
  return readAddress(r, key, host, true, request.address, why);
}

// An HTTP camera's requests for each lamp state, "{host}" and "{port}" standing for its
// visca_host and visca_port.
bool readRequests(const Reader& r, const Settings& s, CameraConfig& camera, Refusal& refusal) {
  const std::pair<const char*, const std::vector<std::string>*> lists[] = {
      {"http_off", &s.http_off}, {"http_preview", &s.http_preview},
      {"http_program", &s.http_program}};  // by lamp state
  for (int state = PROGRAM; state >= OFF; --state) {
    const auto& [key, urls] = lists[state];
    if (urls->empty())
      return refusal.text = std::string("'") + key +
                            "' has no URL: an http camera needs requests for each state",
             false;
    for (std::string url : *urls) {
      for (size_t at; (at = url.find("{host}")) != std::string::npos;)
        url.replace(at, 6, s.visca_host);
      for (size_t at; (at = url.find("{port}")) != std::string::npos;)
        url.replace(at, 6, std::to_string(s.visca_port));
      HttpRequest request;
      if (!readUrl(r, key, url, request, refusal.text)) return false;
      camera.requests[state].push_back(request);
    }
  }
  return true;
}

// Every number of scope `where` within its range; false with `why` naming the first that is not.
bool inRange(const Settings& s, Scope where, std::string& why) {
  for (size_t i = 0; i < kSettingCount; ++i) {
    const SettingDef& d = kSettings[i];
    if (d.kind != K::NUMBER || !inScope(d, where)) continue;
    const int32_t v = s.*d.number;
    if (v < d.lo || v > d.hi)
      return why = std::string("'") + d.key + "' must be " + rangeText(d) + ", not " +
                   std::to_string(v),
             false;
  }
  return true;
}

bool buildCamera(const Reader& r, Settings s, CameraConfig& camera, Refusal& refusal) {
  camera = CameraConfig();
  camera.http = s.lamp == 1;  // "http"
  if (!inRange(s, Scope::ENTRY, refusal.text)) return false;
  if (camera.http) {
    // The address is only what "{host}" stands for in the URLs.
    if (!s.visca_host.empty() &&
        !readAddress(r, "visca_host", s.visca_host, true, camera.host, refusal.text))
      return false;
    if (!readRequests(r, s, camera, refusal)) return false;
  } else {
    if (!s.http_program.empty() || !s.http_preview.empty() || !s.http_off.empty() ||
        !s.http_user.empty() || !s.http_password.empty())
      r.warn("the http_ keys are read only for a camera with \"lamp\": \"http\"");
    if (s.visca_host.empty()) return refusal.text = "missing 'visca_host'", false;
    if (!readAddress(r, "visca_host", s.visca_host, true, camera.host, refusal.text)) return false;
    camera.bound = !s.bind_source_ip.empty();
    if (camera.bound &&
        !readAddress(r, "bind_source_ip", s.bind_source_ip, false, camera.bindHost, refusal.text))
      return false;
    const std::pair<const char*, const std::string*> texts[] = {
        {"visca_program", &s.visca_program},
        {"visca_preview", &s.visca_preview},
        {"visca_off", &s.visca_off}};
    for (int i = 0; i < 3; ++i) {
      const auto& [key, text] = texts[i];
      Bytes bytes;
      std::vector<LossyPiece> lossy;
      HexProblem problem;
      if (!hexStringToBytes(*text, bytes, &problem, &lossy)) {
        refusal.bare = true;
        refusal.text = std::string("Invalid hex in ") + key + ": " + *text;
        if (!problem.hint.empty()) refusal.text += " (" + problem.piece + ": " + problem.hint + ")";
        return false;
      }
      for (const LossyPiece& p : lossy)
        r.warn(std::string("'") + key + "' piece '" + p.piece +
               "' is not hex pairs; it was read as " + bytesToHexString(&p.byte, 1));
      camera.commands.forms[PROGRAM - i] = commandForms(bytes);  // program, preview, off
    }
    camera.ladder = {s.compat_try_prefix, s.compat_try_tcp, s.compat_try_both_ops,
                     s.visca_transport == 1, s.visca_framing == 1 /* "sony-ip" */};
    camera.port = static_cast<uint16_t>(s.visca_port);
  }
  camera.settings = s;
  camera.watch = {s.me_index, s.watch_input_id, static_cast<TallySource>(s.tally_source)};
  if (s.lamp_refresh_ms > 0 && s.lamp_refresh_ms < kMinRefreshMs) {
    r.warn("'lamp_refresh_ms' " + std::to_string(s.lamp_refresh_ms) + " raised to " +
           std::to_string(kMinRefreshMs));
    camera.settings.lamp_refresh_ms = kMinRefreshMs;
  }
  camera.refreshNs = int64_t{camera.settings.lamp_refresh_ms} * 1'000'000;
  if (camera.watch.from == TallySource::BUSES && (s.me_index < 0 || s.me_index > 3))
    r.warn("'me_index' " + std::to_string(s.me_index) +
           " names no M/E (they are 0-3): with tally_source \"buses\" the lamp never lights");
  return true;
}

// A camera's settings: the defaults, then the keys its profile fills, then whatever the top level
// and its entry (nullptr: none) set, which wins. `asRead` holds the settings read without the
// profile: its profile is the camera's.
Settings withProfile(const JsonValue& root, const JsonValue* entry, const Settings& asRead) {
  Settings s = defaultSettings();
  const Profile& p = kProfiles[asRead.profile];
  for (size_t i = 0; p.values[i]; i += 2) setSetting(*findSetting(p.values[i]), s, p.values[i + 1]);
  std::string why;
  Reader{root, "", nullptr, nullptr}.read(s, Scope::TOP, why);
  if (entry) Reader{*entry, "", nullptr, nullptr}.read(s, Scope::ENTRY, why);
  s.name = asRead.name;
  return s;
}

// "ADDR:PORT" to listen on, the address dotted (0.0.0.0: every address of the machine).
bool readListen(const Reader& r, const char* key, std::string value, Listen& listen,
                std::string& why) {
  const size_t colon = value.rfind(':');
  const std::string bad = std::string("'") + key + "' '" + value + "' ";
  if (colon == std::string::npos) return why = bad + "is not ADDR:PORT", false;
  const std::string port = value.substr(colon + 1);
  char* end = nullptr;
  const long n = std::strtol(port.c_str(), &end, 10);
  if (port.empty() || *end != '\0' || n < 1 || n > 65535)
    return why = bad + "has no port 1-65535", false;
  std::string host = value.substr(0, colon);
  if (!readAddress(r, key, host, false, listen.host, why)) return false;
  listen.port = static_cast<uint16_t>(n);
  listen.on = true;
  return true;
}

// The keys of one protocol that an output of the other carries: read, and of no use.
void otherProtocolWarnings(const Reader& r, bool v5) {
  static const std::vector<const char*> k31 = {"program_tally", "preview_tally"};
  static const std::vector<const char*> k5 = {"left_program",  "left_preview", "text_program",
                                              "text_preview",  "right_program", "right_preview",
                                              "screen",        "dle_stx"};
  for (const char* key : v5 ? k31 : k5)
    if (r.obj.has(key))
      r.warn(std::string("'") + key + "' is read only for TSL " + (v5 ? "3.1" : "5.0"));
}

// The displays of "sources": [{"source": 3, "index": 3, "label": "CAM 3"}, ...].
bool readDisplays(const Reader& r, TslConfig& t, std::string& why) {
  const JsonValue& list = r.obj["sources"];
  if (list.type != JsonType::Array)
    return why = std::string("'sources' is ") + typeName(list.type) + ", not an array", false;
  const int32_t most = t.v5 ? 65534 : kTsl31Addresses - 1;
  t.allSources = false;
  for (size_t i = 0; i < list.arr.size(); ++i) {
    const JsonValue& e = list.arr[i];
    const std::string at = "'sources' entry " + std::to_string(i + 1) + ": ";
    if (e.type != JsonType::Object || e["source"].type != JsonType::Number)
      return why = at + "needs a \"source\" number", false;
    const int32_t source = e["source"].asInt(-1);
    const int32_t index = e["index"].type == JsonType::Number ? e["index"].asInt(-1) : source;
    if (source < 0 || source > 65535)
      return why = at + "'source' must be 0-65535, not " + std::to_string(source), false;
    if (index < 0 || index > most)
      return why = at + "'index' must be 0-" + std::to_string(most) + ", not " +
                   std::to_string(index),
             false;
    for (const TslDisplay& d : t.displays)
      if (d.index == index)
        return why = at + "index " + std::to_string(index) + " is already taken", false;
    TslDisplay d;
    d.source = static_cast<uint16_t>(source);
    d.index = static_cast<uint16_t>(index);
    if (e["label"].type == JsonType::String) d.label = e["label"].str;
    t.displays.push_back(d);
  }
  return true;
}

bool buildTsl(const Reader& r, const Settings& s, TslConfig& t, std::string& why) {
  t.settings = s;
  t.v5 = s.protocol == 1;  // "5.0"
  t.tcp = s.transport == 1;
  if (s.host.empty()) return why = "missing 'host'", false;
  if (!r.obj.has("port")) return why = "missing 'port'", false;
  if (!inRange(s, Scope::TSL, why)) return false;
  std::string host = s.host;
  if (!readAddress(r, "host", host, true, t.host, why)) return false;
  t.settings.host = host;
  t.port = static_cast<uint16_t>(s.port);
  if (r.obj.has("sources") && !readDisplays(r, t, why)) return false;
  t.longNames = s.label_from == 1 || (s.label_from == 0 && t.v5);  // "long", or 5.0's default
  // 3.1: a tally word's bit ("none": 0).
  auto bit = [](int32_t word) { return static_cast<uint8_t>(word == 0 ? 0 : 1 << (word - 1)); };
  t.tallies[PROGRAM] = bit(s.program_tally);
  t.tallies[PREVIEW] = bit(s.preview_tally);
  if (!t.v5 && s.program_tally != 0 && s.program_tally == s.preview_tally)
    r.warn("'program_tally' and 'preview_tally' are both " + settingText(*findSetting("program_tally"), s) +
           ": the display cannot tell PROGRAM from PREVIEW");
  const int32_t colours[3][2] = {{s.left_program, s.left_preview},
                                 {s.text_program, s.text_preview},
                                 {s.right_program, s.right_preview}};
  for (int side = 0; side < 3; ++side) {
    t.colours[side][PROGRAM] = static_cast<uint8_t>(colours[side][0]);
    t.colours[side][PREVIEW] = static_cast<uint8_t>(colours[side][1]);
  }
  t.brightness = static_cast<uint8_t>(s.brightness);
  t.screen = static_cast<uint16_t>(s.screen);
  if (s.refresh_ms > 0 && s.refresh_ms < kMinTslRefreshMs) {
    r.warn("'refresh_ms' " + std::to_string(s.refresh_ms) + " raised to " +
           std::to_string(kMinTslRefreshMs));
    t.settings.refresh_ms = kMinTslRefreshMs;
  }
  t.refreshNs = int64_t{t.settings.refresh_ms} * 1'000'000;
  // Receivers disagree about DLE/STX over UDP; over TCP it is the rule.
  t.dleStx = r.obj["dle_stx"].type == JsonType::Bool ? s.dle_stx : t.tcp;
  t.settings.dle_stx = t.dleStx;
  otherProtocolWarnings(r, t.v5);
  return true;
}

// "tsl", "tally_server" and "http_listen": the outputs beside the cameras.
bool readOutputs(const Reader& top, Config& c, const std::string& file, std::string& error) {
  const JsonValue& root = top.obj;
  std::string why;
  if (!c.top.http_listen.empty() && !readListen(top, "http_listen", c.top.http_listen, c.web, why))
    return error = file + ": " + why, false;
  if (root.has("tsl")) {
    const JsonValue& list = root["tsl"];
    if (list.type != JsonType::Array)
      return error = file + ": 'tsl' is " + typeName(list.type) + ", not an array of outputs",
             false;
    if (list.arr.size() > kMaxTslOutputs)
      return error = file + ": 'tsl' has " + std::to_string(list.arr.size()) +
                     " entries, at most " + std::to_string(kMaxTslOutputs) + " are served",
             false;
    for (size_t i = 0; i < list.arr.size(); ++i) {
      const std::string position = "tsl " + std::to_string(i + 1);
      const std::string at = file + ", " + position + ": ";
      const JsonValue& entry = list.arr[i];
      if (entry.type != JsonType::Object)
        return error = at + typeName(entry.type) + ", not an object", false;
      Reader r{entry, "Config, " + position, top.warnings, top.resolve};
      r.unknownKeys(Scope::TSL);
      Settings s = defaultSettings();
      TslConfig t;
      t.name = "tsl" + std::to_string(i + 1);
      if (r.read(s, Scope::TSL, why) || !buildTsl(r, s, t, why)) return error = at + why, false;
      c.tsl.push_back(std::move(t));
    }
  }
  if (root.has("tally_server")) {
    const JsonValue& obj = root["tally_server"];
    const std::string at = file + ", tally_server: ";
    if (obj.type != JsonType::Object)
      return error = at + typeName(obj.type) + ", not an object", false;
    Reader r{obj, "Config, tally_server", top.warnings, top.resolve};
    r.unknownKeys(Scope::SERVER);
    Settings s = defaultSettings();
    if (r.read(s, Scope::SERVER, why)) return error = at + why, false;
    if (s.listen.empty()) return error = at + "missing 'listen'", false;
    if (!readListen(r, "listen", s.listen, c.server.listen, why)) return error = at + why, false;
    c.top.listen = s.listen;
    const JsonValue& inputs = obj["inputs"];
    if (obj.has("inputs") && inputs.type != JsonType::Array)
      return error = at + "'inputs' is " + typeName(inputs.type) + ", not an array of sources",
             false;
    for (const JsonValue& v : inputs.arr) {
      const int32_t source = v.type == JsonType::Number ? v.asInt(-1) : -1;
      if (source < 0 || source > 65535)
        return error = at + "'inputs' holds " + typeName(v.type) + " " +
                       (v.type == JsonType::Number ? std::to_string(source) : "") +
                       ", not a source 0-65535",
               false;
      c.server.inputs.push_back(static_cast<uint16_t>(source));
    }
    if (c.web.on && c.web.port == c.server.listen.port &&
        (c.web.host == c.server.listen.host || c.web.host == 0 || c.server.listen.host == 0))
      return error = at + "'listen' " + s.listen + " and 'http_listen' " + c.top.http_listen +
                     " take the same port",
             false;
    if (c.server.inputs.size() > kMaxTallyInputs)
      return error = at + "'inputs' has " + std::to_string(c.server.inputs.size()) +
                     " sources, at most " + std::to_string(kMaxTallyInputs) + " are served",
             false;
  }
  return true;
}

// Two cameras at one address and port with different commands: the lamp shows whichever came
// last. (The same commands are two lamps on one head, which is fine.)
void sameAddressWarnings(const Config& c, const std::string& path,
                         std::vector<ConfigWarning>* warnings) {
  if (!warnings) return;
  auto label = [&](size_t i) {
    return "camera " + std::to_string(i + 1) + " (" + c.cameras[i].settings.name + ")";
  };
  for (size_t i = 0; i < c.cameras.size(); ++i)
    for (size_t j = i + 1; j < c.cameras.size(); ++j) {
      const CameraConfig &a = c.cameras[i], &b = c.cameras[j];
      if (a.http || b.http || a.host != b.host || a.port != b.port) continue;
      bool same = true;
      for (int s = 0; s < kTallyStates; ++s)
        same = same && a.commands.forms[s].plain == b.commands.forms[s].plain;
      if (same) continue;
      warnings->push_back({"Config " + path + ": " + label(i) + " and " + label(j) +
                           " send different commands to " + a.settings.visca_host + ":" +
                           std::to_string(a.port) + "; the lamp shows whichever came last"});
    }
}

bool readConfig(const JsonValue& root, const std::string& path, Config& config, std::string& error,
                std::vector<ConfigWarning>* warnings, Resolver resolve) {
  if (!root.has("atem_ip")) return error = "Config missing 'atem_ip'", false;
  Config c;
  Settings top = defaultSettings();
  Reader reader{root, "Config", warnings, resolve};
  reader.unknownKeys(Scope::TOP);
  std::string why;
  const SettingDef* bad = reader.read(top, Scope::TOP, why);
  // A problem with a key of the switcher's own comes first, whatever the cameras hold.
  if (bad && bad->scope == Scope::TOP) return error = "Config " + why, false;
  const bool topRead = bad == nullptr;
  if (root["atem_ip"].type != JsonType::String) top.atem_ip.clear();
  if (!readAddress(reader, "atem_ip", top.atem_ip, true, c.atemHost, why))
    return error = "Config " + why, false;
  c.top = top;
  c.loss = static_cast<SwitcherLoss>(top.lamp_on_switcher_loss);

  if (!root.has("cameras")) {
    Settings one = top;
    one.name = "cam1";
    one = withProfile(root, nullptr, one);
    CameraConfig camera;
    Refusal refusal;
    if (!topRead) return error = "Config " + why, false;
    if (!buildCamera(reader, one, camera, refusal))
      return error = refusal.bare ? refusal.text : "Config " + refusal.text, false;
    c.cameras.push_back(std::move(camera));
    if (!readOutputs(reader, c, "Config " + path, error)) return false;
    config = std::move(c);
    return true;
  }

  const std::string file = "Config " + path;
  if (!topRead) return error = file + ": " + why, false;
  const JsonValue& list = root["cameras"];
  if (list.type != JsonType::Array)
    return error = file + ": 'cameras' is " + typeName(list.type) + ", not an array of cameras",
           false;
  if (list.arr.empty()) return error = file + ": 'cameras' is empty", false;
  if (list.arr.size() > kMaxCameras)
    return error = file + ": 'cameras' has " + std::to_string(list.arr.size()) +
                   " entries, at most " + std::to_string(kMaxCameras) + " are served",
           false;
  c.listed = true;
  for (size_t i = 0; i < list.arr.size(); ++i) {
    const JsonValue& entry = list.arr[i];
    const std::string position = "camera " + std::to_string(i + 1);
    if (entry.type != JsonType::Object)
      return error = file + ", " + position + ": " + typeName(entry.type) + ", not an object",
             false;
    Settings cam = top;
    cam.name = "cam" + std::to_string(i + 1);
    Reader r{entry, "Config, " + position, warnings, resolve};
    if (entry["name"].type == JsonType::String) cam.name = entry["name"].str;
    r.where = "Config, " + position + " (" + cam.name + ")";
    const std::string at = file + ", " + position + " (" + cam.name + "): ";
    for (size_t j = 0; j < c.cameras.size(); ++j)
      if (c.cameras[j].settings.name == cam.name)
        return error = at + "the name is already taken by camera " + std::to_string(j + 1), false;
    r.unknownKeys(Scope::ENTRY);
    CameraConfig camera;
    Refusal refusal;
    if (r.read(cam, Scope::ENTRY, why)) return error = at + why, false;
    cam = withProfile(root, &entry, cam);
    if (!buildCamera(r, cam, camera, refusal)) return error = at + refusal.text, false;
    c.cameras.push_back(std::move(camera));
  }
  sameAddressWarnings(c, path, warnings);
  if (!readOutputs(reader, c, file, error)) return false;
  config = std::move(c);
  return true;
}

// The top-level keys of `text` and the entries of its "cameras" list (their names, "" for none),
// found by a scan that skips comments and goes on after any mistake: what the text holds, to set
// against what the lenient reader kept.
struct Outline {
  std::vector<std::string> keys;
  std::vector<std::string> cameras;
};

Outline outline(const std::string& text) {
  Outline o;
  std::vector<char> open;    // the brackets open at each depth
  int camerasDepth = -1;     // the depth of the "cameras" list once its '[' is open
  bool camerasNext = false;  // the last top-level key was "cameras"
  std::string lastString;
  size_t i = 0;
  auto quoted = [&](char q) {
    std::string str;
    for (++i; i < text.size() && text[i] != q; ++i) {
      if (text[i] == '\\' && i + 1 < text.size()) ++i;
      str += text[i];
    }
    return str;
  };
  for (; i < text.size(); ++i) {
    const char ch = text[i];
    if (text.compare(i, 2, "//") == 0) {
      while (i < text.size() && text[i] != '\n') ++i;
    } else if (text.compare(i, 2, "/*") == 0) {
      const size_t end = text.find("*/", i + 2);
      i = end == std::string::npos ? text.size() : end + 1;
    } else if (ch == '"' || ch == '\'') {
      lastString = quoted(ch);
      size_t next = text.find_first_not_of(" \t\r\n", i + 1);
      if (next == std::string::npos || text[next] != ':') continue;
      const size_t depth = open.size();
      if (depth == 1 && open[0] == '{') {
        o.keys.push_back(lastString);
        camerasNext = lastString == "cameras";
      } else if (camerasDepth >= 0 && depth == static_cast<size_t>(camerasDepth) + 1 &&
                 lastString == "name" && !o.cameras.empty()) {
        size_t at = text.find_first_not_of(" \t\r\n", next + 1);
        if (at != std::string::npos && text[at] == '"') {
          i = at;
          o.cameras.back() = quoted('"');
        }
      }
    } else if (ch == '{' || ch == '[') {
      if (ch == '[' && camerasNext && open.size() == 1) camerasDepth = 2;
      if (ch == '{' && camerasDepth >= 0 && open.size() == static_cast<size_t>(camerasDepth))
        o.cameras.emplace_back();
      open.push_back(ch);
    } else if (ch == '}' || ch == ']') {
      if (!open.empty()) open.pop_back();
      if (camerasDepth >= 0 && open.size() < static_cast<size_t>(camerasDepth)) camerasDepth = -1;
    } else if (ch == ',' && open.size() == 1) {
      camerasNext = false;
    }
  }
  return o;
}

// What the reader kept of `text` against what the text holds: "'watch_input_id', camera 3
// (stage)", or "" when nothing is lost.
std::string lostByTheCut(const std::string& text, const JsonValue& root) {
  const Outline o = outline(text);
  std::vector<std::string> lost;
  for (const std::string& key : o.keys)
    if (!root.has(key) && std::find(lost.begin(), lost.end(), "'" + key + "'") == lost.end())
      lost.push_back("'" + key + "'");
  const JsonValue& cams = root["cameras"];
  if (root.has("cameras") && cams.type == JsonType::Array)
    for (size_t i = cams.arr.size(); i < o.cameras.size(); ++i)
      lost.push_back("camera " + std::to_string(i + 1) +
                     (o.cameras[i].empty() ? "" : " (" + o.cameras[i] + ")"));
  std::string text2;
  for (const std::string& l : lost) text2 += (text2.empty() ? "" : ", ") + l;
  return text2;
}

}  // namespace

bool resolveHost(const std::string& name, uint32_t& address, std::string& error) {
  addrinfo hints{};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_DGRAM;
  addrinfo* found = nullptr;
  const int rc = ::getaddrinfo(name.c_str(), nullptr, &hints, &found);
  if (rc != 0 || !found) {
    error = rc == EAI_SYSTEM ? std::strerror(errno) : ::gai_strerror(rc);
    return false;
  }
  address = reinterpret_cast<const sockaddr_in*>(found->ai_addr)->sin_addr.s_addr;
  ::freeaddrinfo(found);
  return true;
}

std::string ipv4Text(uint32_t address) {
  char text[INET_ADDRSTRLEN] = "?";
  in_addr a;
  a.s_addr = address;
  ::inet_ntop(AF_INET, &a, text, sizeof text);
  return text;
}

std::string addressText(const std::string& written, uint32_t address) {
  const std::string text = ipv4Text(address);
  return written == text ? written : written + " (" + text + ")";
}

bool configFromJson(const JsonValue& root, const std::string& path, Config& config,
                    std::string& error, std::vector<ConfigWarning>* warnings, Resolver resolve) {
  return readConfig(root, path, config, error, warnings, resolve);
}

LoadedConfig loadConfig(const std::string& path, Reading reading, Resolver resolve) {
  LoadedConfig l;
  std::string text, why;
  if (!readConfigFile(path, text, why)) {
    l.error = "Cannot open config file: " + path + " (" + why + ")";
    return l;
  }
  JsonValue root;
  JsonFailure failure;
  JsonSyntax syntax;
  if (!parseJson(text, root, failure, &syntax)) {
    l.error = failure == JsonFailure::DEPTH ? "Config file is nested too deeply: " + path
                                            : "Cannot read a number in config file: " + path;
    return l;
  }
  if (!syntax.valid) {
    const std::string where = "Config " + path + ": not valid JSON at line " +
                              std::to_string(syntax.line) + ", column " +
                              std::to_string(syntax.column) + " (" + syntax.what + ")";
    if (reading == Reading::RELOAD) {
      l.error = where;
      return l;
    }
    const std::string lost = lostByTheCut(text, root);
    l.warnings.push_back({where + (lost.empty() ? "; nothing after it is lost"
                                                : "; everything after it is ignored: " + lost)});
  }
  if (!configFromJson(root, path, l.config, l.error, &l.warnings, resolve)) return l;
  l.ok = true;
  return l;
}

std::string descriptorProblem(const Config& config, uint64_t limit) {
  const size_t needed = descriptorsNeeded(config);
  if (needed <= limit) return "";
  return std::to_string(config.cameras.size()) + " cameras need up to " + std::to_string(needed) +
         " open files, but the limit is " + std::to_string(limit) +
         " (raise it: ulimit -n, or LimitNOFILE= in the unit)";
}
