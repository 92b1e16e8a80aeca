// The table of settings: each key of the configuration file, once.
#include <climits>
#include <cstdlib>
#include <string>

#include "config/config.h"

namespace {

const char* const kTallySources[] = {"buses", "switcher", nullptr};  // TallySource
const char* const kLossRules[] = {"keep", "off", nullptr};           // SwitcherLoss
const char* const kTransports[] = {"udp", "tcp", nullptr};           // TCP first or not

using S = Settings;
using K = SettingKind;
using Scope = SettingScope;

constexpr SettingDef text(const char* key, Scope scope, const char* def, int group, bool link,
                          std::string S::*member) {
  return {key, K::TEXT, scope, def, 0, 0, nullptr, group, link, member, nullptr, nullptr};
}
constexpr SettingDef number(const char* key, const char* def, int32_t lo, int32_t hi, int group,
                            bool link, int32_t S::*member) {
  return {key,     K::NUMBER, Scope::CAMERA, def,     lo,     hi,
          nullptr, group,     link,          nullptr, member, nullptr};
}
constexpr SettingDef choice(const char* key, Scope scope, const char* const* words, const char* def,
                            int group, int32_t S::*member, bool link = false) {
  return {key, K::CHOICE, scope, def, 0, 0, words, group, link, nullptr, member, nullptr};
}
constexpr SettingDef flag(const char* key, Scope scope, const char* def, int group,
                          bool S::*member) {
  return {key, K::FLAG, scope, def, 0, 0, nullptr, group, false, nullptr, nullptr, member};
}

}  // namespace

// In the order --check prints them. Groups: 0 the top level, 1-3 a camera's three lines.
const SettingDef kSettings[] = {
    text("atem_ip", Scope::TOP, "", 0, false, &S::atem_ip),
    choice("lamp_on_switcher_loss", Scope::TOP, kLossRules, "keep", 0, &S::lamp_on_switcher_loss),
    flag("log_changes", Scope::TOP, "false", 0, &S::log_changes),
    {"cameras", K::CAMERAS, Scope::TOP, "", 0, 0, nullptr, -1, false, nullptr, nullptr, nullptr},
    text("name", Scope::ENTRY, "", -1, false, &S::name),
    number("me_index", "0", INT32_MIN, INT32_MAX, 1, false, &S::me_index),
    number("watch_input_id", "1", 0, 65535, 1, false, &S::watch_input_id),
    choice("tally_source", Scope::CAMERA, kTallySources, "switcher", 1, &S::tally_source),
    number("lamp_refresh_ms", "0", 0, INT32_MAX, 1, false, &S::lamp_refresh_ms),
    text("visca_host", Scope::CAMERA, "", 2, true, &S::visca_host),
    number("visca_port", "52381", 1, 65535, 2, true, &S::visca_port),
    text("bind_source_ip", Scope::CAMERA, "", 2, true, &S::bind_source_ip),
    flag("compat_try_prefix", Scope::CAMERA, "true", 2, &S::compat_try_prefix),
    flag("compat_try_tcp", Scope::CAMERA, "true", 2, &S::compat_try_tcp),
    flag("compat_try_both_ops", Scope::CAMERA, "true", 2, &S::compat_try_both_ops),
    choice("visca_transport", Scope::CAMERA, kTransports, "udp", 2, &S::visca_transport, true),
    text("visca_program", Scope::CAMERA, "81 01 7e 01 0a 01 05 ff", 3, true, &S::visca_program),
    text("visca_preview", Scope::CAMERA, "81 01 7e 01 0a 01 04 ff", 3, true, &S::visca_preview),
    text("visca_off", Scope::CAMERA, "81 01 7e 01 0a 01 00 ff", 3, true, &S::visca_off),
};
const size_t kSettingCount = sizeof kSettings / sizeof kSettings[0];

Settings defaultSettings() {
  Settings s;
  for (const SettingDef& d : kSettings) {
    switch (d.kind) {
      case K::TEXT:
        s.*d.text = d.def;
        break;
      case K::NUMBER:
        s.*d.number = static_cast<int32_t>(std::strtol(d.def, nullptr, 10));
        break;
      case K::CHOICE:
        s.*d.number = 0;
        while (d.choices[s.*d.number] && std::string(d.choices[s.*d.number]) != d.def)
          ++(s.*d.number);
        break;
      case K::FLAG:
        s.*d.flag = std::string(d.def) == "true";
        break;
      case K::CAMERAS:
        break;
    }
  }
  return s;
}

std::string settingText(const SettingDef& d, const Settings& s) {
  switch (d.kind) {
    case K::TEXT:
      return "\"" + s.*d.text + "\"";
    case K::NUMBER:
      return std::to_string(s.*d.number);
    case K::CHOICE:
      return std::string("\"") + d.choices[s.*d.number] + "\"";
    case K::FLAG:
      return s.*d.flag ? "true" : "false";
    case K::CAMERAS:
      break;
  }
  return "";
}

bool sameCamera(const Settings& a, const Settings& b, bool linkOnly) {
  for (const SettingDef& d : kSettings) {
    if (d.scope == Scope::TOP || (linkOnly && !d.link)) continue;
    bool same = true;
    switch (d.kind) {
      case K::TEXT:
        same = a.*d.text == b.*d.text;
        break;
      case K::NUMBER:
      case K::CHOICE:
        same = a.*d.number == b.*d.number;
        break;
      case K::FLAG:
        same = a.*d.flag == b.*d.flag;
        break;
      case K::CAMERAS:
        break;
    }
    if (!same) return false;
  }
  return true;
}

int commandLamp(const SettingDef& d) {
  if (d.text == &S::visca_program) return PROGRAM;
  if (d.text == &S::visca_preview) return PREVIEW;
  if (d.text == &S::visca_off) return OFF;
  return -1;
}
