// Feeds the input as a configuration document to parseJson and then to configFromJson, the two
// steps loadConfig takes after reading the file.
//
// The only errors allowed out of the reader are the two number-conversion errors ("stod") and
// std::length_error for nesting beyond kJsonMaxDepth. A parsed tree must be tidy (every field
// that its type does not use left empty, no deeper than the limit), and every Config field must
// hold either the document's value of the matching type or its default.
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

void expectText(const JsonValue& root, const char* key, const std::string& got,
                const std::string& def) {
  const JsonValue* m = member(root, key);
  const std::string& want = (m && m->type == JsonType::String) ? m->str : def;
  if (got != want) fail(key);
}

void expectInt(const JsonValue& root, const char* key, int32_t got, int32_t def) {
  const JsonValue* m = member(root, key);
  int64_t want = def;
  if (m && m->type == JsonType::Number) {
    double t = std::trunc(m->num);
    want = t > 2147483647.0 ? INT32_MAX : t < -2147483648.0 ? INT32_MIN : static_cast<int64_t>(t);
  }
  if (got != want) fail(key);
}

void expectBool(const JsonValue& root, const char* key, bool got, bool def) {
  const JsonValue* m = member(root, key);
  bool want = (m && m->type == JsonType::Bool) ? m->b : def;
  if (got != want) fail(key);
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

  const Config c = configFromJson(root);
  const Config d;
  expectText(root, "atem_ip", c.atem_ip, "");
  expectInt(root, "me_index", c.me_index, d.me_index);
  expectInt(root, "watch_input_id", c.watch_input_id, d.watch_input_id);
  expectText(root, "visca_host", c.visca_host, d.visca_host);
  expectInt(root, "visca_port", c.visca_port, d.visca_port);
  expectText(root, "bind_source_ip", c.bind_source_ip, d.bind_source_ip);
  expectBool(root, "compat_try_prefix", c.compat_try_prefix, d.compat_try_prefix);
  expectBool(root, "compat_try_tcp", c.compat_try_tcp, d.compat_try_tcp);
  expectBool(root, "compat_try_both_ops", c.compat_try_both_ops, d.compat_try_both_ops);
  expectText(root, "visca_program", c.visca_program, d.visca_program);
  expectText(root, "visca_preview", c.visca_preview, d.visca_preview);
  expectText(root, "visca_off", c.visca_off, d.visca_off);

  // The lookups configFromJson relies on: a miss, and a lookup through a non-object, give null.
  if (!member(root, "\x01") && root["\x01"].type != JsonType::Null) fail("a miss is not null");
  if (root["atem_ip"].type != JsonType::Object && root["atem_ip"]["x"].type != JsonType::Null)
    fail("a lookup through a non-object is not null");
  if (root.has("atem_ip") != (member(root, "atem_ip") != nullptr)) fail("has disagrees");
  return 0;
}
