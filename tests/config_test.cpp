#include "config/config.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

#include "test_support.h"

using namespace testing_support;

namespace {

// Reads `text` as a configuration file named "q.json": the Config, or the error in `error`.
Config read(const std::string& text, std::string* error = nullptr,
            std::vector<ConfigWarning>* warnings = nullptr) {
  Config c;
  std::string e;
  bool ok = configFromJson(parseJson(text), "q.json", c, e, warnings);
  if (error) *error = ok ? "" : e;
  EXPECT_TRUE(ok || error) << e;
  return c;
}

}  // namespace

TEST(Config, DefaultsAndTypeRules) {
  Config d = read(R"({"atem_ip": "127.0.0.5", "visca_host": "127.0.0.1"})");
  ASSERT_EQ(d.cameras.size(), 1u);
  const Settings& k = d.cameras[0].settings;
  EXPECT_EQ(d.top.atem_ip, "127.0.0.5");
  EXPECT_FALSE(d.listed || d.top.log_changes);
  EXPECT_EQ(d.loss, SwitcherLoss::KEEP);
  EXPECT_EQ(k.name, "cam1");
  EXPECT_TRUE(k.me_index == 0 && k.watch_input_id == 1 && k.visca_port == 52381);
  EXPECT_TRUE(k.compat_try_prefix && k.compat_try_tcp && k.compat_try_both_ops);
  EXPECT_EQ(k.visca_program, "81 01 7e 01 0a 01 05 ff");
  EXPECT_EQ(k.visca_preview, "81 01 7e 01 0a 01 04 ff");
  EXPECT_EQ(k.visca_off, "81 01 7e 01 0a 01 00 ff");
  EXPECT_EQ(d.cameras[0].watch.from, TallySource::BUSES);
  EXPECT_EQ(k.lamp_refresh_ms, 0);

  // Members of the wrong type count as absent; numbers truncate and clamp; the last of a key
  // given twice wins.
  Config c = read(R"({"atem_ip": 5, "me_index": "2", "compat_try_tcp": 0,
      "visca_port": "9", "watch_input_id": 3.7, "compat_try_prefix": false,
      "visca_host": " 127.0.0.1 ", "extra": {"me_index": 3, "x": [1, {"y": null}]},
      "visca_off": "", "bind_source_ip": "127.0.0.1", "me_index": -1e10, "me_index": 2.5})");
  const Settings& w = c.cameras.at(0).settings;
  EXPECT_EQ(c.top.atem_ip, "");
  EXPECT_EQ(w.me_index, 2);
  EXPECT_TRUE(w.compat_try_tcp);
  EXPECT_EQ(w.visca_port, 52381);
  EXPECT_EQ(w.watch_input_id, 3);
  EXPECT_FALSE(w.compat_try_prefix);
  EXPECT_EQ(w.visca_host, " 127.0.0.1 ");
  EXPECT_EQ(w.visca_off, "");
  EXPECT_EQ(w.bind_source_ip, "127.0.0.1");
}

// An entry takes what it leaves out from the top level, which takes it from the defaults.
TEST(Config, CamerasInheritFromTheTopLevel) {
  Config c = read(R"({"atem_ip": "127.0.0.5", "visca_program": "81 01 7e 01 0a 00 02 ff",
      "compat_try_tcp": false, "visca_port": 1259, "tally_source": "switcher",
      "lamp_refresh_ms": 200, "lamp_on_switcher_loss": "off", "log_changes": true,
      "cameras": [
        {"name": "wide", "watch_input_id": 1, "visca_host": "127.0.0.21"},
        {"watch_input_id": 2, "visca_host": "127.0.0.22", "visca_port": "7",
         "compat_try_tcp": true, "tally_source": "buses", "me_index": 1},
        {"watch_input_id": 2, "visca_host": "127.0.0.22", "lamp_refresh_ms": 0}]})");
  ASSERT_EQ(c.cameras.size(), 3u);
  EXPECT_TRUE(c.listed && c.top.log_changes && c.loss == SwitcherLoss::OFF);
  const Settings &a = c.cameras[0].settings, &b = c.cameras[1].settings,
                 &d = c.cameras[2].settings;
  EXPECT_EQ(a.name + " " + b.name + " " + d.name, "wide cam2 cam3");
  EXPECT_TRUE(a.visca_port == 1259 && b.visca_port == 1259);  // "7" is no number
  EXPECT_TRUE(!a.compat_try_tcp && b.compat_try_tcp);
  EXPECT_EQ(b.visca_program, "81 01 7e 01 0a 00 02 ff");
  EXPECT_TRUE(c.cameras[0].watch.from == TallySource::SWITCHER &&
              c.cameras[1].watch.from == TallySource::BUSES);
  EXPECT_EQ(b.me_index, 1);
  EXPECT_EQ(a.lamp_refresh_ms, kMinRefreshMs) << "raised";
  EXPECT_EQ(d.lamp_refresh_ms, 0);
}

