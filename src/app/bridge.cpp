#include "app/bridge.h"

#include <time.h>

#include <cerrno>
#include <cstdlib>
#include <ctime>
#include <string>

#include "app/log.h"
#include "app/signals.h"
#include "app/tally.h"
#include "atem/atem_connection.h"
#include "config/config.h"
#include "visca/visca_bytes.h"
#include "visca/visca_sender.h"

void sleepMs(int ms) {
  timespec ts{ms / 1000, static_cast<long>(ms % 1000) * 1000000L};
  while (nanosleep(&ts, &ts) != 0 && errno == EINTR) {
  }
}

int64_t monotonicNs() {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<int64_t>(ts.tv_sec) * 1000000000LL + ts.tv_nsec;
}

static TallyState currentTally(const Config& config, const AtemConnection& atem) {
  return deriveTally(config, atem.programInput, atem.previewInput);
}

int runBridge(const Config& config) {
  const Bytes prefix = viscaIpPrefix();
  CommandSet commands;
  std::string error;
  if (!buildCommandSet(config, prefix, commands, error)) {
    logErr("[ERR] " + error);
    return 1;
  }
  const ViscaSender sender = makeViscaSender(config);
  auto deliver = [&](TallyState state) { sendTallyState(commands, config, sender, state); };

  logOut("[INFO] Connecting to ATEM at " + config.atem_ip + "...");
  AtemConnection atem;
  std::srand(static_cast<unsigned>(std::time(nullptr)));
  if (!atem.connect(config.atem_ip)) {
    logErr("[ERR] Failed to initiate ATEM connection");
    return 1;
  }

  // A stop while the switcher has not answered ends the wait: a bridge whose switcher is off
  // must still stop promptly, and it darkens the lamp on the way out.
  while (!(atem.state == CONNECTED && atem.announced) && running.load()) {
    atem.loop();
    sleepMs(50);
  }

  if (atem.state == CONNECTED && atem.announced) {
    logOut("[OK] ATEM " + config.atem_ip + " connected | ME=" + std::to_string(config.me_index) +
           " watch_input=" + std::to_string(config.watch_input_id) + " -> " + config.visca_host +
           ":" + std::to_string(config.visca_port));
    if (!config.bind_source_ip.empty())
      logOut("[OK] Binding UDP sends from source IP: " + config.bind_source_ip);
    if (config.compat_try_prefix) logOut("[OK] Will also try 8-byte VISCA-IP prefix");
    if (config.compat_try_tcp) logOut("[OK] Will also try TCP fallback");

    sleepMs(500);
    for (int i = 0; i < 50; ++i) {
      atem.loop();
      sleepMs(20);
    }

    TallyGate gate;
    TallyState initial = currentTally(config, atem);
    deliver(initial);
    tallyGateStart(gate, initial, monotonicNs());

    while (running.load()) {
      atem.loop();
      int64_t t = monotonicNs();
      if (!tallyGateOpen(gate, t)) continue;
      TallyState state = currentTally(config, atem);
      if (tallyGateTake(gate, state, t)) deliver(state);
    }
  }

  logOut("[INFO] Sending tally OFF before exit...");
  deliver(OFF);
  logOut("[INFO] Goodbye!");
  return 0;
}
