// quorvel: carries the tally of an ATEM switcher to VISCA cameras. The configuration file comes
// from QUORVEL_CFG, or /etc/quorvel.json.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "app/bridge.h"
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

const char* onOff(bool b) { return b ? "true" : "false"; }

std::string quoted(const std::string& s) { return "\"" + s + "\""; }

int run(int, char**) {
  logOut("=== Quorvel ===");
  const std::string path = configPath();
  logOut("[INFO] Loading config from: " + printable(path));
  Config config;
  std::string error;
  std::vector<ConfigWarning> warnings;
  if (!loadConfig(path, config, error, &warnings)) {
    logErr(error);
    return 1;
  }
  for (const ConfigWarning& w : warnings)
    if (w.atStartup) logErr(w.text);
  return runBridge(config, path);
}

// Reads the file as the bridge would, and says what it would use.
int check(int argc, char** argv) {
  if (argc > 3) {
    std::fprintf(stderr, "usage: quorvel --check [FILE]\n");
    return 2;
  }
  const std::string path = argc == 3 ? argv[2] : configPath();
  Config c;
  std::string error;
  std::vector<ConfigWarning> warnings;
  if (!loadConfigWithSwitcher(path, c, error, &warnings)) {
    logErr(error);
    return 1;
  }
  logOut("Config " + path + ": usable, " + std::to_string(c.cameras.size()) +
         (c.cameras.size() == 1 ? " camera" : " cameras"));
  logOut("  atem_ip " + quoted(c.atem_ip) + ", lamp_on_switcher_loss " +
         quoted(c.lamp_on_switcher_loss == SwitcherLoss::OFF ? "off" : "keep") + ", log_changes " +
         onOff(c.log_changes));
  for (const CameraConfig& k : c.cameras) {
    logOut("  camera " + k.name + ": me_index " + std::to_string(k.me_index) + ", watch_input_id " +
           std::to_string(k.watch_input_id) + ", tally_source " +
           quoted(k.tally_source == TallySource::SWITCHER ? "switcher" : "buses") +
           ", lamp_refresh_ms " + std::to_string(k.lamp_refresh_ms));
    logOut("    visca_host " + quoted(k.visca_host) + ", visca_port " +
           std::to_string(k.visca_port) + ", bind_source_ip " + quoted(k.bind_source_ip) +
           ", compat_try_prefix " + onOff(k.compat_try_prefix) + ", compat_try_tcp " +
           onOff(k.compat_try_tcp) + ", compat_try_both_ops " + onOff(k.compat_try_both_ops));
    logOut("    visca_program " + quoted(k.visca_program) + ", visca_preview " +
           quoted(k.visca_preview) + ", visca_off " + quoted(k.visca_off));
  }
  for (const ConfigWarning& w : warnings) logErr(w.text);
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