TEST(Config, EveryMistakeIsOneErrorLine) {
  const std::string head = R"({"atem_ip": "127.0.0.5", "visca_host": "127.0.0.1")";
  const std::string at = "Config q.json, camera ";
  struct Case {
    std::string text, error;
  } cases[] = {
      {"{}", "Config missing 'atem_ip'"},
      {R"({"atem_ip": "127.0.0.5"})", "Config missing 'visca_host'"},
      {head + R"(, "visca_preview": "81 zz ff"})", "Invalid hex in visca_preview: 81 zz ff"},
      {head + R"(, "visca_off": "1 10000000000000000"})",
       "Invalid hex in visca_off: 1 10000000000000000"},
      {head + R"(, "tally_source": "bus"})",
       R"(Config 'tally_source' must be "buses" or "switcher", not "bus")"},
      {head + R"(, "lamp_on_switcher_loss": "dark"})",
       R"(Config 'lamp_on_switcher_loss' must be "keep" or "off", not "dark")"},
      {head + R"(, "lamp_refresh_ms": -1})",
       "Config 'lamp_refresh_ms' must be 0 or more, not -1"},
      {head + R"(, "cameras": {"name": "a"}})",
       "Config q.json: 'cameras' is an object, not an array of cameras"},
      {head + R"(, "cameras": []})", "Config q.json: 'cameras' is empty"},
      {"", "Config q.json: 'cameras' has 65 entries, at most 64 are served"},
      {head + R"(, "cameras": [{}, 7]})", at + "2: a number, not an object"},
      {head + R"(, "cameras": [{"name": "a"}, {"name": "b"}, {"name": "a"}]})",
       at + "3 (a): the name is already taken by camera 1"},
      {head + R"(, "cameras": [{}, {"visca_off": "zz"}]})",
       at + "2 (cam2): Invalid hex in visca_off: zz"},
      {R"({"atem_ip": "127.0.0.5", "cameras": [{"visca_host": "127.0.0.1"}, {}]})",
       at + "2 (cam2): missing 'visca_host'"},
      {head + R"(, "cameras": [{"name": "x", "visca_port": 70000}]})",
       at + "1 (x): 'visca_port' must be 1-65535, not 70000"},
      {head + R"(, "watch_input_id": 65536, "cameras": [{"watch_input_id": 2}, {}]})",
       at + "2 (cam2): 'watch_input_id' must be 0-65535, not 65536"},
      {head + R"(, "cameras": [{"tally_source": 3}, {"tally_source": "both"}]})",
       at + R"(2 (cam2): 'tally_source' must be "buses" or "switcher", not "both")"},
  };
  cases[9].text = head + R"(, "cameras": [)";
  for (int i = 0; i < 64; ++i) cases[9].text += "{},";
  cases[9].text += "{}]}";
  for (const Case& k : cases) {
    std::string error;
    read(k.text, &error);
    EXPECT_EQ(error, k.error) << k.text;
  }
}

// What --check warns about: the lenient reading accepted it, but a person rarely means it. Only
// lossy hex and a raised refresh are also said at start-up.
TEST(Config, WarningsForLikelyMistakes) {
  std::vector<ConfigWarning> warnings;
  read(R"({"atem_ip": "127.0.0.5", "visca_host": "cam-2.local", "visca_prot": 52381,
      "note": "stage left", "bind_source_ip": "10.0.0", "compat_try_tcp": "false",
      "visca_program": "81 01 7e 01 0a 01 05 0g 8101 81-01 0x81",
      "cameras": [{"name": "pit", "visca_host": "127.0.0.1", "lamp_refresh_ms": 1,
                   "fancy": 1}]})",
       nullptr, &warnings);
  std::vector<std::string> got;
  for (const ConfigWarning& w : warnings) got.push_back((w.atStartup ? "* " : "  ") + w.text);
  const std::vector<std::string> want = {
      "  Config: unknown key 'visca_prot', did you mean 'visca_port'?",
      "  Config: 'compat_try_tcp' is a string, not true/false: it keeps true",
      "  Config, camera 1 (pit): unknown key 'fancy' is not read",
      "* Config, camera 1 (pit): 'visca_program' piece '0g' is not one or two hex digits; "
      "it was read as 00",
      "* Config, camera 1 (pit): 'visca_program' piece '8101' is not one or two hex "
      "digits; it was read as 01",
      "* Config, camera 1 (pit): 'visca_program' piece '81-01' is not one or two hex "
      "digits; it was read as 81",
      "* Config, camera 1 (pit): 'lamp_refresh_ms' 1 raised to 500",
      "  Config, camera 1 (pit): 'bind_source_ip' \"10.0.0\" is not a dotted IPv4 "
      "address: sends would not be bound",
  };
  EXPECT_EQ(got, want);
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
      {good + ", \"visca_port\": 117917}",
       "[ERR] Config 'visca_port' must be 1-65535, not 117917\n"},
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

