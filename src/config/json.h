// A small, lenient JSON reader for the configuration file. It never rejects a document: input it
// cannot make sense of becomes a null value or ends the current object or array early. The only
// errors it raises are std::invalid_argument / std::out_of_range ("stod") for number tokens that do
// not convert, and std::length_error for nesting deeper than kJsonMaxDepth. Bytes, not characters:
// no Unicode decoding takes place.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

enum class JsonType : int32_t { Null = 0, Bool = 1, Number = 2, String = 3, Array = 4, Object = 5 };

// Arrays and objects nested deeper than this raise std::length_error instead of exhausting the
// stack. A configuration file needs a handful of levels.
constexpr int kJsonMaxDepth = 512;

// Every value carries every field; `type` says which one is meaningful.
struct JsonValue {
  JsonType type = JsonType::Null;
  bool b = false;
  double num = 0.0;
  std::string str;
  std::vector<JsonValue> arr;
  std::map<std::string, JsonValue> obj;

  // The member named `key` of an object; the shared null value for a miss or a non-object.
  const JsonValue& operator[](const std::string& key) const;
  bool has(const std::string& key) const;
  // Typed reads: the value when `type` matches, else `def`. No conversion between kinds.
  std::string asString(const std::string& def) const;
  int32_t asInt(int32_t def) const;  // truncated toward zero, clamped to the 32-bit range
  bool asBool(bool def) const;
};

// The one shared null value, made on first use and never modified.
const JsonValue& jsonNull();

struct JsonParser {
  const std::string& text;
  uint64_t pos = 0;
  int depth = 0;  // arrays and objects currently open

  explicit JsonParser(const std::string& t) : text(t) {}
  JsonValue parseValue();
  JsonValue parseObject();
  JsonValue parseArray();
  JsonValue parseString();
  JsonValue parseNumber();
  void skipWhitespace();
};

// Parses the first value of `text`; whatever follows it is not looked at.
JsonValue parseJson(const std::string& text);
