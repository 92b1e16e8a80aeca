#include "config/json.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstdio>
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

bool JsonValue::asBool(bool def) const {
  return type == JsonType::Bool ? b : def;
}

// Positions at or past the end hold no byte; comparing one with a character is false.
static bool at(const JsonParser& p, char c) {
  return p.pos < p.text.size() && p.text[p.pos] == c;
}
static bool atEnd(const JsonParser& p) {
  return p.pos >= p.text.size();
}

static bool matches(const JsonParser& p, const char* lit, size_t len) {
  return p.pos + len <= p.text.size() && p.text.compare(p.pos, len, lit) == 0;
}

void JsonParser::note(const std::string& what, size_t at) {
  if (!syntax.valid) return;
  syntax.valid = false;
  syntax.offset = at == SIZE_MAX ? std::min<size_t>(pos, text.size()) : at;
  syntax.what = what;
}

// What stands at `pos` where a value or a member should be, for a note.
static std::string found(const JsonParser& p) {
  if (p.pos >= p.text.size()) return "the end of the text";
  if (p.text.compare(p.pos, 2, "//") == 0 || p.text.compare(p.pos, 2, "/*") == 0)
    return "a comment";
  const unsigned char c = static_cast<unsigned char>(p.text[p.pos]);
  if (c >= 0x20 && c < 0x7F) return std::string("'") + static_cast<char>(c) + "'";
  char hex[16];
  std::snprintf(hex, sizeof hex, "byte 0x%02x", c);
  return hex;
}

void JsonParser::skipWhitespace() {
  while (pos < text.size() && std::isspace(static_cast<unsigned char>(text[pos]))) ++pos;
}

JsonValue JsonParser::parseValue() {
  JsonValue v;
  skipWhitespace();
  if (atEnd(*this)) {
    note("the end of the text where a value should be");
    return v;
  }
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
    } else {
      note("a word that is neither true nor false");
    }
    return v;
  }
  if (c == 'n') {
    if (!matches(*this, "null", 4)) note("a word that is not null");
    pos += 4;  // the three bytes after the n are taken on trust
    return v;
  }
  if (c == '-' || (c >= '0' && c <= '9')) return parseNumber();
  note(found(*this) + " where a value should be");
  return v;  // a byte that starts no value: null, nothing consumed
}

static int hexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// The four hex digits at `at` as a number; -1 when they are not four hex digits.
static long hex4(const std::string& text, size_t at) {
  if (at + 4 > text.size()) return -1;
  long v = 0;
  for (size_t i = at; i < at + 4; ++i) {
    int d = hexValue(text[i]);
    if (d < 0) return -1;
    v = v * 16 + d;
  }
  return v;
}

