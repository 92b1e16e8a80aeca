// The bridge's settings, read once at start-up from one JSON file.
#pragma once

#include <cstdint>
#include <string>

#include "config/json.h"

// The camera address used when the file names none. Every example and test names its own.
constexpr const char* kDefaultViscaHost = "192.168.0.100";

struct Config {
  std::string atem_ip;
  int32_t me_index = 0;
  int32_t watch_input_id = 1;
  std::string visca_host = kDefaultViscaHost;
  int32_t visca_port = 52381;
  std::string bind_source_ip;
  bool compat_try_prefix = true;
  bool compat_try_tcp = true;
  bool compat_try_both_ops = true;
  std::string visca_program = "81 01 7e 01 0a 01 05 ff";
  std::string visca_preview = "81 01 7e 01 0a 01 04 ff";
  std::string visca_off = "81 01 7e 01 0a 01 00 ff";
};

// Fills a Config from a parsed document: a member is used only when its JSON type matches the
// field (string, number or true/false); anything else leaves the default. Prints nothing.
Config configFromJson(const JsonValue& root);

// Reads the file at `path`. Returns only on success: when the file cannot be opened, names no
// "atem_ip", holds a number that cannot be read or is nested too deeply, it writes one "[ERR]"
// line on standard error and ends the process with status 1.
Config loadConfig(const std::string& path);
