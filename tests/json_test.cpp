#include "config/json.h"

#include <gtest/gtest.h>

#include <stdexcept>

TEST(Json, LenientParsing) {
  struct Case {
    const char* text;
    JsonType type;
    const char* str;  // expected str (strings) or nullptr
    double num;       // expected num, or array/object size
  } cases[] = {
      {"", JsonType::Null, nullptr, 0},
      {" \t\r\n\v\f", JsonType::Null, nullptr, 0},
      {"\xEF\xBB\xBF{\"a\":1}", JsonType::Object, nullptr, 1},  // a byte-order mark is skipped
      {"+1", JsonType::Null, nullptr, 0},
      {".5", JsonType::Null, nullptr, 0},
      {"nul", JsonType::Null, nullptr, 0},
      {"tru", JsonType::Bool, nullptr, 0},  // false
      {"true", JsonType::Bool, nullptr, 1},
      {"\"a\\qb\\u0041\\tc\\/\\\"\\\\\"", JsonType::String, "aqbA\tc/\"\\", 0},
      {"\"caf\\u00e9 \\ud83d\\ude00\"", JsonType::String, "caf\xC3\xA9 \xF0\x9F\x98\x80", 0},
      {"\"\\ud83dx \\uzz\"", JsonType::String, "ud83dx uzz", 0},
      {"\"open to the end", JsonType::String, "open to the end", 0},
      {"\"ends in a backslash\\", JsonType::String, "ends in a backslash\\", 0},
      {"\"\xC3\xA9\x01\"", JsonType::String, "\xC3\xA9\x01", 0},
      {"007", JsonType::Number, nullptr, 7},
      {"1E2", JsonType::Number, nullptr, 100},
      {"1.5.6", JsonType::Number, nullptr, 1.5},
      {"12e", JsonType::Number, nullptr, 12},
      {"1-2 garbage ]]", JsonType::Number, nullptr, 1},
      {"[1, 2,]", JsonType::Array, nullptr, 2},
      {"[1 2 3]", JsonType::Array, nullptr, 3},
      {"[,1]", JsonType::Array, nullptr, 2},  // a leading null element
      {"[1, 2", JsonType::Array, nullptr, 2},
      {"[nope, 3]", JsonType::Array, nullptr, 2},  // "n" swallows four bytes
      {"[1 } 5]", JsonType::Array, nullptr, 1},   // a byte that starts nothing ends the array
      {"{'a': 1}", JsonType::Object, nullptr, 0},
      {"{\"k\": 1", JsonType::Object, nullptr, 1},
  };
  for (const Case& c : cases) {
    JsonValue v = parseJson(c.text);
    EXPECT_EQ(v.type, c.type) << c.text;
    if (c.str) {
      EXPECT_EQ(v.str, c.str) << c.text;
    }
    double measure = c.type == JsonType::Array    ? v.arr.size()
                     : c.type == JsonType::Object ? v.obj.size()
                     : c.type == JsonType::Bool   ? v.b
                                                  : v.num;
    EXPECT_EQ(measure, c.num) << c.text;
  }
  EXPECT_EQ(parseJson("[,1]").arr[0].type, JsonType::Null);

  JsonValue v = parseJson("{\"a\" 1, \"a\": 2 \"b\": \"x\",}");
  EXPECT_EQ(v["a"].asInt(0), 2);  // last occurrence wins; missing colon and comma accepted
  EXPECT_EQ(v["b"].asString(""), "x");
  JsonValue cut = parseJson("{\"a\": 1, // note\n \"b\": 2, \"c\": [tru]}");
  EXPECT_TRUE(cut.has("a") && !cut.has("b"));
  EXPECT_FALSE(parseJson("{\"c\": [tru], \"b\": 2}").has("b"));  // "ru]" ends the object
}

// Where the text first stops being JSON, read leniently all the same: the line, the column and
// what stands there. (More of them, as a file's warning, in config_test.)
TEST(Json, FirstPlaceThatIsNotJson) {
  const std::pair<const char*, const char*> cases[] = {
      {"{\"a\": [1, 2.5e3, -0, true, null, \"\\u00e9\"]}\n", ""},
      {"{\"a\" 1}", "1:6 a missing ':' after the key \"a\""},
      {"{\"a\": 1,}", "1:9 a comma before '}'"},
      {"[,1]", "1:2 a comma before the first element"},
      {"{\"a\": 007}", "1:7 '007', which is no JSON number"},
      {"{\"a\": \"x", "1:7 a string without its closing quote"},
      {"{\"a\": 1", "1:8 the end of the text before '}'"},
      {"{\"a\": \"\\q\"}", "1:8 an unknown escape \\q"},
      {"{\"a\": \"\\ud800\"}", "1:8 a \\u escape that stands for no character"},
      {"{\"a\": 1} x", "1:10 text after the end of the document"},
      {"\xEF\xBB\xBF{}", ""},
      {"\x01{}", "1:1 byte 0x01 where a value should be"},
  };
  for (const auto& [text, want] : cases) {
    JsonValue v;
    JsonFailure failure;
    JsonSyntax syntax;
    ASSERT_TRUE(parseJson(text, v, failure, &syntax)) << text;
    const std::string got = syntax.valid ? "" : std::to_string(syntax.line) + ":" +
                                                    std::to_string(syntax.column) + " " +
                                                    syntax.what;
    EXPECT_EQ(got, want) << text;
  }
}

// Only two things reject a document: a number token that does not convert or is too large for a
// double, and nesting beyond the limit. A number too small for a double reads as its nearest
// value.
TEST(Json, NumberErrorsAndDepth) {
  std::string mixed;
  for (int i = 0; i < 1 << 20; ++i) mixed += "{\"a\":[";
  const std::pair<std::string, JsonFailure> cases[] = {
      {"-", JsonFailure::NUMBER},
      {"[1, --2]", JsonFailure::NUMBER},
      {"{\"a\": 1e999}", JsonFailure::NUMBER},
      {"-1e999", JsonFailure::NUMBER},
      {std::string(kJsonMaxDepth, '['), JsonFailure::NONE},
      {std::string(kJsonMaxDepth + 1, '['), JsonFailure::DEPTH},
      {std::string(4 << 20, '['), JsonFailure::DEPTH},
      {mixed, JsonFailure::DEPTH},
  };
  for (const auto& [text, want] : cases) {
    JsonValue v;
    JsonFailure got;
    EXPECT_EQ(parseJson(text, v, got), want == JsonFailure::NONE) << text.substr(0, 20);
    EXPECT_EQ(got, want) << text.substr(0, 20);
  }
  JsonValue v;
  JsonFailure failure;
  ASSERT_TRUE(parseJson("[1e-400, 4.9e-324, -1e-999]", v, failure));
  EXPECT_EQ(v.arr.at(0).num, 0.0);
  EXPECT_GT(v.arr.at(1).num, 0.0);
  EXPECT_EQ(v.arr.at(2).num, 0.0);
}
