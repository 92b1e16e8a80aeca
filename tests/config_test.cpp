#include "config/config.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

#include "test_support.h"

using namespace testing_support;

TEST(Config, DefaultsAndTypeRules) {
  Config d = configFromJson(parseJson("{\"atem_ip\": \"127.0.0.5\"}"));
  EXPECT_EQ(d.atem_ip, "127.0.0.5");
  EXPECT_EQ(d.me_index, 0);
  EXPECT_EQ(d.watch_input_id, 1);
  EXPECT_EQ(d.visca_host, "");
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

// Runs the built program with the environment `env` and returns its exit status; stdout and
// stderr are left in `c`.
static int runWithConfig(Child& c, const std::vector<std::string>& env) {
  startChild(c, {QUORVEL_BIN}, env);
  return waitChild(c, 10000);
}

TEST(Config, LoadingErrorsEndWithStatusOneAtOnce) {
  TempDir dir;
  const std::string path = dir.path + "/quorvel.json";
  const std::string good = "{\"atem_ip\": \"127.0.0.1\", \"visca_host\": \"127.0.0.1\"";
  std::string big = good + ", \"note\": \"" + std::string(10 << 20, 'x') + "\"}";
  struct Case {
    std::string content;  // "-": no file; "/...": that path instead
    std::string err;
  } cases[] = {
      {"-", "[ERR] Cannot open config file: " + path + " (No such file or directory)\n"},
      {"/", "[ERR] Cannot open config file: / (Is a directory)\n"},
      {"/dev/zero", "[ERR] Cannot open config file: /dev/zero (not a regular file)\n"},
      {"fifo", "[ERR] Cannot open config file: " + dir.path + "/fifo (not a regular file)\n"},
      {big, "[ERR] Cannot open config file: " + path + " (larger than 1 MiB)\n"},
      {"", "[ERR] Config missing 'atem_ip'\n"},
      {"[{\"atem_ip\": \"127.0.0.1\"}]", "[ERR] Config missing 'atem_ip'\n"},
      {"\"atem_ip\"", "[ERR] Config missing 'atem_ip'\n"},
      {"true", "[ERR] Config missing 'atem_ip'\n"},
      {"\xEF\xBB\xBF" + good + "}", "[ERR] Config missing 'atem_ip'\n"},
      {"{\"visca_host\": \"127.0.0.1\",\n // camera 2\n \"atem_ip\": \"127.0.0.1\"}",
       "[ERR] Config missing 'atem_ip'\n"},
      {"{\"atem_ip\": \"127.0.0.1\"}", "[ERR] Config missing 'visca_host'\n"},
      {"{\"atem_ip\": \"127.0.0.1\", \"visca_host\": 7}", "[ERR] Config missing 'visca_host'\n"},
      {good + ", \"visca_port\": 1e999}",
       "[ERR] Cannot read a number in config file: " + path + "\n"},
      {good + ", \"me_index\": -}", "[ERR] Cannot read a number in config file: " + path + "\n"},
      {good + ", \"visca_port\": 117917}", "[ERR] Config 'visca_port' must be 1-65535, not 117917\n"},
      {good + ", \"visca_port\": 0}", "[ERR] Config 'visca_port' must be 1-65535, not 0\n"},
      {good + ", \"watch_input_id\": -1}",
       "[ERR] Config 'watch_input_id' must be 0-65535, not -1\n"},
      {good + ", \"watch_input_id\": 65536}",
       "[ERR] Config 'watch_input_id' must be 0-65535, not 65536\n"},
  };
  ASSERT_EQ(mkfifo((dir.path + "/fifo").c_str(), 0600), 0);
  for (const Case& k : cases) {
    std::remove(path.c_str());
    std::string used = path;
    if (k.content == "fifo" || k.content[0] == '/')
      used = k.content[0] == '/' ? k.content : dir.path + "/fifo";
    else if (k.content != "-")
      dir.write("quorvel.json", k.content);
    Child c;
    int64_t start = nowMs();
    EXPECT_EQ(runWithConfig(c, {"QUORVEL_CFG=" + used}), 1) << k.err;
    EXPECT_LT(nowMs() - start, 1000) << k.err;
    EXPECT_EQ(c.out, "=== Quorvel ===\n[INFO] Loading config from: " + used + "\n");
    EXPECT_EQ(c.err, k.err);
  }

  std::string deep;
  for (int i = 0; i < 1 << 16; ++i) deep += "{\"a\":[";
  std::string deepPath = dir.write("deep.json", deep);
  Child c;
  EXPECT_EQ(runWithConfig(c, {"QUORVEL_CFG=" + deepPath}), 1);
  EXPECT_EQ(c.err, "[ERR] Config file is nested too deeply: " + deepPath + "\n");
}

TEST(Config, PathComesFromEnvironment) {
  Child empty;
  EXPECT_EQ(runWithConfig(empty, {"QUORVEL_CFG="}), 1);
  EXPECT_EQ(empty.out, "=== Quorvel ===\n[INFO] Loading config from: \n");
  EXPECT_EQ(empty.err, "[ERR] Cannot open config file:  (No such file or directory)\n");

  // Unset: the default path, whatever this machine holds there.
  Child unset;
  startChild(unset, {QUORVEL_BIN}, {"QUORVEL_CFG"});
  EXPECT_TRUE(waitForOutput(unset, "[INFO] Loading config from: /etc/quorvel.json\n", 5000));
}
