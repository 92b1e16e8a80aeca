#include "config/json.h"

#include <gtest/gtest.h>

#include <stdexcept>

TEST(Json, LiteralsStringsAndStrayBytes) {
  EXPECT_EQ(parseJson("").type, JsonType::Null);
  EXPECT_EQ(parseJson(" \t\r\n\v\f").type, JsonType::Null);
  EXPECT_EQ(parseJson("\xEF\xBB\xBF{\"a\":1}").type, JsonType::Null);  // byte-order mark
  EXPECT_EQ(parseJson("+1").type, JsonType::Null);
  EXPECT_EQ(parseJson(".5").type, JsonType::Null);
  EXPECT_TRUE(parseJson("true").b);
  JsonValue f = parseJson("false");
  EXPECT_EQ(f.type, JsonType::Bool);
  EXPECT_FALSE(f.b);
  JsonValue tru = parseJson("tru");
  EXPECT_EQ(tru.type, JsonType::Bool);
  EXPECT_FALSE(tru.b);
  EXPECT_EQ(parseJson("nul").type, JsonType::Null);
  EXPECT_EQ(parseJson("[nope, 3]").arr.at(1).num, 3);  // "n" swallows four bytes whatever they are
  EXPECT_EQ(parseJson("\"a\\qb\\u0041\\tc\\/\\\"\\\\\"").str, "aqbu0041\tc/\"\\");
  EXPECT_EQ(parseJson("\"open to the end").str, "open to the end");
  EXPECT_EQ(parseJson("\"trailing backslash\\").str, "trailing backslash\\");
  EXPECT_EQ(parseJson("\"\xC3\xA9\x01\"").str, "\xC3\xA9\x01");
  EXPECT_EQ(parseJson("1 garbage ]]]").num, 1);
}

TEST(Json, Numbers) {
  struct Case {
    const char* text;
    double value;
  } cases[] = {{"007", 7}, {"1E2", 100}, {"1.5.6", 1.5}, {"12e", 12}, {"1-2", 1}, {"-0.25", -0.25}};
  for (const Case& c : cases) EXPECT_DOUBLE_EQ(parseJson(c.text).num, c.value) << c.text;
  EXPECT_THROW(parseJson("-"), std::invalid_argument);
  EXPECT_THROW(parseJson("[1, --2]"), std::invalid_argument);
  EXPECT_THROW(parseJson("{\"a\": 1e999}"), std::out_of_range);
  EXPECT_THROW(parseJson("1e-999"), std::out_of_range);
  try {
    parseJson("-");
  } catch (const std::invalid_argument& e) {
    EXPECT_STREQ(e.what(), "stod");
  }
}

TEST(Json, ArraysAreLenient) {
  EXPECT_EQ(parseJson("[1, 2,]").arr.size(), 2u);
  EXPECT_EQ(parseJson("[1 2 3]").arr.size(), 3u);
  JsonValue lead = parseJson("[,1]");
  ASSERT_EQ(lead.arr.size(), 2u);
  EXPECT_EQ(lead.arr[0].type, JsonType::Null);
  EXPECT_EQ(parseJson("[1, 2").arr.size(), 2u);
  EXPECT_EQ(parseJson("[").arr.size(), 0u);
  // An element that consumes nothing ends the array and its byte is consumed.
  const std::string text = "[1 } 5";
  JsonParser p(text);
  JsonValue v = p.parseValue();
  EXPECT_EQ(v.arr.size(), 1u);
  EXPECT_EQ(p.pos, 4u);
  EXPECT_FALSE(parseJson("{\"a\":[tru],\"b\":2}").has("b"));  // "ru]" ends the object
}

TEST(Json, ObjectsAreLenient) {
  JsonValue v = parseJson("{\"a\" 1, \"a\": 2 \"b\": \"x\",}");
  EXPECT_EQ(v["a"].asInt(0), 2);  // last occurrence wins, missing colon and comma accepted
  EXPECT_EQ(v["b"].asString(""), "x");
  EXPECT_TRUE(parseJson("{'a': 1}").obj.empty());
  JsonValue cut = parseJson("{\"a\": 1, // note\n \"b\": 2}");
  EXPECT_TRUE(cut.has("a"));
  EXPECT_FALSE(cut.has("b"));
  EXPECT_EQ(parseJson("{\"a\": {\"b\": [1, {\"c\": true}]}")["a"]["b"].arr[1]["c"].asBool(false),
            true);
  EXPECT_EQ(parseJson("{\"k\": 1").obj.size(), 1u);  // missing brace
}

TEST(Json, LookupsAndTypedReads) {
  JsonValue v = parseJson("{\"n\": 2.9, \"m\": -2.9, \"big\": 3e9, \"small\": -3e9, \"s\": \"12\"}");
  EXPECT_EQ(v["n"].asInt(0), 2);
  EXPECT_EQ(v["m"].asInt(0), -2);
  EXPECT_EQ(v["big"].asInt(0), 2147483647);
  EXPECT_EQ(v["small"].asInt(0), -2147483647 - 1);
  EXPECT_EQ(v["s"].asInt(7), 7);
  EXPECT_EQ(v["n"].asBool(true), true);
  EXPECT_EQ(v["n"]["x"].asInt(7), 7);
  EXPECT_EQ(&v["missing"], &jsonNull());
  EXPECT_FALSE(v["n"].has("x"));
  EXPECT_EQ(v["s"].asString("d"), "12");
  EXPECT_EQ(v["n"].asString("d"), "d");
  EXPECT_EQ(jsonNull().type, JsonType::Null);
}

TEST(Json, DeepNestingIsRefusedNotACrash) {
  EXPECT_NO_THROW(parseJson(std::string(kJsonMaxDepth, '[')));
  EXPECT_THROW(parseJson(std::string(4 << 20, '[')), std::length_error);
  std::string mixed;
  for (int i = 0; i < 1 << 20; ++i) mixed += "{\"a\":[";
  EXPECT_THROW(parseJson(mixed), std::length_error);
}
