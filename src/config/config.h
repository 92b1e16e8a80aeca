// The bridge's settings, read from one JSON file at start-up and again on a reload.
//
// The top level names the switcher and, with the same keys a camera entry takes, either the one
// camera or the values every entry of "cameras" inherits:
//   { "atem_ip": "192.0.2.10", "visca_program": "...",
//     "cameras": [ { "name": "wide", "watch_input_id": 1, "visca_host": "192.0.2.21" }, ... ] }
//
// Every key is one row of kSettings (settings.cpp): its type, default, range, where it may stand
// and the member of Settings it fills. The rows drive the reading, the inheritance, --check's
// report, the unknown-key check and the comparison on a reload. Loading then checks what no
// camera may have and builds each camera's CameraConfig: what the protocol units need, parsed once.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "config/json.h"
#include "tally/tally.h"
#include "visca/visca_ladder.h"

enum class SwitcherLoss { KEEP, OFF };  // "keep" / "off"

// The values of the keys as the file gives them (defaults where it is silent). The top level is
// one record; each camera entry starts as a copy of it.
struct Settings {
  // Top level only.
  std::string atem_ip;
  int32_t lamp_on_switcher_loss = 0;  // SwitcherLoss
  bool log_changes = false;
  // A camera entry only.
  std::string name;
  // A camera, at the top level or in an entry.
  int32_t me_index = 0;
  int32_t watch_input_id = 0;
  int32_t tally_source = 0;  // TallySource
  int32_t lamp_refresh_ms = 0;
  std::string visca_host;
  int32_t visca_port = 0;
  std::string bind_source_ip;
  bool compat_try_prefix = false;
  bool compat_try_tcp = false;
  bool compat_try_both_ops = false;
  int32_t visca_transport = 0;  // "udp", "tcp"
  int32_t visca_framing = 0;    // "raw", "sony-ip"
  int32_t profile = 0;          // kProfiles
  int32_t lamp = 0;             // "visca", "http"
  std::string visca_program;
  std::string visca_preview;
  std::string visca_off;
  std::vector<std::string> http_program;
  std::vector<std::string> http_preview;
  std::vector<std::string> http_off;
  std::string http_user;
  std::string http_password;
  // Top level only: the status page's "ADDR:PORT" ("" none).
  std::string http_listen;
  // A TSL output (an entry of "tsl") only.
  int32_t protocol = 0;   // "3.1", "5.0"
  int32_t transport = 0;  // "udp", "tcp"
  std::string host;
  int32_t port = 0;
  int32_t label_from = 0;     // "default", "long", "short"
  int32_t program_tally = 0;  // 3.1: "tally1".."tally4"
  int32_t preview_tally = 0;
  int32_t left_program = 0, left_preview = 0;  // 5.0: "off", "red", "green", "amber"
  int32_t text_program = 0, text_preview = 0;
  int32_t right_program = 0, right_preview = 0;
  int32_t brightness = 0;
  int32_t screen = 0;
  int32_t refresh_ms = 0;
  bool dle_stx = false;
  // The tally server ("tally_server") only.
  std::string listen;
};

// NESTED: an array or object of other scopes ("cameras", "tsl", "sources"), read by the loader.
enum class SettingKind { TEXT, NUMBER, FLAG, CHOICE, LIST, NESTED };
// Where a key stands: the top level only; the top level or a camera entry; a camera entry only;
// an entry of "tsl"; the "tally_server" object.
enum class SettingScope { TOP, CAMERA, ENTRY, TSL, SERVER };

// One key.
struct SettingDef {
  const char* key = nullptr;
  SettingKind kind = SettingKind::TEXT;
  SettingScope scope = SettingScope::CAMERA;
  const char* def = "";                // the default in the file's words ("52381", "true")
  int32_t lo = 0, hi = 0;              // NUMBER: the values that can be meant
  const char* const* choices = nullptr;  // CHOICE: the words, in the order of their enum
  int group = -1;                      // --check prints the keys of one group on one line
  bool link = false;                   // a change moves the camera: a reload starts it afresh
  bool secret = false;                 // never printed
  std::string Settings::*text = nullptr;                // TEXT
  int32_t Settings::*number = nullptr;                  // NUMBER, CHOICE (the word's index)
  bool Settings::*flag = nullptr;                       // FLAG
  std::vector<std::string> Settings::*list = nullptr;  // LIST: strings
};
extern const SettingDef kSettings[];
extern const size_t kSettingCount;

