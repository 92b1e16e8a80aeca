// quorvel: carries the tally of an ATEM switcher to a VISCA camera. No arguments; the
// configuration file comes from QUORVEL_CFG, or /etc/quorvel.json.
#include <cstdlib>
#include <string>

#include "app/bridge.h"
#include "app/log.h"
#include "app/signals.h"
#include "config/config.h"

int main() {
  logOut("=== Quorvel ===");
  installSignalHandlers();

  std::string path = "/etc/quorvel.json";
  if (const char* env = std::getenv("QUORVEL_CFG")) path = env;
  logOut("[INFO] Loading config from: " + path);
  Config config;
  std::string error;
  if (!loadConfig(path, config, error)) {
    logErr(error);
    return 1;
  }
  return runBridge(config);
}
