#include "config/config.h"

#include <gtest/gtest.h>

#include "test_support.h"

using namespace testing_support;

TEST(Config, DefaultsAndTypeRules) {
  Config d = configFromJson(parseJson("{\"atem_ip\": \"127.0.0.5\"}"));
  EXPECT_EQ(d.atem_ip, "127.0.0.5");
  EXPECT_EQ(d.me_index, 0);
  EXPECT_EQ(d.watch_input_id, 1);
  EXPECT_EQ(d.visca_host, kDefaultViscaHost);
  EXPECT_EQ(d.visca_port, 52381);
  EXPECT_EQ(d.bind_source_ip, "");
  EXPECT_TRUE(d.compat_try_prefix && d.compat_try_tcp && d.compat_try_both_ops);
  EXPECT_EQ(d.visca_program, "81 01 7e 01 0a 01 05 ff");
  EXPECT_EQ(d.visca_preview, "81 01 7e 01 0a 01 04 ff");
  EXPECT_EQ(d.visca_off, "81 01 7e 01 0a 01 00 ff");

  // Members of the wrong type count as absent; numbers truncate and clamp.
  Config c = configFromJson(parseJson(R"({"atem_ip": 5, "me_index": "2", "compat_try_tcp": 0,
      "visca_port": "9", "watch_input_id": -3.7, "compat_try_prefix": false,
      "visca_host": " 127.0.0.1 ", "extra": {"me_index": 3, "x": [1, {"y": null}]},
      "visca_off": "", "bind_source_ip": "127.0.0.1"})"));
  EXPECT_EQ(c.atem_ip, "");
  EXPECT_EQ(c.me_index, 0);
  EXPECT_TRUE(c.compat_try_tcp);
  EXPECT_EQ(c.visca_port, 52381);
  EXPECT_EQ(c.watch_input_id, -3);
  EXPECT_FALSE(c.compat_try_prefix);
  EXPECT_EQ(c.visca_host, " 127.0.0.1 ");
  EXPECT_EQ(c.visca_off, "");
  EXPECT_EQ(c.bind_source_ip, "127.0.0.1");

  Config n = configFromJson(parseJson(
      R"({"visca_port": 5000.9, "watch_input_id": 1e10, "me_index": -1, "me_index": 2})"));
  EXPECT_EQ(n.visca_port, 5000);
  EXPECT_EQ(n.watch_input_id, 2147483647);
  EXPECT_EQ(n.me_index, 2);
}

// Runs the built program with `content` as its configuration (or with `env` as given) and
// returns the exit status; stdout and stderr are left in `c`.
static int runWithConfig(Child& c, const std::vector<std::string>& env) {
  startChild(c, {QUORVEL_BIN}, env);
  return waitChild(c, 10000);
}

TEST(Config, LoadingErrorsEndWithStatusOne) {
  TempDir dir;
  struct Case {
    const char* content;  // nullptr: no file at all
    std::string err;
  } cases[] = {
      {nullptr, "[ERR] Cannot open config file: " + dir.path + "/quorvel.json\n"},
      {"", "[ERR] Config missing 'atem_ip'\n"},
      {"[{\"atem_ip\": \"127.0.0.1\"}]", "[ERR] Config missing 'atem_ip'\n"},
      {"\"atem_ip\"", "[ERR] Config missing 'atem_ip'\n"},
      {"42", "[ERR] Config missing 'atem_ip'\n"},
      {"true", "[ERR] Config missing 'atem_ip'\n"},
      {"\xEF\xBB\xBF{\"atem_ip\": \"127.0.0.1\"}", "[ERR] Config missing 'atem_ip'\n"},
      {"{\"me_index\": 1,\n // camera 2\n \"atem_ip\": \"127.0.0.1\"}",
       "[ERR] Config missing 'atem_ip'\n"},
      {"{\"atem_ip\": \"127.0.0.1\", \"visca_port\": 1e999}",
       "[ERR] Cannot read a number in config file: " + dir.path + "/quorvel.json\n"},
      {"{\"atem_ip\": \"127.0.0.1\", \"me_index\": -}",
       "[ERR] Cannot read a number in config file: " + dir.path + "/quorvel.json\n"},
  };
  for (const Case& k : cases) {
    std::string path = dir.path + "/quorvel.json";
    std::remove(path.c_str());
    if (k.content) dir.write("quorvel.json", k.content);
    Child c;
    EXPECT_EQ(runWithConfig(c, {"QUORVEL_CFG=" + path}), 1) << k.err;
    EXPECT_EQ(c.out, "=== Quorvel ===\n[INFO] Loading config from: " + path + "\n");
    EXPECT_EQ(c.err, k.err);
  }

  std::string deep;
  for (int i = 0; i < 1 << 19; ++i) deep += "{\"a\":[";
  std::string path = dir.write("deep.json", deep);
  Child c;
  EXPECT_EQ(runWithConfig(c, {"QUORVEL_CFG=" + path}), 1);
  EXPECT_EQ(c.err, "[ERR] Config file is nested too deeply: " + path + "\n");
}

TEST(Config, PathComesFromEnvironment) {
  Child empty;
  EXPECT_EQ(runWithConfig(empty, {"QUORVEL_CFG="}), 1);
  EXPECT_EQ(empty.out, "=== Quorvel ===\n[INFO] Loading config from: \n");
  EXPECT_EQ(empty.err, "[ERR] Cannot open config file: \n");

  Child unset;
  int status = runWithConfig(unset, {"QUORVEL_CFG"});
  EXPECT_NE(unset.out.find("[INFO] Loading config from: /etc/quorvel.json\n"), std::string::npos);
  if (status == 1) {
    EXPECT_EQ(unset.err, "[ERR] Cannot open config file: /etc/quorvel.json\n");
  }
}
