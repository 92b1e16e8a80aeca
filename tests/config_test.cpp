#include "config/config.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include "test_support.h"

using namespace testing_support;

namespace {

// Names that resolve here without asking the network: "switcher.test" and "cam.test".
bool fakeResolve(const std::string& name, uint32_t& address, std::string& error) {
  if (name != "switcher.test" && name != "cam.test")
    return error = "Name or service not known", false;
  address = htonl(name == "cam.test" ? 0x7F000015 : 0x7F000009);
  return true;
}

// Reads `text` as a configuration file named "q.json": the Config, or the error in `error`.
Config read(const std::string& text, std::string* error = nullptr,
            std::vector<ConfigWarning>* warnings = nullptr) {
  Config c;
  std::string e;
  bool ok = configFromJson(parseJson(text), "q.json", c, e, warnings, fakeResolve);
  if (error) *error = ok ? "" : e;
  EXPECT_TRUE(ok || error) << e;
  return c;
}

}  // namespace

// Members of the wrong type count as absent; numbers truncate and clamp; the last of a key given
// twice wins. (The defaults are all in the --check output below.)
TEST(Config, TypeRules) {
  Config c = read(R"({"atem_ip": "127.0.0.1", "me_index": "2", "compat_try_tcp": 0,
      "visca_port": "9", "watch_input_id": 3.7, "compat_try_prefix": false,
      "visca_host": " 127.0.0.1 ", "extra": {"me_index": 3, "x": [1, {"y": null}]},
      "visca_off": "", "bind_source_ip": "127.0.0.1", "me_index": -1e10, "me_index": -2.9,
      "lamp_refresh_ms": 3e9})");
  const Settings& w = c.cameras.at(0).settings;
  EXPECT_EQ(w.me_index, -2);
  EXPECT_TRUE(w.compat_try_tcp);
  EXPECT_EQ(w.visca_port, 52381);
  EXPECT_EQ(w.watch_input_id, 3);
  EXPECT_FALSE(w.compat_try_prefix);
  EXPECT_EQ(w.visca_host, "127.0.0.1");
  EXPECT_EQ(w.visca_off, "");
  EXPECT_EQ(w.bind_source_ip, "127.0.0.1");
  EXPECT_EQ(w.lamp_refresh_ms, 2147483647);
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
  const Settings &a = c.cameras[0].settings, &b = c.cameras[1].settings, &d = c.cameras[2].settings;
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
  std::string tooMany = head + R"(, "cameras": [)";
  for (int i = 0; i < 64; ++i) tooMany += "{},";
  const std::string http = R"({"atem_ip": "127.0.0.5", "lamp": "http", "http_program": )"
                           R"(["http://127.0.0.1:8080/on"], "http_off": ["http://127.0.0.1/off"])";
  struct Case {
    std::string text, error;
  } cases[] = {
      {"{}", "Config missing 'atem_ip'"},
      {R"({"atem_ip": "127.0.0.5"})", "Config missing 'visca_host'"},
      {head + R"(, "visca_preview": "81 zz ff"})", "Invalid hex in visca_preview: 81 zz ff"},
      {head + R"(, "lamp_on_switcher_loss": "dark"})",
       R"(Config 'lamp_on_switcher_loss' must be "keep" or "off", not "dark")"},
      {head + R"(, "lamp_refresh_ms": -1})", "Config 'lamp_refresh_ms' must be 0 or more, not -1"},
      {head + R"(, "cameras": {"name": "a"}})",
       "Config q.json: 'cameras' is an object, not an array of cameras"},
      {head + R"(, "cameras": []})", "Config q.json: 'cameras' is empty"},
      {tooMany + "{}]}", "Config q.json: 'cameras' has 65 entries, at most 64 are served"},
      {head + R"(, "cameras": [{}, 7]})", at + "2: a number, not an object"},
      {head + R"(, "cameras": [{"name": "a"}, {"name": "b"}, {"name": "a"}]})",
       at + "3 (a): the name is already taken by camera 1"},
      {head + R"(, "cameras": [{}, {"visca_off": "zz"}]})",
       at + "2 (cam2): Invalid hex in visca_off: zz"},
      {R"({"atem_ip": "127.0.0.5", "cameras": [{"visca_host": "127.0.0.1"}, {}]})",
       at + "2 (cam2): missing 'visca_host'"},
      {head + R"(, "cameras": [{"name": "x", "visca_port": 70000}]})",
       at + "1 (x): 'visca_port' must be 1-65535, not 70000"},
      {head + R"(, "cameras": [{"lamp": "http", "watch_input_id": -3, "http_program": ["x"]}]})",
       at + "1 (cam1): 'watch_input_id' must be 0-65535, not -3"},
      {head + R"(, "watch_input_id": 65536, "cameras": [{"watch_input_id": 2}, {}]})",
       at + "2 (cam2): 'watch_input_id' must be 0-65535, not 65536"},
      {head + R"(, "cameras": [{"tally_source": 3}, {"tally_source": "both"}]})",
       at + R"(2 (cam2): 'tally_source' must be "buses" or "switcher", not "both")"},
      // Addresses: a name that does not resolve, text that is no address, a bind by name.
      {R"({"atem_ip": "switcher.local", "visca_host": "127.0.0.1"})",
       "Config 'atem_ip' 'switcher.local' does not resolve to an IPv4 address (Name or service "
       "not known)"},
      {R"({"atem_ip": 5, "visca_host": "127.0.0.1"})",
       "Config 'atem_ip' '' is not an IPv4 address or a host name"},
      {R"({"atem_ip": "127.0.0.5", "visca_host": "127.0.0.1 5"})",
       "Config 'visca_host' '127.0.0.1 5' is not an IPv4 address or a host name"},
      {head + R"(, "cameras": [{"bind_source_ip": "cam.test"}]})",
       at + "1 (cam1): 'bind_source_ip' 'cam.test' is not an IPv4 address"},
      // Commands as manuals print them, placeholders and all.
      {head + R"(, "cameras": [{"visca_off": "81 01 7E 01 0A 00 0p FF"}]})",
       at + "1 (cam1): Invalid hex in visca_off: 81 01 7E 01 0A 00 0p FF (0p: the parameter, see "
            "the camera's tally command)"},
      // What an HTTP camera must have, and what it must not.
      {http + "}",
       "Config 'http_preview' has no URL: an http camera needs requests for each state"},
      {http + R"(, "http_preview": ["https://127.0.0.1/p"]})",
       "Config 'http_preview' URL 'https://127.0.0.1/p' is not http://host[:port]/path"},
      {http + R"(, "http_preview": ["http://u:p@127.0.0.1/p"]})",
       "Config 'http_preview' URL 'http://u:p@127.0.0.1/p' holds credentials: put them in "
       "http_user and http_password"},
      {http + R"(, "http_preview": ["http://127.0.0.1:0/p"]})",
       "Config 'http_preview' URL 'http://127.0.0.1:0/p' has no port 1-65535"},
      {http + R"(, "http_preview": ["http://127.0.0.1"]})",
       "Config 'http_preview' URL 'http://127.0.0.1' is not http://host[:port]/path"},
      {head + R"(, "profile": "canon"})",
       R"(Config 'profile' must be "default", "sony", "avonic" or "panasonic", not "canon")"},
      // TSL outputs and the tally server.
      {head + R"(, "tsl": [{"host": "127.0.0.1"}]})", "Config q.json, tsl 1: missing 'port'"},
      {head + R"(, "tsl": [{"protocol": "3.1", "host": "127.0.0.1", "port": 9000,
          "sources": [{"source": 1, "index": 127}]}]})",
       "Config q.json, tsl 1: 'sources' entry 1: 'index' must be 0-126, not 127"},
      {head + R"(, "tsl": [{"protocol": "3.1", "host": "127.0.0.1", "port": 9000,
          "sources": [{"source": 3}, {"source": 200}]}]})",  // the index is the source's
       "Config q.json, tsl 1: 'sources' entry 2: 'index' must be 0-126, not 200"},
      {head + R"(, "http_listen": "127.0.0.1:8080", "tally_server": {"listen": "127.0.0.1:8080"}})",
       "Config q.json, tally_server: 'listen' 127.0.0.1:8080 and 'http_listen' 127.0.0.1:8080 "
       "take the same port"},
  };
  for (const Case& k : cases) {
    std::string error;
    read(k.text, &error);
    EXPECT_EQ(error, k.error) << k.text;
  }
}

