// The table of settings: each key of the configuration file, once; and the profiles.
#include <climits>
#include <cstdlib>
#include <string>

#include "config/config.h"

namespace {

const char* const kTallySources[] = {"buses", "switcher", nullptr};  // TallySource
const char* const kLossRules[] = {"keep", "off", nullptr};           // SwitcherLoss
const char* const kTransports[] = {"udp", "tcp", nullptr};           // TCP first or not
const char* const kFramings[] = {"raw", "sony-ip", nullptr};
const char* const kProfileNames[] = {"default", "sony", "avonic", "panasonic", nullptr};
const char* const kLamps[] = {"visca", "http", nullptr};
const char* const kTslProtocols[] = {"3.1", "5.0", nullptr};
const char* const kLabelFrom[] = {"default", "long", "short", nullptr};
const char* const kTallies[] = {"none", "tally1", "tally2", "tally3", "tally4", nullptr};
const char* const kColours[] = {"off", "red", "green", "amber", nullptr};  // TSL 5.0's numbers

using S = Settings;
using K = SettingKind;
using Scope = SettingScope;

constexpr SettingDef row(const char* key, K kind, Scope scope, const char* def, int group) {
  SettingDef d;
  d.key = key;
  d.kind = kind;
  d.scope = scope;
  d.def = def;
  d.group = group;
  return d;
}
constexpr SettingDef text(const char* key, Scope scope, const char* def, int group,
                          std::string S::*member) {
  SettingDef d = row(key, K::TEXT, scope, def, group);
  d.text = member;
  return d;
}
constexpr SettingDef number(const char* key, const char* def, int32_t lo, int32_t hi, int group,
                            int32_t S::*member, Scope scope = Scope::CAMERA) {
  SettingDef d = row(key, K::NUMBER, scope, def, group);
  d.lo = lo;
  d.hi = hi;
  d.number = member;
  return d;
}
constexpr SettingDef choice(const char* key, Scope scope, const char* const* words,
                            const char* def, int group, int32_t S::*member) {
  SettingDef d = row(key, K::CHOICE, scope, def, group);
  d.choices = words;
  d.number = member;
  return d;
}
constexpr SettingDef flag(const char* key, Scope scope, const char* def, int group,
                          bool S::*member) {
  SettingDef d = row(key, K::FLAG, scope, def, group);
  d.flag = member;
  return d;
}
constexpr SettingDef list(const char* key, int group, std::vector<std::string> S::*member) {
  SettingDef d = row(key, K::LIST, Scope::CAMERA, "", group);
  d.list = member;
  return d;
}
// A key whose change moves the camera: another address, other commands.
constexpr SettingDef moving(SettingDef d) {
  d.link = true;
  return d;
}
constexpr SettingDef secret(SettingDef d) {
  d.secret = true;
  return d;
}

}  // namespace

