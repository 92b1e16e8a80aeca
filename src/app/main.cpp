// quorvel: carries the tally of an ATEM switcher to the tally lamps of a studio. The
// configuration file is the one named on the command line, else $QUORVEL_CFG, else
// /etc/quorvel.json.
#include <sys/resource.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "app/driver.h"
#include "app/test_lamp.h"
#include "base/log.h"
#include "config/config.h"

#ifndef QUORVEL_VERSION
#define QUORVEL_VERSION "unknown"
#endif

namespace {

const char kDefaultPath[] = "/etc/quorvel.json";

const char kUsage[] =
    "usage: quorvel [FILE | --config FILE]   run the bridge\n"
    "       quorvel --check [--quiet] [FILE]  read the configuration as the bridge would\n"
    "       quorvel --test-lamp NAME STATE [SECONDS] [--config FILE]\n"
    "       quorvel --version | --help\n";

// What the command line asks for.
struct Args {
  const char* command = "run";  // run, --check, --test-lamp, --version, --help
  std::string path;             // the file; "" for $QUORVEL_CFG or the default
  bool quiet = false;
  std::vector<std::string> operands;  // --test-lamp's NAME STATE [SECONDS]
};

std::string configPath(const Args& a) {
  if (!a.path.empty()) return a.path;
  const char* env = std::getenv("QUORVEL_CFG");
  return env ? env : kDefaultPath;
}

// False, with the line to print, for a command line that names something unknown or misses a
// value.
bool parseArgs(int argc, char** argv, Args& a, std::string& error) {
  bool pathGiven = false;
  auto takePath = [&](const std::string& path) {
    if (pathGiven)
      return error = "two configuration files: '" + a.path + "' and '" + path + "'", false;
    a.path = path;
    return pathGiven = true;
  };
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--config") {
      if (i + 1 >= argc) return error = "--config needs a file", false;
      if (!takePath(argv[++i])) return false;
    } else if (arg == "--check" || arg == "--test-lamp" || arg == "--version" || arg == "--help" ||
               arg == "-h") {
      if (std::strcmp(a.command, "run") != 0)
        return error = std::string("'") + a.command + "' and '" + arg + "' together", false;
      a.command = arg == "-h" ? "--help" : argv[i];
    } else if (arg == "--quiet") {
      a.quiet = true;
    } else if (!arg.empty() && arg[0] == '-') {
      return error = "unknown option '" + arg + "'", false;
    } else if (std::strcmp(a.command, "--test-lamp") == 0 &&
               (a.operands.size() < 2 ||
                (a.operands.size() == 2 &&
                 arg.find_first_not_of("0123456789.") == std::string::npos))) {
      // NAME STATE, then SECONDS if it is a number; anything else is the file.
      a.operands.push_back(arg);
    } else if (!takePath(arg)) {
      return false;
    }
  }
  if (a.quiet && std::strcmp(a.command, "--check") != 0)
    return error = "--quiet goes with --check", false;
  if (std::strcmp(a.command, "--test-lamp") == 0 && a.operands.size() < 2)
    return error = "--test-lamp needs a camera's name and a state", false;
  return true;
}

int run(const Args& a) {
  writeLine(Tag::NONE, "=== Quorvel ===");
  const std::string path = configPath(a);
  writeLine(Tag::INFO, "Loading config from: " + path);
  LoadedConfig loaded = loadConfig(path);
  for (const ConfigWarning& w : loaded.warnings) writeLine(Tag::WARN, w.text);
  if (!loaded.ok) {
    writeLine(Tag::ERR, loaded.error);
    return 1;
  }
  // Every camera holds sockets: take all the open files the system allows, and stop at once if
  // that is still too few, rather than leave lamps wrong later.
  rlimit files;
  uint64_t limit = UINT64_MAX;
  if (getrlimit(RLIMIT_NOFILE, &files) == 0) {
    if (files.rlim_cur < files.rlim_max) {
      files.rlim_cur = files.rlim_max;
      setrlimit(RLIMIT_NOFILE, &files);
      getrlimit(RLIMIT_NOFILE, &files);
    }
    if (files.rlim_cur != RLIM_INFINITY) limit = files.rlim_cur;
  }
  const std::string problem = descriptorProblem(loaded.config, limit);
  if (!problem.empty()) {
    writeLine(Tag::ERR, problem);
    return 1;
  }
  return runBridge(loaded.config, path, limit);
}