// What the lenient reading accepts but a person rarely means: each warning, as --check, the
// start-up and a reload write it.
TEST(Config, WarningsForLikelyMistakes) {
  const std::string head = R"({"atem_ip": "127.0.0.5", "visca_host": "127.0.0.1")";
  struct Case {
    std::string text;
    std::vector<std::string> warnings;
  } cases[] = {
      {head + R"(, "visca_prot": 52381, "note": "stage left", "_x": 1, "compat_try_tcp": "false"})",
       {"Config: unknown key 'visca_prot', did you mean 'visca_port'?",
        "Config: 'compat_try_tcp' is a string, not true/false: it keeps true"}},
      {head + R"(, "cameras": [{"name": "pit", "lamp_refresh_ms": 1, "fancy": 1,
          "visca_program": "81 01 7e 01 0a 01 05 0g 8101 81-01 0x81"}]})",
       {"Config, camera 1 (pit): unknown key 'fancy' is not read",
        "Config, camera 1 (pit): 'visca_program' piece '0g' is not hex pairs; it was read as 00",
        "Config, camera 1 (pit): 'visca_program' piece '81-01' is not hex pairs; it was read as 81",
        "Config, camera 1 (pit): 'lamp_refresh_ms' 1 raised to 500"}},
      {R"({"atem_ip": " switcher.test", "visca_host": "127.0.0.1\t", "bind_source_ip": " 127.0.0.1"})",
       {"Config: 'atem_ip' ' switcher.test' has white space around it; it is read as "
        "'switcher.test'",
        "Config: 'visca_host' '127.0.0.1\t' has white space around it; it is read as '127.0.0.1'",
        "Config: 'bind_source_ip' ' 127.0.0.1' has white space around it; it is read as "
        "'127.0.0.1'"}},
      {head + R"(, "me_index": 4, "tally_source": "buses"})",
       {"Config: 'me_index' 4 names no M/E (they are 0-3): with tally_source \"buses\" the lamp "
        "never lights"}},
      {head + R"(, "me_index": 4})", {}},  // the switcher's tally list needs no M/E
      {head + R"(, "http_user": "u"})",
       {"Config: the http_ keys are read only for a camera with \"lamp\": \"http\""}},
      {head +
           R"(, "cameras": [{"name": "red"}, {"name": "green", "visca_preview": "81 01 7e 01 0a 00 02 ff"},
          {"name": "far", "visca_port": 1259, "visca_preview": "81"}, {"name": "same"}]})",
       {"Config q.json: camera 1 (red) and camera 2 (green) send different commands to "
        "127.0.0.1:52381; the lamp shows whichever came last",
        "Config q.json: camera 2 (green) and camera 4 (same) send different commands to "
        "127.0.0.1:52381; the lamp shows whichever came last"}},
  };
  for (const Case& k : cases) {
    std::vector<ConfigWarning> warnings;
    read(k.text, nullptr, &warnings);
    std::vector<std::string> got;
    for (const ConfigWarning& w : warnings) got.push_back(w.text);
    EXPECT_EQ(got, k.warnings) << k.text;
  }
  // Names resolved once, the address kept; white space trimmed.
  Config c = read(R"({"atem_ip": "switcher.test", "visca_host": " cam.test "})");
  EXPECT_EQ(c.atemHost, htonl(0x7F000009));
  EXPECT_EQ(c.cameras.at(0).host, htonl(0x7F000015));
  EXPECT_EQ(c.cameras.at(0).settings.visca_host, "cam.test");
  EXPECT_EQ(addressText("cam.test", c.cameras[0].host), "cam.test (127.0.0.21)");
  EXPECT_EQ(addressText("127.0.0.21", c.cameras[0].host), "127.0.0.21");
  // Thousands of unknown keys: the first 20 are named, the rest counted.
  std::string many = R"({"atem_ip": "127.0.0.5", "visca_host": "127.0.0.1")";
  for (int i = 0; i < 5000; ++i) many += ", \"k" + std::to_string(i) + "\": 1";
  std::vector<ConfigWarning> warnings;
  read(many + "}", nullptr, &warnings);
  ASSERT_EQ(warnings.size(), 21u);
  EXPECT_EQ(warnings.back().text, "Config: 4980 more unknown keys are not read");
}