// In the order --check prints them. Groups: 0 the top level, 1-4 a camera's lines.
const SettingDef kSettings[] = {
    text("atem_ip", Scope::TOP, "", 0, &S::atem_ip),
    choice("lamp_on_switcher_loss", Scope::TOP, kLossRules, "keep", 0, &S::lamp_on_switcher_loss),
    flag("log_changes", Scope::TOP, "false", 0, &S::log_changes),
    text("http_listen", Scope::TOP, "", 0, &S::http_listen),
    row("cameras", K::NESTED, Scope::TOP, "", -1),
    row("tsl", K::NESTED, Scope::TOP, "", -1),
    row("tally_server", K::NESTED, Scope::TOP, "", -1),
    text("name", Scope::ENTRY, "", -1, &S::name),
    moving(choice("profile", Scope::CAMERA, kProfileNames, "default", 1, &S::profile)),
    number("me_index", "0", INT32_MIN, INT32_MAX, 1, &S::me_index),
    number("watch_input_id", "1", 0, 65535, 1, &S::watch_input_id),
    choice("tally_source", Scope::CAMERA, kTallySources, "switcher", 1, &S::tally_source),
    number("lamp_refresh_ms", "0", 0, INT32_MAX, 1, &S::lamp_refresh_ms),
    moving(choice("lamp", Scope::CAMERA, kLamps, "visca", 1, &S::lamp)),
    moving(text("visca_host", Scope::CAMERA, "", 2, &S::visca_host)),
    moving(number("visca_port", "52381", 1, 65535, 2, &S::visca_port)),
    moving(text("bind_source_ip", Scope::CAMERA, "", 2, &S::bind_source_ip)),
    flag("compat_try_prefix", Scope::CAMERA, "true", 2, &S::compat_try_prefix),
    flag("compat_try_tcp", Scope::CAMERA, "true", 2, &S::compat_try_tcp),
    flag("compat_try_both_ops", Scope::CAMERA, "true", 2, &S::compat_try_both_ops),
    moving(choice("visca_transport", Scope::CAMERA, kTransports, "udp", 2, &S::visca_transport)),
    moving(choice("visca_framing", Scope::CAMERA, kFramings, "raw", 2, &S::visca_framing)),
    moving(text("visca_program", Scope::CAMERA, "81 01 7e 01 0a 01 05 ff", 3, &S::visca_program)),
    moving(text("visca_preview", Scope::CAMERA, "81 01 7e 01 0a 01 04 ff", 3, &S::visca_preview)),
    moving(text("visca_off", Scope::CAMERA, "81 01 7e 01 0a 01 00 ff", 3, &S::visca_off)),
    moving(list("http_program", 4, &S::http_program)),
    moving(list("http_preview", 4, &S::http_preview)),
    moving(list("http_off", 4, &S::http_off)),
    moving(text("http_user", Scope::CAMERA, "", 4, &S::http_user)),
    moving(secret(text("http_password", Scope::CAMERA, "", 4, &S::http_password))),
    // A TSL output. Groups 5-6.
    choice("protocol", Scope::TSL, kTslProtocols, "5.0", 5, &S::protocol),
    choice("transport", Scope::TSL, kTransports, "udp", 5, &S::transport),
    text("host", Scope::TSL, "", 5, &S::host),
    number("port", "0", 1, 65535, 5, &S::port, Scope::TSL),
    number("screen", "0", 0, 65535, 5, &S::screen, Scope::TSL),
    number("refresh_ms", "1000", 0, INT32_MAX, 5, &S::refresh_ms, Scope::TSL),
    flag("dle_stx", Scope::TSL, "false", 5, &S::dle_stx),
    row("sources", K::NESTED, Scope::TSL, "", -1),
    choice("label_from", Scope::TSL, kLabelFrom, "default", 6, &S::label_from),
    choice("program_tally", Scope::TSL, kTallies, "tally1", 6, &S::program_tally),
    choice("preview_tally", Scope::TSL, kTallies, "tally2", 6, &S::preview_tally),
    choice("left_program", Scope::TSL, kColours, "red", 6, &S::left_program),
    choice("left_preview", Scope::TSL, kColours, "green", 6, &S::left_preview),
    choice("text_program", Scope::TSL, kColours, "red", 6, &S::text_program),
    choice("text_preview", Scope::TSL, kColours, "green", 6, &S::text_preview),
    choice("right_program", Scope::TSL, kColours, "red", 6, &S::right_program),
    choice("right_preview", Scope::TSL, kColours, "green", 6, &S::right_preview),
    number("brightness", "3", 0, 3, 6, &S::brightness, Scope::TSL),
    // The tally server. Group 7.
    text("listen", Scope::SERVER, "", 7, &S::listen),
    row("inputs", K::NESTED, Scope::SERVER, "", -1),
};
const size_t kSettingCount = sizeof kSettings / sizeof kSettings[0];

namespace {

// The makes' documented tally commands; the sources are named in the README's profile table.
// Sony: tally 8x 01 7E 01 0A 00 0p FF (p 2 on, 3 off) in VISCA over IP, whose lamp goes dark
// 15 s after the last on command received over IP, hence the refresh.
const char* const kSony[] = {
    "visca_program", "81 01 7e 01 0a 00 02 ff", "visca_preview", "81 01 7e 01 0a 00 03 ff",
    "visca_off", "81 01 7e 01 0a 00 03 ff", "visca_port", "52381", "visca_framing", "sony-ip",
    "lamp_refresh_ms", "10000", "compat_try_prefix", "false", "compat_try_tcp", "false",
    "compat_try_both_ops", "false", nullptr};
// Avonic: two parameter bytes, red then green (02 on, 03 off), raw VISCA on port 1259.
const char* const kAvonic[] = {
    "visca_program", "81 01 7e 01 0a 00 02 03 ff", "visca_preview", "81 01 7e 01 0a 00 03 02 ff",
    "visca_off", "81 01 7e 01 0a 00 03 03 ff", "visca_port", "1259", "compat_try_prefix", "false",
    "compat_try_tcp", "false", "compat_try_both_ops", "false", nullptr};
// Panasonic AW: the HTTP interface's red (TLR) and green (TLG) tally commands.
#define AW "http://{host}:{port}/cgi-bin/aw_cam?cmd="
const char* const kPanasonic[] = {
    "lamp", "http", "visca_port", "80",
    "http_program", AW "TLR:1&res=1|" AW "TLG:0&res=1",
    "http_preview", AW "TLR:0&res=1|" AW "TLG:1&res=1",
    "http_off", AW "TLR:0&res=1|" AW "TLG:0&res=1", nullptr};
#undef AW
const char* const kNone[] = {nullptr};

}  // namespace

