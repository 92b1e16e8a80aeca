// The bridge's settings, read once at start-up from one JSON file.
#pragma once

#include <cstdint>
#include <string>

#include "config/json.h"

struct Config {
  std::string atem_ip;
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
};

// A configuration file larger than this is refused rather than read.
constexpr size_t kMaxConfigBytes = 1 << 20;

// Fills a Config from a parsed document: a member is used only when its JSON type matches the
// field (string, number or true/false); anything else leaves the default. Prints nothing.
Config configFromJson(const JsonValue& root);

// Reads the regular file at `path` (at most kMaxConfigBytes) into `text`. Never blocks: a FIFO,
// a device or a directory is refused. False with the reason in `error`.
bool readConfigFile(const std::string& path, std::string& text, std::string& error);

// Reads and checks the file at `path`. False with the whole "[ERR] ..." line in `error` when the
// file cannot be read, names no "atem_ip" or "visca_host", holds a number that cannot be read, is
// nested too deeply or sets a port or input out of range.
bool loadConfig(const std::string& path, Config& config, std::string& error);
