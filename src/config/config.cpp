#include "config/config.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <stdexcept>

#include "base/log.h"
#include "visca/visca_bytes.h"

bool operator==(const CameraConfig& a, const CameraConfig& b) {
  return a.name == b.name && a.me_index == b.me_index && a.watch_input_id == b.watch_input_id &&
         a.visca_host == b.visca_host && a.visca_port == b.visca_port &&
         a.bind_source_ip == b.bind_source_ip && a.compat_try_prefix == b.compat_try_prefix &&
         a.compat_try_tcp == b.compat_try_tcp && a.compat_try_both_ops == b.compat_try_both_ops &&
         a.visca_program == b.visca_program && a.visca_preview == b.visca_preview &&
         a.visca_off == b.visca_off && a.tally_source == b.tally_source &&
         a.lamp_refresh_ms == b.lamp_refresh_ms;
}

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

const char* const kCameraKeys[] = {
    "me_index",      "watch_input_id", "visca_host",          "visca_port",
    "bind_source_ip", "compat_try_prefix", "compat_try_tcp", "compat_try_both_ops",
    "visca_program", "visca_preview",  "visca_off",           "tally_source",
    "lamp_refresh_ms"};
const char* const kTopOnlyKeys[] = {"atem_ip", "cameras", "lamp_on_switcher_loss", "log_changes"};

