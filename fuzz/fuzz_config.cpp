// Feeds the input as a configuration document to parseJson and then to configFromJson, the two
// steps loadConfig takes after reading the file.
//
// The only errors allowed out of the reader are the two number-conversion errors ("stod") and
// std::length_error for nesting beyond kJsonMaxDepth. A parsed tree must be tidy (every field
// that its type does not use left empty, no deeper than the limit), and every Config field must
// hold either the value of the matching type that its camera entry or the top level gives, or
// its default; a document that configFromJson accepts holds no camera it should have refused.
#include <sanitizer/common_interface_defs.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <stdexcept>
#include <string>

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

void expectText(const JsonValue& root, const JsonValue* entry, const char* key,
                const std::string& got, const std::string& def) {
  const JsonValue* m = pick(root, entry, key, JsonType::String);
  if (got != (m ? m->str : def)) fail(key);
}

void expectInt(const JsonValue& root, const JsonValue* entry, const char* key, int32_t got,
               int32_t def) {
  const JsonValue* m = pick(root, entry, key, JsonType::Number);
  int64_t want = def;
  if (m) {
    double t = std::trunc(m->num);
    want = t > 2147483647.0 ? INT32_MAX : t < -2147483648.0 ? INT32_MIN : static_cast<int64_t>(t);
  }
  if (got != want) fail(key);
}

void expectBool(const JsonValue& root, const JsonValue* entry, const char* key, bool got,
                bool def) {
  const JsonValue* m = pick(root, entry, key, JsonType::Bool);
  if (got != (m ? m->b : def)) fail(key);
}

void checkCamera(const JsonValue& root, const JsonValue* entry, const CameraConfig& c) {
  const CameraConfig d;
  expectInt(root, entry, "me_index", c.me_index, d.me_index);
  expectInt(root, entry, "watch_input_id", c.watch_input_id, d.watch_input_id);
  expectText(root, entry, "visca_host", c.visca_host, d.visca_host);
  expectInt(root, entry, "visca_port", c.visca_port, d.visca_port);
  expectText(root, entry, "bind_source_ip", c.bind_source_ip, d.bind_source_ip);
  expectBool(root, entry, "compat_try_prefix", c.compat_try_prefix, d.compat_try_prefix);
  expectBool(root, entry, "compat_try_tcp", c.compat_try_tcp, d.compat_try_tcp);
  expectBool(root, entry, "compat_try_both_ops", c.compat_try_both_ops, d.compat_try_both_ops);
  expectText(root, entry, "visca_program", c.visca_program, d.visca_program);
  expectText(root, entry, "visca_preview", c.visca_preview, d.visca_preview);
  expectText(root, entry, "visca_off", c.visca_off, d.visca_off);
  expectText(root, entry, "tally_source",
             c.tally_source == TallySource::SWITCHER ? "switcher" : "buses", "buses");
  // A refresh below the least allowed is raised to it.
  CameraConfig raised = c;
  if (c.lamp_refresh_ms == kMinRefreshMs) {
    const JsonValue* r = pick(root, entry, "lamp_refresh_ms", JsonType::Number);
    if (r && std::trunc(r->num) >= 1 && std::trunc(r->num) < kMinRefreshMs)
      raised.lamp_refresh_ms = static_cast<int32_t>(std::trunc(r->num));
  }
  expectInt(root, entry, "lamp_refresh_ms", raised.lamp_refresh_ms, 0);
  // What no usable configuration holds.
  if (c.visca_host.empty() || c.visca_port < 1 || c.visca_port > 65535 || c.watch_input_id < 0 ||
      c.watch_input_id > 65535 || c.lamp_refresh_ms < 0 ||
      (c.lamp_refresh_ms > 0 && c.lamp_refresh_ms < kMinRefreshMs))
    fail("a camera the checks should have refused");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  JsonValue root;
  try {
    root = parseJson(text);
  } catch (const std::length_error&) {
    if (countOpeners(text) <= static_cast<size_t>(kJsonMaxDepth))
      fail("length_error without nesting beyond the limit");
    return 0;
  } catch (const std::invalid_argument& e) {
    if (std::strcmp(e.what(), "stod") != 0) fail("invalid_argument from outside the number read");
    return 0;
  } catch (const std::out_of_range& e) {
    if (std::strcmp(e.what(), "stod") != 0) fail("out_of_range from outside the number read");
    return 0;
  }
  checkTree(root, 0);

  Config c;
  std::string error;
  std::vector<ConfigWarning> warnings;
  if (!configFromJson(root, "f.json", c, error, &warnings)) {
    if (error.rfind("[ERR] ", 0) != 0) fail("an error that is not one [ERR] line");
    if (error.find('\n') != std::string::npos) fail("an error of more than one line");
    return 0;
  }
  for (const ConfigWarning& w : warnings)
    if (w.text.rfind("[WARN] Config", 0) != 0) fail("a warning that is not a [WARN] line");
  const JsonValue* ip = member(root, "atem_ip");
  if (c.atem_ip != (ip && ip->type == JsonType::String ? ip->str : "")) fail("atem_ip");
  const JsonValue* list = member(root, "cameras");
  if (!list) {
    if (c.cameras.size() != 1 || c.listed || c.cameras[0].name != "cam1") fail("one camera");
    checkCamera(root, nullptr, c.cameras[0]);
  } else {
    if (list->type != JsonType::Array || c.cameras.size() != list->arr.size() || !c.listed ||
        c.cameras.empty() || c.cameras.size() > kMaxCameras)
      fail("the camera list");
    for (size_t i = 0; i < c.cameras.size(); ++i) {
      checkCamera(root, &list->arr[i], c.cameras[i]);
      for (size_t j = 0; j < i; ++j)
        if (c.cameras[j].name == c.cameras[i].name) fail("two cameras of one name");
    }
  }

  // The lookups configFromJson relies on: a miss, and a lookup through a non-object, give null.
  if (!member(root, "\x01") && root["\x01"].type != JsonType::Null) fail("a miss is not null");
  if (root["atem_ip"].type != JsonType::Object && root["atem_ip"]["x"].type != JsonType::Null)
    fail("a lookup through a non-object is not null");
  if (root.has("atem_ip") != (member(root, "atem_ip") != nullptr)) fail("has disagrees");
  return 0;
}
