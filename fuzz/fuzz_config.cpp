// Feeds the input as a configuration document to parseJson and then to configFromJson, the two
// steps loadConfig takes after reading the file.
//
// The reader may reject a document only for a number token or for nesting beyond kJsonMaxDepth.
// A parsed tree must be tidy (every field that its type does not use left empty, no deeper than
// the limit), and every camera setting must hold either the value of the matching type that its
// camera entry or the top level gives, or its default; a document that configFromJson accepts
// holds no camera it should have refused.
#include <arpa/inet.h>
#include <sanitizer/common_interface_defs.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "base/log.h"
#include "config/config.h"
#include "config/json.h"

namespace {

// Written through the sanitizer runtime, whose report stream stays open under -close_fd_mask.
[[noreturn]] void fail(const char* what) {
  std::string line = std::string("config: ") + what;
  __sanitizer_report_error_summary(line.c_str());
  std::abort();
}

// Opening brackets outside of any consideration of strings: an upper bound of the nesting depth.
size_t countOpeners(const std::string& text) {
  size_t n = 0;
  for (char c : text)
    if (c == '[' || c == '{') ++n;
  return n;
}

int checkTree(const JsonValue& v, int depth) {
  if (depth > kJsonMaxDepth) fail("tree nested deeper than the limit");
  if (v.type != JsonType::Bool && v.b) fail("b set on a value that is no boolean");
  if (v.type != JsonType::Number && v.num != 0.0) fail("num set on a value that is no number");
  if (v.type == JsonType::Number && !std::isfinite(v.num)) fail("a number that is not finite");
  if (v.type != JsonType::String && !v.str.empty()) fail("str set on a value that is no string");
  if (v.type != JsonType::Array && !v.arr.empty()) fail("elements on a value that is no array");
  if (v.type != JsonType::Object && !v.obj.empty()) fail("members on a value that is no object");
  int deepest = depth;
  int below = (v.type == JsonType::Array || v.type == JsonType::Object) ? depth + 1 : depth;
  for (const JsonValue& e : v.arr) deepest = std::max(deepest, checkTree(e, below));
  for (const auto& m : v.obj) deepest = std::max(deepest, checkTree(m.second, below));
  return deepest;
}

const JsonValue* member(const JsonValue& root, const char* key) {
  if (root.type != JsonType::Object) return nullptr;
  auto it = root.obj.find(key);
  return it == root.obj.end() ? nullptr : &it->second;
}

// The value a key takes in a camera: the entry's member of the right type, else the top level's,
// else the default.
const JsonValue* pick(const JsonValue& root, const JsonValue* entry, const char* key, JsonType t) {
  const JsonValue* m = entry ? member(*entry, key) : nullptr;
  if (m && m->type == t) return m;
  m = member(root, key);
  return m && m->type == t ? m : nullptr;
}

// Host names never reach the system's resolver here (no lookups leave the machine): names under
// ".test" are 127.0.0.9, every other name is unknown.
bool fakeResolve(const std::string& name, uint32_t& address, std::string& error) {
  if (name.size() > 5 && name.compare(name.size() - 5, 5, ".test") == 0)
    return address = htonl(0x7F000009), true;
  return error = "unknown in the fuzzer", false;
}

// White space around an address is trimmed when the file is read.
std::string trimmed(const std::string& v) {
  const size_t first = v.find_first_not_of(" \t\r\n");
  return first == std::string::npos ? "" : v.substr(first, v.find_last_not_of(" \t\r\n") + 1 - first);
}

int32_t asInt(const JsonValue& m) {
  double t = std::trunc(m.num);
  return t > 2147483647.0 ? INT32_MAX : t < -2147483648.0 ? INT32_MIN : static_cast<int32_t>(t);
}

// Every camera key of the table: the entry's value, else the top level's, else the default.
void checkCamera(const JsonValue& root, const JsonValue* entry, const Settings& c) {
  const Settings d = defaultSettings();
  for (size_t i = 0; i < kSettingCount; ++i) {
    const SettingDef& k = kSettings[i];
    if (k.scope != SettingScope::CAMERA) continue;
    const bool number = k.kind == SettingKind::NUMBER;
    const JsonType type = number                        ? JsonType::Number
                          : k.kind == SettingKind::FLAG ? JsonType::Bool
                                                        : JsonType::String;
    const JsonValue* m = pick(root, entry, k.key, type);
    switch (k.kind) {
      case SettingKind::TEXT: {
        std::string want = m ? m->str : d.*k.text;
        if (k.text == &Settings::visca_host || k.text == &Settings::bind_source_ip)
          want = trimmed(want);
        if (c.*k.text != want) fail(k.key);
        break;
      }
      case SettingKind::FLAG:
        if (c.*k.flag != (m ? m->b : d.*k.flag)) fail(k.key);
        break;
      case SettingKind::CHOICE:
        if (std::string(k.choices[c.*k.number]) != (m ? m->str : k.def)) fail(k.key);
        break;
      case SettingKind::NUMBER: {
        int32_t want = m ? asInt(*m) : d.*k.number;
        // A refresh below the least allowed is raised to it.
        if (k.number == &Settings::lamp_refresh_ms && want >= 1 && want < kMinRefreshMs)
          want = kMinRefreshMs;
        if (c.*k.number != want) fail(k.key);
        // What no usable configuration holds.
        if (c.*k.number < k.lo || c.*k.number > k.hi) fail("a camera out of range");
        break;
      }
      default:
        break;
    }
  }
  if (c.visca_host.empty()) fail("a camera without an address");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  JsonValue root;
  JsonFailure failure;
  if (!parseJson(text, root, failure)) {
    if (failure == JsonFailure::DEPTH && countOpeners(text) <= static_cast<size_t>(kJsonMaxDepth))
      fail("rejected as too deep without nesting beyond the limit");
    return 0;
  }
  checkTree(root, 0);

  Config c;
  std::string error;
  std::vector<ConfigWarning> warnings;
  if (!configFromJson(root, "f.json", c, error, &warnings, fakeResolve)) {
    if (error.empty()) fail("an error without a text");
    if (formatLine({Tag::ERR, error}).find('\n') != std::string::npos)
      fail("an error of more than one line");
    return 0;
  }
  for (const ConfigWarning& w : warnings)
    if (w.text.rfind("Config", 0) != 0) fail("a warning that does not name the file");
  const JsonValue* ip = member(root, "atem_ip");
  if (c.top.atem_ip != trimmed(ip && ip->type == JsonType::String ? ip->str : ""))
    fail("atem_ip");
  const JsonValue* list = member(root, "cameras");
  if (!list) {
    if (c.cameras.size() != 1 || c.listed || c.cameras[0].settings.name != "cam1")
      fail("one camera");
    checkCamera(root, nullptr, c.cameras[0].settings);
  } else {
    if (list->type != JsonType::Array || c.cameras.size() != list->arr.size() || !c.listed ||
        c.cameras.empty() || c.cameras.size() > kMaxCameras)
      fail("the camera list");
    for (size_t i = 0; i < c.cameras.size(); ++i) {
      checkCamera(root, &list->arr[i], c.cameras[i].settings);
      for (size_t j = 0; j < i; ++j)
        if (c.cameras[j].settings.name == c.cameras[i].settings.name)
          fail("two cameras of one name");
    }
  }

  // The lookups configFromJson relies on: a miss, and a lookup through a non-object, give null.
  if (!member(root, "\x01") && root["\x01"].type != JsonType::Null) fail("a miss is not null");
  if (root["atem_ip"].type != JsonType::Object && root["atem_ip"]["x"].type != JsonType::Null)
    fail("a lookup through a non-object is not null");
  if (root.has("atem_ip") != (member(root, "atem_ip") != nullptr)) fail("has disagrees");
  return 0;
}