// Runs the built program with `args` and the environment `env`; its exit status, with stdout and
// stderr left in `c`.
static int runQuorvel(Child& c, const std::vector<std::string>& args,
                      const std::vector<std::string>& env = {}) {
  std::vector<std::string> argv = {QUORVEL_BIN};
  argv.insert(argv.end(), args.begin(), args.end());
  startChild(c, argv, env);
  return waitChild(c, 10000);
}

// Files that cannot be used: the one line, as loading says it. A file cut short by a syntax error
// says what it lost after it; when what came before is usable, the bridge runs with that.
TEST(Config, LoadingFiles) {
  TempDir dir;
  const std::string path = dir.path + "/quorvel.json";
  const std::string good = "{\"atem_ip\": \"127.0.0.1\", \"visca_host\": \"127.0.0.1\"";
  const std::string cut = "Config " + path + ": not valid JSON at line ";
  struct Case {
    std::string content;  // "-": no file; "/...": that path instead
    std::string error;    // "": the file is usable
    std::vector<std::string> warnings = {};
  } cases[] = {
      {"-", "Cannot open config file: " + path + " (No such file or directory)"},
      {"/dev/zero", "Cannot open config file: /dev/zero (not a regular file)"},
      {"fifo", "Cannot open config file: " + dir.path + "/fifo (not a regular file)"},
      {good + ", \"note\": \"" + std::string(2 << 20, 'x') + "\"}",
       "Cannot open config file: " + path + " (larger than 1 MiB)"},
      {"",
       "Config missing 'atem_ip'",
       {cut + "1, column 1 (the end of the text where a value should be); nothing after it is "
              "lost"}},
      {"[{\"atem_ip\": \"127.0.0.1\"}]", "Config missing 'atem_ip'"},
      {"{\"visca_host\": \"127.0.0.1\",\n // camera 2\n \"atem_ip\": \"127.0.0.1\"}",
       "Config missing 'atem_ip'",
       {cut + "2, column 2 (a comment where a key in double quotes should be); everything after "
              "it is ignored: 'atem_ip'"}},
      {"{\"atem_ip\": \"127.0.0.1\", \"visca_host\": 7}",
       "Config missing 'visca_host'",
       {"Config: 'visca_host' is a number, not a string: it keeps \"\""}},
      {good + ", \"visca_port\": 1e999}", "Cannot read a number in config file: " + path},
      {good + ", \"visca_port\": 117917}", "Config 'visca_port' must be 1-65535, not 117917"},
      {good + ", \"watch_input_id\": -1}", "Config 'watch_input_id' must be 0-65535, not -1"},
      {std::string(1 << 16, '['), "Config file is nested too deeply: " + path},
      {"\xEF\xBB\xBF" + good + "}", ""},
      {good + ", \"log_changes\": tru,\n \"watch_input_id\": 4}", "",
       {cut + "1, column 68 (a word that is neither true nor false); everything after it is "
              "ignored: 'watch_input_id'"}},
      {good + R"(, "cameras": [
  {"name": "wide", "watch_input_id": 1},
  // the close-up
  {"name": "close", "watch_input_id": 2}, {"watch_input_id": 3}], "log_changes": true})",
       "",
       {cut + "3, column 3 (a comment where a value should be); everything after it is ignored: "
              "'log_changes', camera 2 (close), camera 3"}},
      {R"({"atem_ip": "127.0.0.1" "visca_host": "127.0.0.1"})", "",
       {cut + "1, column 25 (a missing comma before '\"'); nothing after it is lost"}},
  };
  ASSERT_EQ(mkfifo((dir.path + "/fifo").c_str(), 0600), 0);
  for (const Case& k : cases) {
    std::remove(path.c_str());
    std::string used = path;
    if (k.content == "fifo" || k.content[0] == '/')
      used = k.content[0] == '/' ? k.content : dir.path + "/fifo";
    else if (k.content != "-")
      dir.write("quorvel.json", k.content);
    LoadedConfig l = loadConfig(used);
    EXPECT_EQ(l.ok, k.error.empty()) << k.content.substr(0, 40);
    EXPECT_EQ(l.error, k.error);
    std::vector<std::string> warnings;
    for (const ConfigWarning& w : l.warnings) warnings.push_back(w.text);
    EXPECT_EQ(warnings, k.warnings) << k.content.substr(0, 40);
  }
}