const char* typeName(JsonType t) {
  switch (t) {
    case JsonType::Null: return "null";
    case JsonType::Bool: return "true/false";
    case JsonType::Number: return "a number";
    case JsonType::String: return "a string";
    case JsonType::Array: return "an array";
    case JsonType::Object: return "an object";
  }
  return "?";
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

bool isDottedIpv4(const std::string& text) {
  in_addr a;
  return ::inet_pton(AF_INET, text.c_str(), &a) == 1;
}

// Reads one object (the top level or a camera entry) with the lenient type rules and collects
// what --check warns about. `where` names the object in messages ("" for the top level).
struct Reader {
  const JsonValue& obj;
  std::string where;  // "Config" or "Config, camera 2 (cam2)"
  std::vector<ConfigWarning>* warnings;

  void warn(const std::string& text, bool atStartup = false) const {
    if (warnings) warnings->push_back({printable("[WARN] " + where + ": " + text), atStartup});
  }
  const JsonValue* member(const char* key, JsonType want, const char* shownDefault) const {
    if (!obj.has(key)) return nullptr;
    const JsonValue& v = obj[key];
    if (v.type == want) return &v;
    warn(std::string("'") + key + "' is " + typeName(v.type) + ", not " + typeName(want) +
         ": it keeps " + shownDefault);
    return nullptr;
  }
  void text(const char* key, std::string& field) const {
    if (const JsonValue* v = member(key, JsonType::String, ("\"" + field + "\"").c_str()))
      field = v->str;
  }
  void number(const char* key, int32_t& field) const {
    if (const JsonValue* v = member(key, JsonType::Number, std::to_string(field).c_str()))
      field = v->asInt(field);
  }
  void flag(const char* key, bool& field) const {
    if (const JsonValue* v = member(key, JsonType::Bool, field ? "true" : "false")) field = v->b;
  }
  void unknownKeys(bool topLevel) const {
    for (const auto& m : obj.obj) {
      const std::string& key = m.first;
      std::vector<const char*> known(std::begin(kCameraKeys), std::end(kCameraKeys));
      if (topLevel)
        known.insert(known.end(), std::begin(kTopOnlyKeys), std::end(kTopOnlyKeys));
      else
        known.push_back("name");
      if (std::find_if(known.begin(), known.end(), [&](const char* k) { return key == k; }) !=
          known.end())
        continue;
      // Notes are what unknown keys are for.
      if (key == "note" || key == "notes" || key == "comment" || key == "comments" ||
          key.rfind("_", 0) == 0)
        continue;
      const char* best = known[0];
      for (const char* k : known)
        if (editDistance(key, k) < editDistance(key, best)) best = k;
      if (editDistance(key, best) <= std::max<size_t>(2, key.size() / 3))
        warn("unknown key '" + key + "', did you mean '" + best + "'?");
      else
        warn("unknown key '" + key + "' is not read");
    }
  }
};

std::string rangeError(const char* key, int32_t value, const char* range) {
  return std::string("'") + key + "' must be " + range + ", not " + std::to_string(value);
}

// The camera keys of one object over the values `c` already holds. False with `why` for a
// tally_source that names neither rule.
bool readCameraKeys(const Reader& r, CameraConfig& c, std::string& why) {
  r.number("me_index", c.me_index);
  r.number("watch_input_id", c.watch_input_id);
  r.text("visca_host", c.visca_host);
  r.number("visca_port", c.visca_port);
  r.text("bind_source_ip", c.bind_source_ip);
  r.flag("compat_try_prefix", c.compat_try_prefix);
  r.flag("compat_try_tcp", c.compat_try_tcp);
  r.flag("compat_try_both_ops", c.compat_try_both_ops);
  r.text("visca_program", c.visca_program);
  r.text("visca_preview", c.visca_preview);
  r.text("visca_off", c.visca_off);
  r.number("lamp_refresh_ms", c.lamp_refresh_ms);
  std::string source = c.tally_source == TallySource::SWITCHER ? "switcher" : "buses";
  r.text("tally_source", source);
  if (source != "buses" && source != "switcher")
    return why = "'tally_source' must be \"buses\" or \"switcher\", not \"" + source + "\"", false;
  c.tally_source = source == "switcher" ? TallySource::SWITCHER : TallySource::BUSES;
  return true;
}

// What no camera may have, whatever the file's leniency: no address, a port or input that cannot
// be meant, commands that are not hex. `why` is set to the message without its "[ERR]" head.
bool checkCamera(const CameraConfig& c, std::string& why) {
  if (c.visca_host.empty()) return why = "missing 'visca_host'", false;
  if (c.visca_port < 1 || c.visca_port > 65535)
    return why = rangeError("visca_port", c.visca_port, "1-65535"), false;
  if (c.watch_input_id < 0 || c.watch_input_id > 65535)
    return why = rangeError("watch_input_id", c.watch_input_id, "0-65535"), false;
  if (c.lamp_refresh_ms < 0)
    return why = rangeError("lamp_refresh_ms", c.lamp_refresh_ms, "0 or more"), false;
  CommandSet commands;
  return buildCommandSet(c.visca_program, c.visca_preview, c.visca_off, commands, why);
}

// Start-up warnings of one camera: lossy hex pieces, a refresh raised to the least allowed.
void cameraWarnings(const Reader& r, CameraConfig& c) {
  const std::pair<const char*, const std::string*> texts[] = {{"visca_program", &c.visca_program},
                                                               {"visca_preview", &c.visca_preview},
                                                               {"visca_off", &c.visca_off}};
  for (const auto& [key, text] : texts) {
    Bytes bytes;
    std::vector<LossyPiece> lossy;
    hexStringToBytes(*text, bytes, nullptr, &lossy);
    for (const LossyPiece& p : lossy)
      r.warn(std::string("'") + key + "' piece '" + p.piece +
                 "' is not one or two hex digits; it " + "was read as " +
                 bytesToHexString(&p.byte, 1),
             true);
  }
  if (c.lamp_refresh_ms > 0 && c.lamp_refresh_ms < kMinRefreshMs) {
    r.warn("'lamp_refresh_ms' " + std::to_string(c.lamp_refresh_ms) + " raised to " +
               std::to_string(kMinRefreshMs),
           true);
    c.lamp_refresh_ms = kMinRefreshMs;
  }
  if (!isDottedIpv4(c.visca_host))
    r.warn("'visca_host' \"" + c.visca_host +
           "\" is not a dotted IPv4 address: commands would go to 0.0.0.0");
  if (!c.bind_source_ip.empty() && !isDottedIpv4(c.bind_source_ip))
    r.warn("'bind_source_ip' \"" + c.bind_source_ip +
           "\" is not a dotted IPv4 address: sends would not be bound");
}

bool readConfig(const JsonValue& root, const std::string& path, Config& config,
                std::string& error, std::vector<ConfigWarning>* warnings) {
  if (!root.has("atem_ip")) return error = "[ERR] Config missing 'atem_ip'", false;
  Config c;
  Reader top{root, "Config", warnings};
  top.text("atem_ip", c.atem_ip);
  if (root["atem_ip"].type != JsonType::String) c.atem_ip.clear();
  std::string loss = "keep";
  top.text("lamp_on_switcher_loss", loss);
  if (loss != "keep" && loss != "off")
    return error = "[ERR] Config 'lamp_on_switcher_loss' must be \"keep\" or \"off\", not \"" +
                   loss + "\"",
           false;
  c.lamp_on_switcher_loss = loss == "off" ? SwitcherLoss::OFF : SwitcherLoss::KEEP;
  top.flag("log_changes", c.log_changes);
  top.unknownKeys(true);

  CameraConfig base;
  std::string why;
  bool baseRead = readCameraKeys(top, base, why);

  if (!root.has("cameras")) {
    base.name = "cam1";
    if (!baseRead || !checkCamera(base, why)) {
      // The messages of a file without "cameras" stay as they always were.
      error = why == "missing 'visca_host'" ? "[ERR] Config missing 'visca_host'"
              : why.rfind("Invalid hex", 0) == 0 ? "[ERR] " + why
                                                 : "[ERR] Config " + why;
      return false;
    }
    cameraWarnings(top, base);
    c.cameras.push_back(base);
    config = std::move(c);
    return true;
  }

  const std::string file = "[ERR] Config " + path;
  if (!baseRead) return error = file + ": " + why, false;
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
    CameraConfig cam = base;
    cam.name = "cam" + std::to_string(i + 1);
    Reader r{entry, "Config, " + position, warnings};
    r.text("name", cam.name);
    r.where = "Config, " + position + " (" + cam.name + ")";
    const std::string at = file + ", " + position + " (" + cam.name + "): ";
    for (size_t j = 0; j < c.cameras.size(); ++j)
      if (c.cameras[j].name == cam.name)
        return error = at + "the name is already taken by camera " + std::to_string(j + 1),
               false;
    r.unknownKeys(false);
    if (!readCameraKeys(r, cam, why) || !checkCamera(cam, why)) return error = at + why, false;
    cameraWarnings(r, cam);
    c.cameras.push_back(cam);
  }
  config = std::move(c);
  return true;
}

}  // namespace