const Profile kProfiles[] = {
    {"default", kNone}, {"sony", kSony}, {"avonic", kAvonic}, {"panasonic", kPanasonic}};

const SettingDef* findSetting(const std::string& key) {
  for (const SettingDef& d : kSettings)
    if (key == d.key) return &d;
  return nullptr;
}

void setSetting(const SettingDef& d, Settings& s, const std::string& value) {
  switch (d.kind) {
    case K::TEXT:
      s.*d.text = value;
      break;
    case K::NUMBER:
      s.*d.number = static_cast<int32_t>(std::strtol(value.c_str(), nullptr, 10));
      break;
    case K::CHOICE:
      s.*d.number = 0;
      while (d.choices[s.*d.number] && value != d.choices[s.*d.number]) ++(s.*d.number);
      break;
    case K::FLAG:
      s.*d.flag = value == "true";
      break;
    case K::LIST:
      (s.*d.list).clear();
      for (size_t from = 0; from < value.size();) {
        size_t bar = value.find('|', from);
        if (bar == std::string::npos) bar = value.size();
        (s.*d.list).push_back(value.substr(from, bar - from));
        from = bar + 1;
      }
      break;
    case K::NESTED:
      break;
  }
}

Settings defaultSettings() {
  Settings s;
  for (const SettingDef& d : kSettings) setSetting(d, s, d.def);
  return s;
}

std::string settingText(const SettingDef& d, const Settings& s) {
  switch (d.kind) {
    case K::TEXT:
      return "\"" + (d.secret && !(s.*d.text).empty() ? "***" : s.*d.text) + "\"";
    case K::NUMBER:
      return std::to_string(s.*d.number);
    case K::CHOICE:
      return std::string("\"") + d.choices[s.*d.number] + "\"";
    case K::FLAG:
      return s.*d.flag ? "true" : "false";
    case K::LIST: {
      std::string text = "[";
      for (const std::string& item : s.*d.list)
        text += (text.size() > 1 ? ", \"" : "\"") + item + "\"";
      return text + "]";
    }
    case K::NESTED:
      break;
  }
  return "";
}

namespace {

// Every row that `take` picks (given `arg`) is equal in `a` and `b`.
bool sameRows(const Settings& a, const Settings& b, bool (*take)(const SettingDef&, int), int arg) {
  for (const SettingDef& d : kSettings) {
    if (!take(d, arg)) continue;
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
      case K::LIST:
        same = a.*d.list == b.*d.list;
        break;
      case K::NESTED:
        break;
    }
    if (!same) return false;
  }
  return true;
}

}  // namespace

bool sameCamera(const Settings& a, const Settings& b, bool linkOnly) {
  return sameRows(
      a, b,
      [](const SettingDef& d, int linkOnly) {
        return (d.scope == Scope::CAMERA || d.scope == Scope::ENTRY) && (!linkOnly || d.link);
      },
      linkOnly);
}

bool sameSettings(const Settings& a, const Settings& b, SettingScope scope) {
  return sameRows(
      a, b, [](const SettingDef& d, int scope) { return d.scope == SettingScope(scope); },
      static_cast<int>(scope));
}

int commandLamp(const SettingDef& d) {
  if (d.text == &S::visca_program || d.list == &S::http_program) return PROGRAM;
  if (d.text == &S::visca_preview || d.list == &S::http_preview) return PREVIEW;
  if (d.text == &S::visca_off || d.list == &S::http_off) return OFF;
  return -1;
}