// quorvel --check reads a file as the bridge would: the settings in use with the bytes each
// command sends, the warnings, or the bridge's [ERR] line; its status gates a deployment. The
// other arguments, and one that is not known.
TEST(Config, CheckAndTheCommandLine) {
  TempDir dir;
  std::string good = dir.write("good.json", R"({"atem_ip": "127.0.0.5", "visca_host": "127.0.0.1",
      "visca_prot": 1, "visca_program": "81017E010A0105FF 0g"})");
  std::string clean =
      dir.write("clean.json", R"({"atem_ip": "127.0.0.5", "visca_host": "127.0.0.1"})");
  Child c;
  EXPECT_EQ(runQuorvel(c, {"--check", good}), 3);
  EXPECT_EQ(
      c.out,
      "Config " + good +
          ": usable, 1 camera\n"
          "  atem_ip \"127.0.0.5\", lamp_on_switcher_loss \"keep\", log_changes false, "
            "http_listen \"\"\n"
          "  camera cam1: profile \"default\", me_index 0, watch_input_id 1, tally_source "
          "\"switcher\", lamp_refresh_ms 0, lamp \"visca\"\n"
          "    visca_host \"127.0.0.1\", visca_port 52381, bind_source_ip \"\", compat_try_prefix "
          "true, compat_try_tcp true, compat_try_both_ops true, visca_transport \"udp\", "
          "visca_framing \"raw\"\n"
          "    visca_program \"81017E010A0105FF 0g\" (81 01 7e 01 0a 01 05 ff 00), visca_preview "
          "\"81 01 7e 01 0a 01 04 ff\" (81 01 7e 01 0a 01 04 ff), visca_off \"81 01 7e 01 0a 01 "
          "00 ff\" (81 01 7e 01 0a 01 00 ff)\n");
  EXPECT_EQ(c.err,
            "[WARN] Config: unknown key 'visca_prot', did you mean 'visca_port'?\n"
            "[WARN] Config: 'visca_program' piece '0g' is not hex pairs; it was read as 00\n");

  // Not an address, and no name either: refused without asking any resolver.
  std::string badIp = dir.write("ip.json", R"({"atem_ip": "switch er", "visca_host": "127.0.0.1"})");
  std::string cut =
      dir.write("cut.json", "{\"visca_host\": \"127.0.0.1\", 'atem_ip': \"127.0.0.1\"}");
  const std::string usage = "usage: quorvel [FILE | --config FILE]";
  struct Case {
    std::vector<std::string> args, env;
    int status;
    std::string out, err;  // err: its first line
  } cases[] = {
      {{"--check", "--quiet", good}, {}, 3, "", ""},
      {{"--check", "--quiet"}, {"QUORVEL_CFG=" + clean}, 0, "", ""},
      {{"--check", badIp}, {}, 1, "",
       "[ERR] Config 'atem_ip' 'switch er' is not an IPv4 address or a host name\n"},
      {{"--check", "--quiet", badIp}, {}, 1, "", ""},
      {{"--check"}, {"QUORVEL_CFG=" + dir.path}, 1, "",
       "[ERR] Cannot open config file: " + dir.path + " (Is a directory)"},
      {{}, {"QUORVEL_CFG="}, 1, "=== Quorvel ===\n[INFO] Loading config from: \n",
       "[ERR] Cannot open config file:  (No such file or directory)\n"},
      {{"--version"}, {}, 0, "quorvel " QUORVEL_VERSION "\n", ""},
      {{"--check", good, "x"}, {}, 2, "",
       "quorvel: two configuration files: '" + good + "' and 'x'"},
      {{"--verbose"}, {}, 2, "", "quorvel: unknown option '--verbose'"},
      {{"--quiet"}, {}, 2, "", "quorvel: --quiet goes with --check"},
      {{"--test-lamp", "cam1"}, {}, 2, "",
       "quorvel: --test-lamp needs a camera's name and a state"},
      {{"--test-lamp", "cam9", "PROGRAM", "--config", clean}, {}, 1, "",
       "[ERR] No camera named 'cam9'; the cameras are cam1"},
      {{"--config", badIp}, {}, 1, "=== Quorvel ===\n[INFO] Loading config from: " + badIp + "\n",
       "[ERR] Config 'atem_ip' 'switch er'"},
      {{cut}, {}, 1, "=== Quorvel ===\n[INFO] Loading config from: " + cut + "\n",  // warning first
       "[WARN] Config " + cut + ": not valid JSON at line 1, column 29 (''' where a key in double "
       "quotes should be); everything after it is ignored: 'atem_ip'\n[ERR] Config missing "
       "'atem_ip'\n"},
  };
  for (const Case& k : cases) {
    Child run;
    const std::string what = k.args.empty() ? k.env[0] : k.args[0];
    EXPECT_EQ(runQuorvel(run, k.args, k.env), k.status) << what;
    EXPECT_EQ(run.out, k.out) << what;
    EXPECT_EQ(run.err.substr(0, k.err.size()), k.err) << what;
    EXPECT_TRUE(!k.err.empty() || run.err.empty()) << what << ": " << run.err;
    EXPECT_TRUE(k.status != 2 || holds(run.err, usage)) << what;
  }
  Child help;
  EXPECT_EQ(runQuorvel(help, {"--help"}), 0);
  for (const char* needle : {"QUORVEL_CFG", "/etc/quorvel.json", "--check", "README.md", "SIGHUP"})
    EXPECT_TRUE(holds(help.out, needle));
  // QUORVEL_CFG unset: the default path. Not where this machine has a file there: it could
  // name a real switcher and cameras.
  if (access("/etc/quorvel.json", F_OK) == 0) return;
  Child unset;
  startChild(unset, {QUORVEL_BIN}, {"QUORVEL_CFG"});
  EXPECT_TRUE(waitForOutput(unset, "[INFO] Loading config from: /etc/quorvel.json\n", 5000));
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
      EXPECT_EQ(l.error,
                "Config " + path +
                    ": not valid JSON at line 8, column 1 (the end of the text before '}')");
    }
  }
  EXPECT_EQ(taken, static_cast<int>(file.size() - end + 1));
}