// Every default of the table.
Settings defaultSettings();
// The value of one key in the file's words: "81 01 ff" (quoted), 52381, true, "buses".
std::string settingText(const SettingDef& def, const Settings& s);
// The lamp state whose command the key holds (OFF, PREVIEW, PROGRAM), or -1.
int commandLamp(const SettingDef& def);
// The row of `key`, or nullptr.
const SettingDef* findSetting(const std::string& key);
// Sets one key from its value in the file's words (a list's strings apart by '|'); what a
// profile does.
void setSetting(const SettingDef& def, Settings& s, const std::string& value);

// A profile: the keys it fills for a camera of one make, in the file's words. "{host}" and
// "{port}" in a URL stand for the camera's visca_host and visca_port.
struct Profile {
  const char* name;
  const char* const* values;  // key, value, key, value, ..., nullptr
};
extern const Profile kProfiles[];  // in the order of the "profile" key's words
// True when every camera key (those with `linkOnly`, only the ones that move a camera) is equal.
bool sameCamera(const Settings& a, const Settings& b, bool linkOnly = false);
// True when every key of `scope` (TOP: the top level's own keys) is equal.
bool sameSettings(const Settings& a, const Settings& b, SettingScope scope);

// A camera as the units take it, checked and parsed once.
// One request of an HTTP camera: the URL as written (it holds no credentials) and where it goes.
struct HttpRequest {
  std::string url;
  std::string host;  // as written in the URL
  uint16_t port = 80;
  uint32_t address = 0;  // looked up once, network order
};

struct CameraConfig {
  Settings settings;  // as read, for --check, the lines and the reload comparison
  Watch watch;
  CommandSet commands;
  LadderFlags ladder;
  uint32_t host = 0;    // visca_host's address, network order
  uint16_t port = 0;
  bool bound = false;  // bind_source_ip names an address to send from
  uint32_t bindHost = 0;
  int64_t refreshNs = 0;  // 0: off
  bool http = false;      // lit by HTTP requests instead of VISCA
  std::vector<HttpRequest> requests[kTallyStates];  // by lamp state, each sent in order
};

// An address to listen on: "ADDR:PORT".
struct Listen {
  bool on = false;
  uint32_t host = 0;  // network order
  uint16_t port = 0;
};

// One display of a TSL output: the switcher source it shows and its address on the receiver.
struct TslDisplay {
  uint16_t source = 0;
  uint16_t index = 0;
  std::string label;  // "": the switcher's name for the source
};

// A TSL UMD output, checked.
struct TslConfig {
  Settings settings;  // as read: the TSL keys
  std::string name;   // "tsl1", for the lines
  bool v5 = false;    // TSL 5.0, else 3.1
  bool tcp = false;
  uint32_t host = 0;  // network order
  uint16_t port = 0;
  bool allSources = true;  // every source the switcher names, at its own id
  std::vector<TslDisplay> displays;  // else these
  bool longNames = false;            // the switcher's long names, else the short ones
  uint8_t tallies[kTallyStates] = {};  // 3.1: the tally bits lit by OFF, PREVIEW, PROGRAM
  uint8_t colours[3][kTallyStates] = {};  // 5.0: left, text, right colour by state
  uint8_t brightness = 3;
  uint16_t screen = 0;
  int64_t refreshNs = 0;  // 0: only on change
  bool dleStx = false;
};

// The tally server for wireless tally lights: input k of its list is switcher source k.
struct TallyServerConfig {
  Listen listen;
  std::vector<uint16_t> inputs;  // the sources by input; empty: 1..the highest the switcher names
};