static void appendUtf8(std::string& out, unsigned long cp) {
  if (cp < 0x80) {
    out += static_cast<char>(cp);
  } else if (cp < 0x800) {
    out += static_cast<char>(0xC0 | cp >> 6);
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else if (cp < 0x10000) {
    out += static_cast<char>(0xE0 | cp >> 12);
    out += static_cast<char>(0x80 | (cp >> 6 & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | cp >> 18);
    out += static_cast<char>(0x80 | (cp >> 12 & 0x3F));
    out += static_cast<char>(0x80 | (cp >> 6 & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  }
}

// A \u escape at `pos` (the u): its character as UTF-8, a surrogate pair taken whole. False,
// with nothing consumed, for one that stands for no character.
static bool unicodeEscape(JsonParser& p, std::string& out) {
  long unit = hex4(p.text, p.pos + 1);
  if (unit < 0 || (unit >= 0xDC00 && unit <= 0xDFFF)) return false;
  if (unit >= 0xD800 && unit <= 0xDBFF) {
    long low = p.text.compare(p.pos + 5, 2, "\\u") == 0 ? hex4(p.text, p.pos + 7) : -1;
    if (low < 0xDC00 || low > 0xDFFF) return false;
    appendUtf8(out, 0x10000 + ((unit - 0xD800) << 10) + (low - 0xDC00));
    p.pos += 10;
    return true;
  }
  appendUtf8(out, static_cast<unsigned long>(unit));
  p.pos += 4;
  return true;
}

JsonValue JsonParser::parseString() {
  JsonValue v;
  v.type = JsonType::String;
  const size_t start = pos;
  ++pos;
  while (pos < text.size()) {
    char c = text[pos];
    if (c == '"') break;
    if (static_cast<unsigned char>(c) < 0x20) note("a control character inside a string");
    if (c == '\\' && pos + 1 < text.size()) {
      char e = text[++pos];
      switch (e) {
        case 'n':
          v.str += '\n';
          break;
        case 'r':
          v.str += '\r';
          break;
        case 't':
          v.str += '\t';
          break;
        case 'b':
          v.str += '\b';
          break;
        case 'f':
          v.str += '\f';
          break;
        case '"':
        case '\\':
        case '/':
          v.str += e;
          break;
        case 'u':
          if (unicodeEscape(*this, v.str)) break;
          note("a \\u escape that stands for no character", pos - 1);
          v.str += e;
          break;
        default:
          note(std::string("an unknown escape \\") + e, pos - 1);
          v.str += e;  // the byte stands for itself
          break;
      }
    } else {
      v.str += c;
    }
    ++pos;
  }
  if (pos >= text.size()) note("a string without its closing quote", start);
  ++pos;
  return v;
}

// Whether `t` is a number as JSON writes it: -?(0|[1-9][0-9]*)(.[0-9]+)?([eE][+-]?[0-9]+)?
static bool strictNumber(const std::string& t) {
  size_t i = 0;
  auto digits = [&] {
    size_t from = i;
    while (i < t.size() && t[i] >= '0' && t[i] <= '9') ++i;
    return i > from;
  };
  if (i < t.size() && t[i] == '-') ++i;
  if (i < t.size() && t[i] == '0')
    ++i;
  else if (!digits())
    return false;
  if (i < t.size() && t[i] == '.' && (++i, !digits())) return false;
  if (i < t.size() && (t[i] == 'e' || t[i] == 'E')) {
    ++i;
    if (i < t.size() && (t[i] == '+' || t[i] == '-')) ++i;
    if (!digits()) return false;
  }
  return i == t.size();
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
  if (!strictNumber(token)) note("'" + token + "', which is no JSON number", start);
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
static bool openContainer(JsonParser& p, char close) {
  ++p.pos;
  if (!atEnd(p)) p.skipWhitespace();
  if (!atEnd(p)) return true;
  p.note(std::string("the end of the text before '") + close + "'");
  ++p.pos;
  return false;
}

// Steps over the comma after an element or member (a missing one is accepted) and the white
// space around it. False when the text ends there, stepping past the end as a missing bracket.
static bool nextItem(JsonParser& p, char close) {
  p.skipWhitespace();
  if (at(p, ',')) {
    ++p.pos;
    p.skipWhitespace();
    if (at(p, close)) p.note(std::string("a comma before '") + close + "'");
  } else if (!atEnd(p) && !at(p, close)) {
    p.note("a missing comma before " + found(p));
  }
  p.skipWhitespace();
  if (!atEnd(p)) return true;
  p.note(std::string("the end of the text before '") + close + "'");
  ++p.pos;
  return false;
}

JsonValue JsonParser::parseArray() {
  DepthGuard guard(*this);
  JsonValue v;
  v.type = JsonType::Array;
  if (failure != JsonFailure::NONE || !openContainer(*this, ']')) return v;
  if (at(*this, ',')) note("a comma before the first element");
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
    if (!nextItem(*this, ']')) return v;
  }
}

JsonValue JsonParser::parseObject() {
  DepthGuard guard(*this);
  JsonValue v;
  v.type = JsonType::Object;
  if (failure != JsonFailure::NONE || !openContainer(*this, '}')) return v;
  for (;;) {
    if (at(*this, '}')) {
      ++pos;
      return v;
    }
    if (!at(*this, '"')) {
      note(found(*this) + " where a key in double quotes should be");
      ++pos;
      return v;
    }
    std::string key = parseString().str;
    skipWhitespace();
    if (at(*this, ':'))
      ++pos;
    else
      note("a missing ':' after the key \"" + key + "\"");
    skipWhitespace();
    v.obj[key] = parseValue();
    if (failure != JsonFailure::NONE || !nextItem(*this, '}')) return v;
  }
}

bool parseJson(const std::string& text, JsonValue& out, JsonFailure& failure, JsonSyntax* syntax) {
  JsonParser parser(text);
  // A byte-order mark, as some editors write one, is no part of the document.
  if (text.compare(0, 3, "\xEF\xBB\xBF") == 0) parser.pos = 3;
  out = parser.parseValue();
  parser.skipWhitespace();
  if (parser.pos < text.size()) parser.note("text after the end of the document");
  failure = parser.failure;
  if (syntax) {
    *syntax = parser.syntax;
    if (!syntax->valid) {
      syntax->line = 1;
      size_t lineStart = 0;
      for (size_t i = 0; i < syntax->offset && i < text.size(); ++i)
        if (text[i] == '\n') ++syntax->line, lineStart = i + 1;
      syntax->column = static_cast<int>(syntax->offset - lineStart) + 1;
    }
  }
  return failure == JsonFailure::NONE;
}

JsonValue parseJson(const std::string& text) {
  JsonValue v;
  JsonFailure failure;
  return parseJson(text, v, failure) ? v : JsonValue();
}