// A profile fills what the file leaves out, for one make of camera; what the file sets wins,
// at the top level or in the entry, and an entry may name a profile of its own.
TEST(Config, ProfilesFillWhatTheFileLeavesOut) {
  Config c = read(R"({"atem_ip": "127.0.0.5", "visca_host": "127.0.0.1", "profile": "sony",
      "lamp_refresh_ms": 5000, "cameras": [{"name": "s"}, {"name": "a", "profile": "avonic"},
        {"name": "p", "profile": "panasonic", "visca_host": "cam.test", "http_user": "u"},
        {"name": "own", "visca_program": "81 01 7e 01 0a 00 02 ff 00"}]})");
  const CameraConfig &s = c.cameras.at(0), &a = c.cameras.at(1), &p = c.cameras.at(2),
                     &own = c.cameras.at(3);
  EXPECT_EQ(s.commands.forms[PROGRAM].plain, hexBytes("81 01 7e 01 0a 00 02 ff"));
  EXPECT_EQ(s.commands.forms[PREVIEW].plain, hexBytes("81 01 7e 01 0a 00 03 ff"));
  EXPECT_EQ(s.commands.forms[OFF].plain, hexBytes("81 01 7e 01 0a 00 03 ff"));
  EXPECT_TRUE(s.ladder.framed && !s.ladder.prefix && !s.ladder.tcp && !s.ladder.bothOps);
  EXPECT_EQ(s.port, 52381);
  EXPECT_EQ(s.refreshNs, 5000 * kNsPerMs) << "the top level's refresh wins over the profile's";
  EXPECT_EQ(a.commands.forms[PROGRAM].plain, hexBytes("81 01 7e 01 0a 00 02 03 ff"));
  EXPECT_EQ(a.commands.forms[PREVIEW].plain, hexBytes("81 01 7e 01 0a 00 03 02 ff"));
  EXPECT_EQ(a.commands.forms[OFF].plain, hexBytes("81 01 7e 01 0a 00 03 03 ff"));
  EXPECT_TRUE(a.port == 1259 && !a.ladder.framed);
  ASSERT_TRUE(p.http);
  const std::string aw = "http://cam.test:80/cgi-bin/aw_cam?cmd=";
  const std::pair<TallyState, std::vector<std::string>> urls[] = {
      {PROGRAM, {aw + "TLR:1&res=1", aw + "TLG:0&res=1"}},
      {PREVIEW, {aw + "TLR:0&res=1", aw + "TLG:1&res=1"}},
      {OFF, {aw + "TLR:0&res=1", aw + "TLG:0&res=1"}}};
  for (const auto& [state, want] : urls) {
    std::vector<std::string> got;
    for (const HttpRequest& r : p.requests[state]) got.push_back(r.url);
    EXPECT_EQ(got, want);
    EXPECT_TRUE(p.requests[state][0].address == htonl(0x7F000015) &&
                p.requests[state][0].port == 80);
  }
  EXPECT_EQ(own.commands.forms[PROGRAM].plain, hexBytes("81 01 7e 01 0a 00 02 ff 00"));
  EXPECT_EQ(own.commands.forms[OFF].plain, hexBytes("81 01 7e 01 0a 00 03 ff"));
}