struct Config {
  Settings top;  // the top level as read
  SwitcherLoss loss = SwitcherLoss::KEEP;
  bool listed = false;                // the cameras come from a "cameras" array
  uint32_t atemHost = 0;              // atem_ip's address, network order
  std::vector<CameraConfig> cameras;  // one at least
  std::vector<TslConfig> tsl;
  TallyServerConfig server;           // listen.on: serving
  Listen web;                         // http_listen: the status page
};

// Finds the IPv4 address of a host name. False with the reason in `error`.
using Resolver = bool (*)(const std::string& name, uint32_t& address, std::string& error);
// The system's resolver (/etc/hosts, DNS), IPv4 only.
bool resolveHost(const std::string& name, uint32_t& address, std::string& error);
// "192.0.2.21": an address in network order, dotted.
std::string ipv4Text(uint32_t address);
// "192.0.2.21", or "cam-2.local (192.0.2.21)" for a name: the address used, for the lines.
std::string addressText(const std::string& written, uint32_t address);

constexpr size_t kMaxConfigBytes = 1 << 20;  // a larger file is refused rather than read
// Open files the bridge may hold: the standard streams, the event loop, the signals, the
// switcher, systemd's socket and a few to spare; and per camera the socket ready for the next
// delivery, the last delivery's (kept for answers), the one before it and a TCP rung's.
constexpr size_t kFixedDescriptors = 12;
constexpr size_t kDescriptorsPerCamera = 4;
constexpr size_t kMaxCameras = 64;
constexpr size_t kMaxTslOutputs = 16;
constexpr int32_t kTsl31Addresses = 127;    // display addresses 0-126
constexpr size_t kMaxTallyInputs = 1000;
constexpr size_t kMaxTallyClients = 32;  // the tally server's clients
constexpr size_t kMaxWebClients = 64;    // the status page's connections
constexpr int32_t kMinRefreshMs = 500;
constexpr int32_t kMinTslRefreshMs = 100;

// Something the file says that the bridge reads, but that a person rarely means. Written at
// start-up, on a reload and by --check alike.
struct ConfigWarning {
  std::string text;  // the line without its tag
};

// Reads the regular file at `path` (at most kMaxConfigBytes) into `text`. Never blocks: a FIFO,
// a device or a directory is refused. False with the reason in `error`.
bool readConfigFile(const std::string& path, std::string& text, std::string& error);

// Builds the Config from a parsed document. A member is used only when its JSON type matches the
// key (string, number or true/false); otherwise the value is inherited (an entry from the top
// level, the top level from the default). False with the line (without its tag) in `error` when
// the document names no "atem_ip" or camera address, or a value is out of range or unreadable.
// `path` only names the file in messages; host names are looked up with `resolve`.
bool configFromJson(const JsonValue& root, const std::string& path, Config& config,
                    std::string& error, std::vector<ConfigWarning>* warnings = nullptr,
                    Resolver resolve = resolveHost);

// What loading a file gave: the Config, or the line saying why not; the warnings either way.
struct LoadedConfig {
  bool ok = false;
  Config config;
  std::string error;
  std::vector<ConfigWarning> warnings;
};

// The open files `config` may need at once.
inline size_t descriptorsNeeded(const Config& config) {
  return kFixedDescriptors + kDescriptorsPerCamera * config.cameras.size() + config.tsl.size() +
         (config.server.listen.on ? 1 + kMaxTallyClients : 0) +
         (config.web.on ? 2 + kMaxWebClients : 0);
}
// "" when `config` fits in `limit` open files, else the line that says it does not.
std::string descriptorProblem(const Config& config, uint64_t limit);

// Who reads the file. A file that is not JSON to its end is read as far as it goes, with a
// warning that names what is lost, at start-up and by --check; a reload refuses it, since an
// editor may be half way through writing it.
enum class Reading { START, CHECK, RELOAD };

// readConfigFile, parseJson and configFromJson in one.
LoadedConfig loadConfig(const std::string& path, Reading reading = Reading::START,
                        Resolver resolve = resolveHost);
