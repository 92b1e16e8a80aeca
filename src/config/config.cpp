#include "config/config.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
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
    case K::CAMERAS:
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

bool inScope(const SettingDef& d, bool topLevel) {
  return d.scope == Scope::CAMERA || (d.scope == Scope::TOP) == topLevel;
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

  void warn(const std::string& text, bool atStartup = false) const {
    if (warnings) warnings->push_back({where + ": " + text, atStartup});
  }

  // The keys of this object's scope over the values `s` already holds. The key whose word names
  // none of its choices, with `why`; nullptr when all is well.
  const SettingDef* read(Settings& s, bool topLevel, std::string& why) const {
    for (size_t i = 0; i < kSettingCount; ++i) {
      const SettingDef& d = kSettings[i];
      if (!inScope(d, topLevel) || d.kind == K::CAMERAS || !obj.has(d.key)) continue;
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
        case K::CAMERAS:
          break;
      }
    }
    return nullptr;
  }

  // Each unknown key with the closest known one, the first kUnknownKeysNamed of them; the rest
  // are counted, so that a file of thousands of them is read in no time.
  void unknownKeys(bool topLevel) const {
    std::vector<const char*> known;
    for (size_t i = 0; i < kSettingCount; ++i)
      if (inScope(kSettings[i], topLevel)) known.push_back(kSettings[i].key);
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

std::string rangeText(const SettingDef& d) {
  if (d.hi == INT32_MAX) return std::to_string(d.lo) + " or more";
  return std::to_string(d.lo) + "-" + std::to_string(d.hi);
}

// Checks what no camera may have, whatever the file's leniency (no address, a number out of its
// range, commands that are not hex), and builds the camera, with the start-up warnings: lossy hex
// pieces, a refresh raised to the least allowed, addresses that are not dotted.
bool buildCamera(const Reader& r, const Settings& s, CameraConfig& camera, Refusal& refusal) {
  if (s.visca_host.empty()) return refusal.text = "missing 'visca_host'", false;
  for (size_t i = 0; i < kSettingCount; ++i) {
    const SettingDef& d = kSettings[i];
    if (d.kind != K::NUMBER || d.scope == Scope::TOP) continue;
    const int32_t v = s.*d.number;
    if (v < d.lo || v > d.hi)
      return refusal.text = std::string("'") + d.key + "' must be " + rangeText(d) + ", not " +
                            std::to_string(v),
             false;
  }
  camera = CameraConfig();
  camera.settings = s;
  const std::pair<const char*, const std::string*> texts[] = {{"visca_program", &s.visca_program},
                                                              {"visca_preview", &s.visca_preview},
                                                              {"visca_off", &s.visca_off}};
  for (int i = 0; i < 3; ++i) {
    const auto& [key, text] = texts[i];
    Bytes bytes;
    std::vector<LossyPiece> lossy;
    if (!hexStringToBytes(*text, bytes, nullptr, &lossy)) {
      refusal.bare = true;
      return refusal.text = std::string("Invalid hex in ") + key + ": " + *text, false;
    }
    for (const LossyPiece& p : lossy)
      r.warn(std::string("'") + key + "' piece '" + p.piece +
                 "' is not one or two hex digits; it was read as " + bytesToHexString(&p.byte, 1),
             true);
    camera.commands.forms[PROGRAM - i] = commandForms(bytes);  // program, preview, off
  }
  camera.watch = {s.me_index, s.watch_input_id, static_cast<TallySource>(s.tally_source)};
  camera.ladder = {s.compat_try_prefix, s.compat_try_tcp, s.compat_try_both_ops};
  camera.port = static_cast<uint16_t>(s.visca_port);
  if (s.lamp_refresh_ms > 0 && s.lamp_refresh_ms < kMinRefreshMs) {
    r.warn("'lamp_refresh_ms' " + std::to_string(s.lamp_refresh_ms) + " raised to " +
               std::to_string(kMinRefreshMs),
           true);
    camera.settings.lamp_refresh_ms = kMinRefreshMs;
  }
  camera.refreshNs = int64_t{camera.settings.lamp_refresh_ms} * 1'000'000;
  if (!parseIpv4(s.visca_host, camera.host))
    r.warn("'visca_host' \"" + s.visca_host +
           "\" is not a dotted IPv4 address: commands would go to 0.0.0.0");
  if (!s.bind_source_ip.empty()) {
    camera.bound = parseIpv4(s.bind_source_ip, camera.bindHost);
    if (!camera.bound)
      r.warn("'bind_source_ip' \"" + s.bind_source_ip +
             "\" is not a dotted IPv4 address: sends would not be bound");
  }
  return true;
}

bool readConfig(const JsonValue& root, const std::string& path, Config& config, std::string& error,
                std::vector<ConfigWarning>* warnings) {
  if (!root.has("atem_ip")) return error = "Config missing 'atem_ip'", false;
  Config c;
  Settings top = defaultSettings();
  Reader reader{root, "Config", warnings};
  reader.unknownKeys(true);
  std::string why;
  const SettingDef* bad = reader.read(top, true, why);
  // A problem with a key of the switcher's own comes first, whatever the cameras hold.
  if (bad && bad->scope == Scope::TOP) return error = "Config " + why, false;
  const bool topRead = bad == nullptr;
  if (root["atem_ip"].type != JsonType::String) top.atem_ip.clear();
  c.top = top;
  c.loss = static_cast<SwitcherLoss>(top.lamp_on_switcher_loss);
  c.atemValid = parseIpv4(top.atem_ip, c.atemHost);

  if (!root.has("cameras")) {
    Settings one = top;
    one.name = "cam1";
    CameraConfig camera;
    Refusal refusal;
    if (!topRead) return error = "Config " + why, false;
    if (!buildCamera(reader, one, camera, refusal))
      return error = refusal.bare ? refusal.text : "Config " + refusal.text, false;
    c.cameras.push_back(std::move(camera));
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
    Reader r{entry, "Config, " + position, warnings};
    if (entry["name"].type == JsonType::String) cam.name = entry["name"].str;
    r.where = "Config, " + position + " (" + cam.name + ")";
    const std::string at = file + ", " + position + " (" + cam.name + "): ";
    for (size_t j = 0; j < c.cameras.size(); ++j)
      if (c.cameras[j].settings.name == cam.name)
        return error = at + "the name is already taken by camera " + std::to_string(j + 1), false;
    r.unknownKeys(false);
    CameraConfig camera;
    Refusal refusal;
    if (r.read(cam, false, why)) return error = at + why, false;
    if (!buildCamera(r, cam, camera, refusal)) return error = at + refusal.text, false;
    c.cameras.push_back(std::move(camera));
  }
  config = std::move(c);
  return true;
}

}  // namespace

