// A small, lenient JSON reader for the configuration file. It rejects a document for two reasons
// only: a number token that does not convert or is too large for a double, and nesting deeper
// than kJsonMaxDepth. Anything else it cannot make sense of becomes a null value or ends the
// current object or array early, and the first such place is noted (JsonSyntax), so that the
// caller can say where the text stops being JSON. Strings are bytes; \uXXXX escapes (surrogate
// pairs included) are written as UTF-8.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

enum class JsonType : int32_t { Null = 0, Bool = 1, Number = 2, String = 3, Array = 4, Object = 5 };

// Arrays and objects nested deeper than this end the parse instead of exhausting the stack. A
// configuration file needs a handful of levels.
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

// Why a document was rejected.
enum class JsonFailure { NONE, NUMBER, DEPTH };

// The first place where the text is not JSON, read leniently all the same.
struct JsonSyntax {
  bool valid = true;
  size_t offset = 0;  // byte offset of the place
  int line = 0, column = 0;  // 1-based; the column counts bytes
  std::string what;          // "a comment", "a missing comma", ...
};

struct JsonParser {
  const std::string& text;
  uint64_t pos = 0;
  int depth = 0;  // arrays and objects currently open
  JsonFailure failure = JsonFailure::NONE;  // set once; every parse step then returns at once
  JsonSyntax syntax;

  // Notes the first place where the text is not JSON, at `pos` unless `at` is given.
  void note(const std::string& what, size_t at = SIZE_MAX);

  explicit JsonParser(const std::string& t) : text(t) {}
  JsonValue parseValue();
  JsonValue parseObject();
  JsonValue parseArray();
  JsonValue parseString();
  JsonValue parseNumber();
  void skipWhitespace();
};

// Parses the first value of `text` into `out`; whatever follows it is not used, only noted when
// it is not white space. False, with the reason in `failure`, for a document that is rejected.
// `syntax` (when given) says where the text first stops being JSON.
bool parseJson(const std::string& text, JsonValue& out, JsonFailure& failure,
               JsonSyntax* syntax = nullptr);
// The same for a document known to be readable (tests, tools): a rejected one gives null.
JsonValue parseJson(const std::string& text);