// The keys of one --check group with their values: "me_index 0, watch_input_id 1, ...", and
// beside each command the bytes that will be sent.
// With `except`, the keys it names are left out.
std::string group(const Settings& s, int g, const CameraConfig* camera = nullptr,
                  const std::vector<std::string>& except = {}) {
  std::string line;
  for (size_t i = 0; i < kSettingCount; ++i) {
    const SettingDef& d = kSettings[i];
    if (d.group != g || std::find(except.begin(), except.end(), d.key) != except.end()) continue;
    line += (line.empty() ? "" : ", ") + std::string(d.key) + " " + settingText(d, s);
    const int lamp = commandLamp(d);
    if (camera && lamp >= 0)
      line += " (" + bytesToHexString(camera->commands.forms[lamp].plain) + ")";
  }
  return line;
}

// Reads the file as the bridge would, and says what it would use. Exit status: 0 usable, 3
// usable with warnings, 1 unusable; with --quiet only the status.
int check(const Args& a) {
  const std::string path = configPath(a);
  LoadedConfig loaded = loadConfig(path, Reading::CHECK);
  if (!a.quiet) {
    if (loaded.ok) {
      const Config& c = loaded.config;
      writeLine(Tag::NONE, "Config " + path + ": usable, " + std::to_string(c.cameras.size()) +
                               (c.cameras.size() == 1 ? " camera" : " cameras"));
      writeLine(Tag::NONE, "  " + group(c.top, 0));
      for (const CameraConfig& k : c.cameras) {
        writeLine(Tag::NONE, "  camera " + k.settings.name + ": " + group(k.settings, 1));
        writeLine(Tag::NONE, "    " + group(k.settings, 2));
        // A camera's commands: VISCA bytes, or the HTTP requests.
        writeLine(Tag::NONE, "    " + group(k.settings, k.http ? 4 : 3, &k));
      }
      for (const TslConfig& t : c.tsl) {
        writeLine(Tag::NONE, "  " + t.name + ": " +
                                 group(t.settings, 5, nullptr,
                                       t.v5 ? std::vector<std::string>{}
                                            : std::vector<std::string>{"screen", "dle_stx"}));
        writeLine(Tag::NONE,
                  "    " + group(t.settings, 6, nullptr,
                                 t.v5 ? std::vector<std::string>{"program_tally", "preview_tally"}
                                      : std::vector<std::string>{
                                            "left_program", "left_preview", "text_program",
                                            "text_preview", "right_program", "right_preview"}));
        std::string displays;
        for (const TslDisplay& d : t.displays)
          displays += (displays.empty() ? "" : ", ") + std::to_string(d.source) + " at " +
                      std::to_string(d.index) + (d.label.empty() ? "" : " \"" + d.label + "\"");
        writeLine(Tag::NONE, "    sources: " + (t.allSources ? "every source the switcher names"
                                                             : displays));
      }
      if (c.server.listen.on) {
        std::string inputs;
        for (uint16_t source : c.server.inputs)
          inputs += (inputs.empty() ? "" : ", ") + std::to_string(source);
        writeLine(Tag::NONE, "  tally_server: " + group(c.top, 7) + ", inputs " +
                                 (inputs.empty() ? "1 to the highest the switcher names"
                                                 : "[" + inputs + "]"));
      }
    }
    for (const ConfigWarning& w : loaded.warnings) writeLine(Tag::WARN, w.text);
    if (!loaded.ok) writeLine(Tag::ERR, loaded.error);
  }
  return !loaded.ok ? 1 : loaded.warnings.empty() ? 0 : 3;
}

int testLamp(const Args& a) {
  const std::string path = configPath(a);
  LoadedConfig loaded = loadConfig(path, Reading::CHECK);
  for (const ConfigWarning& w : loaded.warnings) writeLine(Tag::WARN, w.text);
  if (!loaded.ok) {
    writeLine(Tag::ERR, loaded.error);
    return 1;
  }
  return runTestLamp(loaded.config, a.operands);
}

int help() {
  std::printf(
      "%s\n"
      "The configuration file is FILE, or $QUORVEL_CFG, or %s.\n"
      "--check exits 0 for a usable file, 3 for one with warnings, 1 for one that cannot be\n"
      "used; --quiet prints nothing. --test-lamp sends camera NAME the state PROGRAM, PREVIEW\n"
      "or OFF, holds it for SECONDS (5), then sends OFF; no switcher is needed.\n"
      "SIGINT or SIGTERM stops the bridge (every camera gets OFF); SIGHUP reloads the file.\n"
      "Documentation: quorvel(5), /usr/share/doc/quorvel/README.md\n",
      kUsage, kDefaultPath);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  Args a;
  std::string error;
  if (!parseArgs(argc, argv, a, error)) {
    std::fprintf(stderr, "quorvel: %s\n%s", error.c_str(), kUsage);
    return 2;
  }
  const std::string command = a.command;
  if (command == "--check") return check(a);
  if (command == "--test-lamp") return testLamp(a);
  if (command == "--help") return help();
  if (command == "--version") {
    std::printf("quorvel %s\n", QUORVEL_VERSION);
    return 0;
  }
  return run(a);
}