// quorvel --check reads a file as the bridge would: the settings in use and the warnings, or the
// bridge's [ERR] line. The other arguments, and one that is not known.
TEST(Config, CheckVersionHelpAndUnknownArguments) {
  TempDir dir;
  std::string good = dir.write("good.json", R"({"atem_ip": "127.0.0.5", "visca_host": "127.0.0.1",
      "visca_prot": 1, "visca_program": "81 01 7e 01 0a 01 05 0g"})");
  Child c;
  startChild(c, {QUORVEL_BIN, "--check", good}, {});
  EXPECT_EQ(waitChild(c, 5000), 0);
  EXPECT_EQ(
      c.out,
      "Config " + good +
          ": usable, 1 camera\n"
          "  atem_ip \"127.0.0.5\", lamp_on_switcher_loss \"keep\", log_changes false\n"
          "  camera cam1: me_index 0, watch_input_id 1, tally_source \"buses\", lamp_refresh_ms 0\n"
          "    visca_host \"127.0.0.1\", visca_port 52381, bind_source_ip \"\", compat_try_prefix "
          "true, compat_try_tcp true, compat_try_both_ops true\n"
          "    visca_program \"81 01 7e 01 0a 01 05 0g\", visca_preview \"81 01 7e 01 0a 01 04 "
          "ff\", "
          "visca_off \"81 01 7e 01 0a 01 00 ff\"\n");
  EXPECT_EQ(
      c.err,
      "[WARN] Config: unknown key 'visca_prot', did you mean 'visca_port'?\n"
      "[WARN] Config: 'visca_program' piece '0g' is not one or two hex digits; it was read as "
      "00\n");

  std::string badIp = dir.write("ip.json", R"({"atem_ip": "switcher", "visca_host": "127.0.0.1"})");
  struct Case {
    std::vector<std::string> args, env;
    int status;
    std::string out, err;
  } cases[] = {
      {{"--check", badIp}, {}, 1, "", "[ERR] Invalid ATEM IP: switcher\n"},
      {{"--check"}, {"QUORVEL_CFG=" + dir.path}, 1, "",
       "[ERR] Cannot open config file: " + dir.path + " (Is a directory)\n"},
      {{"--version"}, {}, 0, "quorvel " QUORVEL_VERSION "\n", ""},
      {{"--check", good, "x"}, {}, 2, "", "usage: quorvel --check [FILE]\n"},
      {{"--verbose"}, {}, 2, "", "usage: quorvel [--check [FILE] | --version | --help]\n"},
  };
  for (const Case& k : cases) {
    Child run;
    std::vector<std::string> argv = {QUORVEL_BIN};
    argv.insert(argv.end(), k.args.begin(), k.args.end());
    startChild(run, argv, k.env);
    EXPECT_EQ(waitChild(run, 5000), k.status) << k.args[0];
    EXPECT_EQ(run.out, k.out) << k.args[0];
    EXPECT_EQ(run.err, k.err) << k.args[0];
  }
  Child help;
  startChild(help, {QUORVEL_BIN, "--help"}, {});
  EXPECT_EQ(waitChild(help, 5000), 0);
  for (const char* needle : {"QUORVEL_CFG", "/etc/quorvel.json", "--check", "README.md", "SIGHUP"})
    EXPECT_NE(help.out.find(needle), std::string::npos) << needle;
}

// A reload races an editor's save: every cut of a file short of its final brace is refused, and
// the whole file is taken.
TEST(Config, ReloadRefusesAFileCutShort) {
  TempDir dir;
  const std::string file = R"({
  "atem_ip": "127.0.0.1", "visca_host": "127.0.0.1", "lamp_refresh_ms": 1000,
  "cameras": [
    { "name": "wide", "watch_input_id": 1, "visca_port": 52381 },
    { "name": "close", "watch_input_id": 2, "visca_port": 52382, "compat_try_tcp": false },
    { "name": "stage", "watch_input_id": 3, "visca_program": "81 01 7e 01 0a 00 02 ff" }
  ]
}
)";
  const size_t end = file.rfind('}') + 1;
  int taken = 0;
  for (size_t cut = 0; cut <= file.size(); ++cut) {
    const std::string path = dir.write("q.json", file.substr(0, cut));
    LoadedConfig l = loadConfig(path, Reading::RELOAD);
    EXPECT_EQ(l.ok, cut >= end) << cut << ": " << l.error;
    taken += l.ok;
    if (cut == end - 1) {
      EXPECT_EQ(l.error, "Config " + path +
                             ": not valid JSON at line 8, column 1 (the end of the text before '}')");
    }
  }
  EXPECT_EQ(taken, static_cast<int>(file.size() - end + 1));
}

// Thousands of unknown keys: the first 20 are named, the rest counted.
TEST(Config, ManyUnknownKeysAreCounted) {
  std::string text = R"({"atem_ip": "127.0.0.5", "visca_host": "127.0.0.1")";
  for (int i = 0; i < 5000; ++i) text += ", \"k" + std::to_string(i) + "\": 1";
  std::vector<ConfigWarning> warnings;
  read(text + "}", nullptr, &warnings);
  ASSERT_EQ(warnings.size(), 21u);
  EXPECT_EQ(warnings.back().text, "Config: 4980 more unknown keys are not read");
}
