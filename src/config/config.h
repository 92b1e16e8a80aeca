// The bridge's settings, read from one JSON file at start-up and again on a reload.
//
// The top level names the switcher and, with the same keys a camera entry takes, either the one
// camera or the values every entry of "cameras" inherits:
//   { "atem_ip": "192.0.2.10", "visca_program": "...",
//     "cameras": [ { "name": "wide", "watch_input_id": 1, "visca_host": "192.0.2.21" }, ... ] }
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "config/json.h"

enum class TallySource { BUSES, SWITCHER };        // "buses" / "switcher"
enum class SwitcherLoss { KEEP, OFF };              // "keep" / "off"

struct CameraConfig {
  std::string name;  // cam1, cam2, ... by position unless the entry names itself
  int32_t me_index = 0;
  int32_t watch_input_id = 1;
  std::string visca_host;  // required: no guess at a camera address
  int32_t visca_port = 52381;
  std::string bind_source_ip;
  bool compat_try_prefix = true;
  bool compat_try_tcp = true;
  bool compat_try_both_ops = true;
  std::string visca_program = "81 01 7e 01 0a 01 05 ff";
  std::string visca_preview = "81 01 7e 01 0a 01 04 ff";
  std::string visca_off = "81 01 7e 01 0a 01 00 ff";
  TallySource tally_source = TallySource::BUSES;
  int32_t lamp_refresh_ms = 0;  // 0: off; otherwise at least kMinRefreshMs
};

bool operator==(const CameraConfig& a, const CameraConfig& b);
inline bool operator!=(const CameraConfig& a, const CameraConfig& b) { return !(a == b); }

struct Config {
  std::string atem_ip;
  SwitcherLoss lamp_on_switcher_loss = SwitcherLoss::KEEP;
  bool log_changes = false;
  bool listed = false;  // the cameras come from a "cameras" array
  std::vector<CameraConfig> cameras;  // one at least
};

constexpr size_t kMaxConfigBytes = 1 << 20;  // a larger file is refused rather than read
constexpr size_t kMaxCameras = 64;
constexpr int32_t kMinRefreshMs = 500;

// Something the file says that the bridge reads, but that a person rarely means.
struct ConfigWarning {
  std::string text;  // a whole "[WARN] ..." line
  bool atStartup;    // also written when the bridge starts, not only by --check
};

// Reads the regular file at `path` (at most kMaxConfigBytes) into `text`. Never blocks: a FIFO,
// a device or a directory is refused. False with the reason in `error`.
bool readConfigFile(const std::string& path, std::string& text, std::string& error);

// Builds the Config from a parsed document. A member is used only when its JSON type matches the
// key (string, number or true/false); otherwise the value is inherited (an entry from the top
// level, the top level from the default). False with the whole "[ERR] ..." line in `error` when
// the document names no "atem_ip" or camera address, or a value is out of range or unreadable.
// `path` only names the file in messages.
bool configFromJson(const JsonValue& root, const std::string& path, Config& config,
                    std::string& error, std::vector<ConfigWarning>* warnings = nullptr);

// readConfigFile, parseJson and configFromJson in one: the start-up rules.
bool loadConfig(const std::string& path, Config& config, std::string& error,
                std::vector<ConfigWarning>* warnings = nullptr);

// loadConfig, and "[ERR] Invalid ATEM IP: <text>" for an atem_ip that is not a dotted IPv4
// address: what --check and a reload take. At start-up the switcher session itself refuses such
// an address, after its "Connecting" line.
bool loadConfigWithSwitcher(const std::string& path, Config& config, std::string& error,
                            std::vector<ConfigWarning>* warnings = nullptr);
