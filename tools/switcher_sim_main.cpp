// quorvel-switcher-sim: an ATEM switcher stand-in on a loopback address, driven by commands
// from standard input and/or a script file.
#include <poll.h>
#include <signal.h>
#include <sys/time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <fstream>
#include <string>
#include <vector>

#include "switcher_sim.h"
#include "tool_output.h"

namespace {

void say(const std::string& text) {
  // Multi-line feedback (help) keeps the stamp on its first line only.
  std::printf("%s %s\n", quorvel_sim::wallClock().c_str(), text.c_str());
  std::fflush(stdout);
}

void usage() {
  std::printf(
      "usage: quorvel-switcher-sim [options]\n"
      "  --address IP     loopback address to serve on (default 127.0.0.1)\n"
      "  --port N         UDP port (default 9910)\n"
      "  --mes N          number of M/Es, 1-4 (default 1)\n"
      "  --sources N      number of sources reported (default 8)\n"
      "  --limit N        client limit (default 5)\n"
      "  --initial FILE   recorded dump to use as the initial state\n"
      "  --script FILE    run the commands of FILE (see 'help')\n"
      "  --no-stdin       do not read commands from standard input\n"
      "  --seed N         seed of the fault injection's random numbers\n"
      "Commands are read from standard input, one a line; 'help' lists them.\n");
}

struct Script {
  std::vector<std::string> lines;
  size_t next = 0;
  int64_t resumeMs = 0;
  bool running = false;
};

// Runs one command line; false when the simulator should stop.
bool runLine(quorvel_sim::SwitcherSim& sim, const std::string& line, Script* script) {
  quorvel_sim::SimCommandResult r = quorvel_sim::simCommand(sim, line);
  if (!r.message.empty()) say(r.ok ? r.message : "error: " + r.message);
  if (script) {
    if (r.waitMs > 0) script->resumeMs = quorvel_sim::simNowMs() + r.waitMs;
    if (r.repeat) script->next = 0;
  }
  return !r.quit;
}

bool stepScript(quorvel_sim::SwitcherSim& sim, Script& s) {
  // A script of nothing but "repeat" must not spin: each pass through it yields once.
  int budget = static_cast<int>(s.lines.size()) + 1;
  while (s.running && quorvel_sim::simNowMs() >= s.resumeMs && budget-- > 0) {
    if (s.next >= s.lines.size()) {
      s.running = false;
      say("script finished");
      break;
    }
    if (!runLine(sim, s.lines[s.next++], &s)) return false;
  }
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  quorvel_sim::SwitcherSim sim;
  std::string address = "127.0.0.1";
  long port = quorvel_sim::kSimPort;
  std::string scriptPath, initialPath;
  bool readStdin = true;

  for (int i = 1; i < argc; ++i) {
    std::string a = argv[i];
    auto value = [&](long lo, long hi, long& out) {
      if (i + 1 >= argc) return false;
      char* end = nullptr;
      out = std::strtol(argv[++i], &end, 10);
      return *end == '\0' && out >= lo && out <= hi;
    };
    long v = 0;
    if (a == "--help" || a == "-h") {
      usage();
      return 0;
    } else if (a == "--address" && i + 1 < argc) {
      address = argv[++i];
    } else if (a == "--port" && value(1, 65535, port)) {
    } else if (a == "--mes" && value(1, quorvel_sim::kSimMaxMes, v)) {
      sim.meCount = static_cast<int>(v);
    } else if (a == "--sources" && value(1, 255, v)) {
      sim.sourceCount = static_cast<int>(v);
    } else if (a == "--limit" && value(0, 1000, v)) {
      sim.clientLimit = static_cast<size_t>(v);
    } else if (a == "--seed" && value(1, 0x7FFFFFFF, v)) {
      sim.rngState = static_cast<uint32_t>(v);
    } else if (a == "--script" && i + 1 < argc) {
      scriptPath = argv[++i];
    } else if (a == "--initial" && i + 1 < argc) {
      initialPath = argv[++i];
    } else if (a == "--no-stdin") {
      readStdin = false;
    } else {
      std::fprintf(stderr, "quorvel-switcher-sim: bad option '%s' (try --help)\n", a.c_str());
      return 2;
    }
  }

  Script script;
  if (!scriptPath.empty()) {
    std::ifstream in(scriptPath);
    if (!in) {
      std::fprintf(stderr, "quorvel-switcher-sim: cannot open script %s\n", scriptPath.c_str());
      return 1;
    }
    for (std::string line; std::getline(in, line);) script.lines.push_back(line);
    script.running = true;
  }
  std::string err;
  if (!initialPath.empty() && !quorvel_sim::simLoadInitial(sim, initialPath, &err)) {
    std::fprintf(stderr, "quorvel-switcher-sim: %s\n", err.c_str());
    return 1;
  }

  quorvel_sim::catchStopSignals();

  sim.log = say;
  if (!quorvel_sim::simOpen(sim, address, static_cast<uint16_t>(port), &err)) {
    std::fprintf(stderr, "quorvel-switcher-sim: %s\n", err.c_str());
    return 1;
  }
  say("switcher simulator on " + address + ":" + std::to_string(port) + ", " +
      std::to_string(sim.meCount) + " M/E, " + std::to_string(sim.sourceCount) +
      " sources, client limit " + std::to_string(sim.clientLimit) +
      (readStdin ? "; type 'help' for commands" : ""));

  std::string pending;
  bool running = true;
  while (running && !quorvel_sim::stopRequested()) {
    pollfd fds[2] = {{sim.fd, POLLIN, 0}, {STDIN_FILENO, POLLIN, 0}};
    ::poll(fds, readStdin ? 2 : 1, 5);
    quorvel_sim::simPoll(sim, 0);
    if (readStdin && (fds[1].revents & (POLLIN | POLLHUP))) {
      char buf[1024];
      ssize_t n = ::read(STDIN_FILENO, buf, sizeof buf);
      if (n <= 0 && !(n < 0 && errno == EINTR)) {
        readStdin = false;  // end of input: keep serving until a signal
        if (!pending.empty()) running = runLine(sim, pending, nullptr);
      } else if (n > 0) {
        pending.append(buf, static_cast<size_t>(n));
        for (size_t nl; running && (nl = pending.find('\n')) != std::string::npos;) {
          std::string line = pending.substr(0, nl);
          pending.erase(0, nl + 1);
          running = runLine(sim, line, nullptr);
        }
      }
    }
    if (running) running = stepScript(sim, script);
  }
  say("switcher simulator stopped; " + quorvel_sim::simStatus(sim));
  quorvel_sim::simClose(sim);
  return 0;
}
