#include "config/config.h"

#include <cstdlib>
#include <fstream>
#include <iterator>
#include <stdexcept>

#include "app/log.h"

Config configFromJson(const JsonValue& root) {
  Config c;
  c.atem_ip = root["atem_ip"].asString("");
  c.me_index = root["me_index"].asInt(c.me_index);
  c.watch_input_id = root["watch_input_id"].asInt(c.watch_input_id);
  c.visca_host = root["visca_host"].asString(c.visca_host);
  c.visca_port = root["visca_port"].asInt(c.visca_port);
  c.bind_source_ip = root["bind_source_ip"].asString(c.bind_source_ip);
  c.compat_try_prefix = root["compat_try_prefix"].asBool(c.compat_try_prefix);
  c.compat_try_tcp = root["compat_try_tcp"].asBool(c.compat_try_tcp);
  c.compat_try_both_ops = root["compat_try_both_ops"].asBool(c.compat_try_both_ops);
  c.visca_program = root["visca_program"].asString(c.visca_program);
  c.visca_preview = root["visca_preview"].asString(c.visca_preview);
  c.visca_off = root["visca_off"].asString(c.visca_off);
  return c;
}

[[noreturn]] static void configError(const std::string& line) {
  logErr(line);
  std::exit(1);
}

Config loadConfig(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) configError("[ERR] Cannot open config file: " + path);
  std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());

  JsonValue root;
  try {
    root = parseJson(text);
  } catch (const std::length_error&) {
    configError("[ERR] Config file is nested too deeply: " + path);
  } catch (const std::logic_error&) {
    // std::invalid_argument and std::out_of_range from a number token.
    configError("[ERR] Cannot read a number in config file: " + path);
  }
  if (!root.has("atem_ip")) configError("[ERR] Config missing 'atem_ip'");
  return configFromJson(root);
}
