// quorvel: carries the tally of an ATEM switcher to VISCA cameras. The configuration file comes
// from QUORVEL_CFG, or /etc/quorvel.json.
#include <sys/resource.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "app/driver.h"
#include "base/log.h"
#include "config/config.h"

#ifndef QUORVEL_VERSION
#define QUORVEL_VERSION "unknown"
#endif

namespace {

const char kDefaultPath[] = "/etc/quorvel.json";

std::string configPath() {
  const char* env = std::getenv("QUORVEL_CFG");
  return env ? env : kDefaultPath;
}

int run(int, char**) {
  writeLine(Tag::NONE, "=== Quorvel ===");
  const std::string path = configPath();
  writeLine(Tag::INFO, "Loading config from: " + path);
  LoadedConfig loaded = loadConfig(path);
  if (!loaded.ok) {
    writeLine(Tag::ERR, loaded.error);
    return 1;
  }
  for (const ConfigWarning& w : loaded.warnings)
    if (w.atStartup) writeLine(Tag::WARN, w.text);
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

// The keys of one --check group with their values: "me_index 0, watch_input_id 1, ...".
std::string group(const Settings& s, int g) {
  std::string line;
  for (size_t i = 0; i < kSettingCount; ++i) {
    const SettingDef& d = kSettings[i];
    if (d.group != g) continue;
    line += (line.empty() ? "" : ", ") + std::string(d.key) + " " + settingText(d, s);
  }
  return line;
}

// Reads the file as the bridge would, and says what it would use.
int check(int argc, char** argv) {
  if (argc > 3) {
    std::fprintf(stderr, "usage: quorvel --check [FILE]\n");
    return 2;
  }
  const std::string path = argc == 3 ? argv[2] : configPath();
  LoadedConfig loaded = loadConfig(path, Reading::CHECK);
  if (!loaded.ok) {
    writeLine(Tag::ERR, loaded.error);
    return 1;
  }
  const Config& c = loaded.config;
  writeLine(Tag::NONE, "Config " + path + ": usable, " + std::to_string(c.cameras.size()) +
                           (c.cameras.size() == 1 ? " camera" : " cameras"));
  writeLine(Tag::NONE, "  " + group(c.top, 0));
  for (const CameraConfig& k : c.cameras) {
    writeLine(Tag::NONE, "  camera " + k.settings.name + ": " + group(k.settings, 1));
    writeLine(Tag::NONE, "    " + group(k.settings, 2));
    writeLine(Tag::NONE, "    " + group(k.settings, 3));
  }
  for (const ConfigWarning& w : loaded.warnings) writeLine(Tag::WARN, w.text);
  return 0;
}

int version(int, char**) {
  std::printf("quorvel %s\n", QUORVEL_VERSION);
  return 0;
}

int help(int, char**) {
  std::printf(
      "usage: quorvel                 run the bridge\n"
      "       quorvel --check [FILE]  read the configuration as the bridge would, show the\n"
      "                               settings in use and warn about likely mistakes\n"
      "       quorvel --version\n"
      "       quorvel --help\n"
      "\n"
      "The configuration file is $QUORVEL_CFG, or %s when it is not set.\n"
      "SIGINT or SIGTERM stops the bridge (every camera gets OFF); SIGHUP reloads the file.\n"
      "Documentation: /usr/share/doc/quorvel/README.md\n",
      kDefaultPath);
  return 0;
}

struct Command {
  const char* name;
  int (*run)(int argc, char** argv);
};

const Command kCommands[] = {
    {"--check", check}, {"--version", version}, {"--help", help}, {"-h", help}};

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) return run(argc, argv);
  for (const Command& c : kCommands)
    if (std::strcmp(argv[1], c.name) == 0 && (argc == 2 || c.run == check))
      return c.run(argc, argv);
  std::fprintf(stderr, "usage: quorvel [--check [FILE] | --version | --help]\n");
  return 2;
}