bool configFromJson(const JsonValue& root, const std::string& path, Config& config,
                    std::string& error, std::vector<ConfigWarning>* warnings) {
  if (readConfig(root, path, config, error, warnings)) return true;
  error = printable(error);  // text from the file may hold a line feed; the line stays one
  return false;
}

bool loadConfig(const std::string& path, Config& config, std::string& error,
                std::vector<ConfigWarning>* warnings) {
  std::string text, why;
  if (!readConfigFile(path, text, why)) {
    error = printable("[ERR] Cannot open config file: " + path + " (" + why + ")");
    return false;
  }
  JsonValue root;
  try {
    root = parseJson(text);
  } catch (const std::length_error&) {
    error = printable("[ERR] Config file is nested too deeply: " + path);
    return false;
  } catch (const std::logic_error&) {
    // std::invalid_argument and std::out_of_range from a number token.
    error = printable("[ERR] Cannot read a number in config file: " + path);
    return false;
  }
  return configFromJson(root, path, config, error, warnings);
}

bool loadConfigWithSwitcher(const std::string& path, Config& config, std::string& error,
                            std::vector<ConfigWarning>* warnings) {
  if (!loadConfig(path, config, error, warnings)) return false;
  if (isDottedIpv4(config.atem_ip)) return true;
  error = printable("[ERR] Invalid ATEM IP: " + config.atem_ip);
  return false;
}
