#include "config/json.h"

#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstdlib>

const JsonValue& jsonNull() {
  static const JsonValue null;
  return null;
}

const JsonValue& JsonValue::operator[](const std::string& key) const {
  if (type != JsonType::Object) return jsonNull();
  auto it = obj.find(key);
  return it == obj.end() ? jsonNull() : it->second;
}

bool JsonValue::has(const std::string& key) const {
  return type == JsonType::Object && obj.count(key) != 0;
}

std::string JsonValue::asString(const std::string& def) const {
  return type == JsonType::String ? str : def;
}

int32_t JsonValue::asInt(int32_t def) const {
  if (type != JsonType::Number) return def;
  double t = std::trunc(num);
  if (t >= 2147483647.0) return INT32_MAX;
  if (t <= -2147483648.0) return INT32_MIN;
  if (std::isnan(t)) return 0;
  return static_cast<int32_t>(t);
}

bool JsonValue::asBool(bool def) const { return type == JsonType::Bool ? b : def; }

// Positions at or past the end hold no byte; comparing one with a character is false.
static bool at(const JsonParser& p, char c) { return p.pos < p.text.size() && p.text[p.pos] == c; }
static bool atEnd(const JsonParser& p) { return p.pos >= p.text.size(); }

static bool matches(const JsonParser& p, const char* lit, size_t len) {
  return p.pos + len <= p.text.size() && p.text.compare(p.pos, len, lit) == 0;
}

void JsonParser::skipWhitespace() {
  while (pos < text.size() && std::isspace(static_cast<unsigned char>(text[pos]))) ++pos;
}

JsonValue JsonParser::parseValue() {
  JsonValue v;
  skipWhitespace();
  if (atEnd(*this)) return v;
  char c = text[pos];
  if (c == '"') return parseString();
  if (c == '{') return parseObject();
  if (c == '[') return parseArray();
  if (c == 't' || c == 'f') {
    v.type = JsonType::Bool;
    if (matches(*this, "true", 4)) {
      v.b = true;
      pos += 4;
    } else if (matches(*this, "false", 5)) {
      pos += 5;
    }
    return v;
  }
  if (c == 'n') {
    pos += 4;  // the three bytes after the n are taken on trust
    return v;
  }
  if (c == '-' || (c >= '0' && c <= '9')) return parseNumber();
  return v;  // a byte that starts no value: null, nothing consumed
}

JsonValue JsonParser::parseString() {
  JsonValue v;
  v.type = JsonType::String;
  ++pos;
  while (pos < text.size()) {
    char c = text[pos];
    if (c == '"') break;
    if (c == '\\' && pos + 1 < text.size()) {
      char e = text[++pos];
      switch (e) {
        case 'n': v.str += '\n'; break;
        case 'r': v.str += '\r'; break;
        case 't': v.str += '\t'; break;
        default: v.str += e; break;  // \" \\ \/ and every other byte stand for themselves
      }
    } else {
      v.str += c;
    }
    ++pos;
  }
  ++pos;
  return v;
}

JsonValue JsonParser::parseNumber() {
  JsonValue v;
  v.type = JsonType::Number;
  uint64_t start = pos;
  if (at(*this, '-')) ++pos;
  while (pos < text.size()) {
    char c = text[pos];
    if (!((c >= '0' && c <= '9') || c == '+' || c == '-' || c == '.' || c == 'e' || c == 'E'))
      break;
    ++pos;
  }
  // strtod converts the longest prefix of the token that forms a number ("1.5.6" is 1.5). A
  // token with no such prefix ("-", "--2") or too large for a double rejects the document; one
  // too small for a double reads as the nearest value it has (0 for 1e-400).
  const std::string token = text.substr(start, pos - start);
  char* end = nullptr;
  errno = 0;
  v.num = std::strtod(token.c_str(), &end);
  if (end == token.c_str() || (errno == ERANGE && std::fabs(v.num) > 1.0))
    failure = JsonFailure::NUMBER;
  return v;
}

namespace {
// Counts one level of nesting for as long as an array or object is being parsed; past the limit
// the document is rejected.
struct DepthGuard {
  JsonParser& p;
  explicit DepthGuard(JsonParser& parser) : p(parser) {
    if (++p.depth > kJsonMaxDepth) p.failure = JsonFailure::DEPTH;
  }
  ~DepthGuard() { --p.depth; }
};
}  // namespace

// Steps past the opening bracket or brace and any white space after it. False when the text
// ends there; the container is then closed by stepping past the end.
static bool openContainer(JsonParser& p) {
  ++p.pos;
  if (!atEnd(p)) p.skipWhitespace();
  if (!atEnd(p)) return true;
  ++p.pos;
  return false;
}

// Steps over the comma after an element or member (a missing one is accepted) and the white
// space around it. False when the text ends there, stepping past the end as a missing bracket.
static bool nextItem(JsonParser& p) {
  p.skipWhitespace();
  if (at(p, ',')) ++p.pos;
  p.skipWhitespace();
  if (!atEnd(p)) return true;
  ++p.pos;
  return false;
}

JsonValue JsonParser::parseArray() {
  DepthGuard guard(*this);
  JsonValue v;
  v.type = JsonType::Array;
  if (failure != JsonFailure::NONE || !openContainer(*this)) return v;
  for (;;) {
    if (at(*this, ']')) {
      ++pos;
      return v;
    }
    uint64_t before = pos;
    JsonValue element = parseValue();
    if (failure != JsonFailure::NONE) return v;
    if (pos == before && !at(*this, ',')) {
      // Nothing here starts a value and no comma follows: end the array and consume the byte,
      // as an object does with a member that does not start with a quote.
      ++pos;
      return v;
    }
    v.arr.push_back(std::move(element));
    if (!nextItem(*this)) return v;
  }
}

JsonValue JsonParser::parseObject() {
  DepthGuard guard(*this);
  JsonValue v;
  v.type = JsonType::Object;
  if (failure != JsonFailure::NONE || !openContainer(*this)) return v;
  for (;;) {
    if (at(*this, '}')) {
      ++pos;
      return v;
    }
    if (!at(*this, '"')) {
      ++pos;
      return v;
    }
    std::string key = parseString().str;
    skipWhitespace();
    if (at(*this, ':')) ++pos;
    skipWhitespace();
    v.obj[key] = parseValue();
    if (failure != JsonFailure::NONE || !nextItem(*this)) return v;
  }
}

bool parseJson(const std::string& text, JsonValue& out, JsonFailure& failure) {
  JsonParser parser(text);
  out = parser.parseValue();
  failure = parser.failure;
  return failure == JsonFailure::NONE;
}

JsonValue parseJson(const std::string& text) {
  JsonValue v;
  JsonFailure failure;
  return parseJson(text, v, failure) ? v : JsonValue();
}