bool configFromJson(const JsonValue& root, const std::string& path, Config& config,
                    std::string& error, std::vector<ConfigWarning>* warnings) {
  return readConfig(root, path, config, error, warnings);
}

LoadedConfig loadConfig(const std::string& path, Reading reading) {
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
    l.error =
        failure == JsonFailure::DEPTH ? "Config file is nested too deeply: " + path
                                      : "Cannot read a number in config file: " + path;
    return l;
  }
  if (reading == Reading::RELOAD && !syntax.valid) {
    l.error = "Config " + path + ": not valid JSON at line " + std::to_string(syntax.line) +
              ", column " + std::to_string(syntax.column) + " (" + syntax.what + ")";
    return l;
  }
  if (!configFromJson(root, path, l.config, l.error, &l.warnings)) return l;
  if (reading != Reading::START && !l.config.atemValid) {
    l.error = "Invalid ATEM IP: " + l.config.top.atem_ip;
    return l;
  }
  l.ok = true;
  return l;
}

std::string descriptorProblem(const Config& config, uint64_t limit) {
  const size_t needed = descriptorsNeeded(config);
  if (needed <= limit) return "";
  return std::to_string(config.cameras.size()) + " cameras need up to " +
         std::to_string(needed) + " open files, but the limit is " + std::to_string(limit) +
         " (raise it: ulimit -n, or LimitNOFILE= in the unit)";
}
