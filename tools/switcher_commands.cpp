// The simulator's command language and the recorded dumps it can replay.
#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <sstream>

#include "atem/atem_commands.h"
#include "switcher_sim.h"

namespace quorvel_sim {
namespace {

// Whole-token integer in [lo, hi].
bool parseInt(const std::string& s, long lo, long hi, long& out) {
  if (s.empty()) return false;
  char* end = nullptr;
  long v = std::strtol(s.c_str(), &end, 10);
  if (*end != '\0' || v < lo || v > hi) return false;
  out = v;
  return true;
}

bool parseSeconds(const std::string& s, double& out) {
  if (s.empty()) return false;
  char* end = nullptr;
  double v = std::strtod(s.c_str(), &end);
  if (*end != '\0' || !(v >= 0) || v > 86400) return false;
  out = v;
  return true;
}

SimCommandResult fail(const std::string& message) {
  SimCommandResult r;
  r.ok = false;
  r.message = message;
  return r;
}

SimCommandResult done(const std::string& message) {
  SimCommandResult r;
  r.message = message;
  return r;
}

std::string busLine(const SwitcherSim& sim, int me) {
  return "M/E " + std::to_string(me) + ": program " + std::to_string(sim.program[me]) +
         ", preview " + std::to_string(sim.preview[me]);
}

std::string keyText(const SimKey& k) {
  return "fill " + std::to_string(k.fill) + (k.onAir ? " on air" : " off air");
}

// The keys in use (on air or given a fill) and a running mix of an M/E, for status.
std::string layerLine(const SwitcherSim& sim, int me) {
  std::string s;
  for (int key = 0; key < kSimKeys; ++key) {
    const SimKey& k = sim.keys[me][key];
    if (k.onAir || k.fill) s += ", key " + std::to_string(key + 1) + " " + keyText(k);
  }
  if (sim.mixing[me])
    s += ", mixing (" + std::to_string(std::max<int64_t>(0, sim.mixEndMs[me] - simNowMs())) +
         " of " + std::to_string(sim.mixMs[me]) + " ms left)";
  return s;
}

std::string sentTo(const SwitcherSim& sim) {
  if (sim.silent) return " (silent: not sent)";
  size_t n = simOpenClients(sim);
  return " (sent to " + std::to_string(n) + (n == 1 ? " client)" : " clients)");
}

// Optional trailing M/E argument at position `i`.
bool meArg(const SwitcherSim& sim, const std::vector<std::string>& w, size_t i, int& me,
           std::string& err) {
  me = 0;
  if (w.size() <= i) return true;
  long v = 0;
  if (!parseInt(w[i], 0, sim.meCount - 1, v)) {
    err = "M/E must be 0 to " + std::to_string(sim.meCount - 1) + ", got '" + w[i] + "'";
    return false;
  }
  me = static_cast<int>(v);
  return true;
}

SimCommandResult setFault(const std::string& name, int& field, const std::vector<std::string>& w) {
  long v = 0;
  if (w.size() != 2 || !parseInt(w[1], 0, 100, v))
    return fail("usage: " + name + " PERCENT (0-100)");
  field = static_cast<int>(v);
  return done(name + " " + std::to_string(v) + "% of session packets");
}

SimCommandResult setTiming(int& field, const std::string& name, const std::vector<std::string>& w) {
  long v = 0;
  if (w.size() != 2 || !parseInt(w[1], 1, 600000, v)) return fail("usage: " + name + " MS");
  field = static_cast<int>(v);
  return done(name + " interval " + std::to_string(v) + " ms");
}

}  // namespace

bool simReadDump(const std::string& path, std::vector<Bytes>& payloads, std::string* error) {
  std::ifstream in(path);
  if (!in) {
    if (error) *error = "cannot open " + path;
    return false;
  }
  payloads.clear();
  std::string line;
  int lineNo = 0;
  while (std::getline(in, line)) {
    ++lineNo;
    Bytes p;
    if (!hexPairsToBytes(line, p)) {
      if (error) *error = path + ":" + std::to_string(lineNo) + ": not hex digit pairs";
      return false;
    }
    if (p.size() > 0x07FF - 12) {
      if (error) *error = path + ":" + std::to_string(lineNo) + ": payload too long for a packet";
      return false;
    }
    if (!p.empty()) payloads.push_back(std::move(p));
  }
  return true;
}

void simAdoptState(SwitcherSim& sim, const std::vector<Bytes>& payloads) {
  for (const Bytes& p : payloads) {
    forEachBlock(p.data(), p.size(), [&](const uint8_t* name, const uint8_t* d, size_t size) {
      if (blockIs(name, "_top") && size >= 2 && d[0] >= 1) {
        sim.meCount = d[0] > kSimMaxMes ? kSimMaxMes : d[0];
        sim.sourceCount = d[1];
      } else if ((blockIs(name, "PrgI") || blockIs(name, "PrvI")) && size >= 4 &&
                 d[0] < kSimMaxMes) {
        (blockIs(name, "PrgI") ? sim.program : sim.preview)[d[0]] = getBe16(d + 2);
      } else if (blockIs(name, "KeBP") && size >= 8 && d[0] < kSimMaxMes && d[1] < kSimKeys) {
        sim.keys[d[0]][d[1]].fill = getBe16(d + 6);
      } else if (blockIs(name, "KeOn") && size >= 3 && d[0] < kSimMaxMes && d[1] < kSimKeys) {
        sim.keys[d[0]][d[1]].onAir = d[2] != 0;
      } else if (blockIs(name, "DskB") && size >= 4 && d[0] < kSimDsks) {
        sim.dsks[d[0]].fill = getBe16(d + 2);
      } else if (blockIs(name, "DskS") && size >= 2 && d[0] < kSimDsks) {
        sim.dsks[d[0]].onAir = d[1] != 0;
      }
    });
  }
}

bool simReplay(SwitcherSim& sim, const std::string& path, std::string* error) {
  std::vector<Bytes> payloads;
  if (!simReadDump(path, payloads, error)) return false;
  for (const Bytes& p : payloads) simBroadcast(sim, p);
  simAdoptState(sim, payloads);
  // The clients now hold the dump's list; the next change sends ours if it differs.
  if (simFindTallyList(payloads, sim.tallySent)) sim.tallyKnown = true;
  return true;
}

bool simLoadInitial(SwitcherSim& sim, const std::string& path, std::string* error) {
  if (path.empty()) {
    sim.initialPayloads.clear();
    return true;
  }
  std::vector<Bytes> payloads;
  if (!simReadDump(path, payloads, error)) return false;
  sim.initialPayloads = payloads;
  simAdoptState(sim, payloads);
  return true;
}

std::string simStatus(const SwitcherSim& sim) {
  std::ostringstream s;
  s << (sim.silent ? "silent (restarting); " : "") << simOpenClients(sim) << " open of "
    << sim.clients.size() << " clients, limit " << sim.clientLimit << "; ";
  for (int me = 0; me < sim.meCount; ++me) s << busLine(sim, me) << layerLine(sim, me) << "; ";
  for (int dsk = 0; dsk < kSimDsks; ++dsk)
    s << "DSK " << dsk + 1 << " " << keyText(sim.dsks[dsk]) << "; ";
  s << "faults loss " << sim.faults.lossPct << "% duplicate " << sim.faults.duplicatePct
    << "% reorder " << sim.faults.reorderPct << "% garbage " << sim.faults.garbagePct << "%; "
    << sim.packetsSent << " packets sent, " << sim.retransmissions << " retransmitted, "
    << sim.packetsLost << " lost, " << sim.packetsResent << " resent on command, "
    << sim.clientsDropped << " clients dropped";
  if (sim.autoCutsLeft > 0) s << "; " << sim.autoCutsLeft << " timed cuts to go";
  return s.str();
}

std::string simHelp() {
  return "commands (one a line, # starts a comment):\n"
         "  program INPUT [ME]       put INPUT on the program bus of M/E ME (default 0)\n"
         "  preview INPUT [ME]       put INPUT on the preview bus\n"
         "  cut [ME]                 swap program and preview\n"
         "  cuts COUNT MS [ME]       COUNT cuts, one every MS milliseconds (cuts 0 stops)\n"
         "  auto [MS] [ME]           mix to the preview source over MS ms (default 1000)\n"
         "  key N fill INPUT [ME]    fill source of upstream key N (1-4) of M/E ME\n"
         "  key N on|off [ME]        upstream key N on or off air\n"
         "  dsk N fill INPUT         fill source of downstream key N (1-2)\n"
         "  dsk N on|off             downstream key N on or off air\n"
         "  wait MS                  pause the script for MS milliseconds\n"
         "  repeat                   start the script again from its first line\n"
         "  limit N                  client limit (hellos beyond it are refused with 0x03)\n"
         "  refuse [N]               refuse the next N hellos (default 1) with 0x03\n"
         "  reopen                   ask every client to open its session again (0x04)\n"
         "  reopen next [N]          answer the next N hellos (default 1) with 0x04\n"
         "  silence SECONDS          restart: silent for SECONDS, then only new sessions\n"
         "  loss|duplicate|reorder|garbage PERCENT   fault injection on session packets\n"
         "  faults off               all fault shares back to 0\n"
         "  resend [N]               resend the Nth-last packet as a retransmission (default 1)\n"
         "  resend [N] dup           resend it unchanged, as a duplicate\n"
         "  ping|retransmit|drop MS  keep-alive, retransmission and drop intervals\n"
         "  replay FILE              send a recorded dump to every client and adopt its state\n"
         "  initial FILE|default     initial state for new clients: a dump, or the generated one\n"
         "  status                   clients, buses, keys, mixes, faults and counters\n"
         "  help                     this list\n"
         "  quit                     stop the simulator";
}

SimCommandResult simCommand(SwitcherSim& sim, const std::string& line) {
  std::string text = line.substr(0, line.find('#'));
  std::istringstream in(text);
  std::vector<std::string> w;
  for (std::string word; in >> word;) w.push_back(word);
  if (w.empty()) return done("");
  const std::string& cmd = w[0];
  std::string err;
  long v = 0;
  int me = 0;

  if (cmd == "program" || cmd == "preview") {
    if (w.size() < 2 || w.size() > 3 || !parseInt(w[1], 0, 0xFFFF, v))
      return fail("usage: " + cmd + " INPUT [ME]   (INPUT 0-65535)");
    if (!meArg(sim, w, 2, me, err)) return fail(err);
    if (cmd == "program")
      simSetProgram(sim, me, static_cast<uint16_t>(v));
    else
      simSetPreview(sim, me, static_cast<uint16_t>(v));
    return done(busLine(sim, me) + sentTo(sim));
  }
  if (cmd == "cut") {
    if (w.size() > 2 || !meArg(sim, w, 1, me, err))
      return fail(err.empty() ? "usage: cut [ME]" : err);
    simCut(sim, me);
    return done("cut, " + busLine(sim, me) + sentTo(sim));
  }
  if (cmd == "cuts") {
    long count = 0, ms = 0;
    if (w.size() < 2 || w.size() > 4 || !parseInt(w[1], 0, 1000000, count) ||
        (count > 0 && (w.size() < 3 || !parseInt(w[2], 1, 3600000, ms))))
      return fail("usage: cuts COUNT MS [ME]");
    if (!meArg(sim, w, 3, me, err)) return fail(err);
    simStartCuts(sim, static_cast<int>(count), static_cast<int>(ms), me);
    if (count == 0) return done("timed cuts stopped");
    return done(std::to_string(count) + " cuts on M/E " + std::to_string(me) + ", one every " +
                std::to_string(ms) + " ms");
  }
  if (cmd == "auto") {
    long ms = 1000;
    if (w.size() > 3 || (w.size() >= 2 && !parseInt(w[1], 0, 600000, ms)))
      return fail("usage: auto [MS] [ME]   (MS 0-600000)");
    if (!meArg(sim, w, 2, me, err)) return fail(err);
    if (sim.mixing[me]) return fail("M/E " + std::to_string(me) + " is mixing already");
    simAuto(sim, me, static_cast<int>(ms));
    return done("mix on M/E " + std::to_string(me) + " over " + std::to_string(ms) + " ms, " +
                busLine(sim, me) + sentTo(sim));
  }
  if (cmd == "key" || cmd == "dsk") {
    bool upstream = cmd == "key";
    bool fill = w.size() > 2 && w[2] == "fill";
    bool onOff = w.size() > 2 && (w[2] == "on" || w[2] == "off");
    size_t words = fill ? 4 : 3;  // before the optional M/E
    long n = 0;
    if (!(fill || onOff) || w.size() < words || w.size() > words + (upstream ? 1 : 0) ||
        !parseInt(w[1], 1, upstream ? kSimKeys : kSimDsks, n) ||
        (fill && !parseInt(w[3], 0, 0xFFFF, v)))
      return fail(upstream ? "usage: key N fill INPUT [ME] | key N on|off [ME]   (N 1-4)"
                           : "usage: dsk N fill INPUT | dsk N on|off   (N 1-2)");
    if (upstream && !meArg(sim, w, words, me, err)) return fail(err);
    int i = static_cast<int>(n) - 1;
    SimKey k = upstream ? sim.keys[me][i] : sim.dsks[i];
    if (fill)
      k.fill = static_cast<uint16_t>(v);
    else
      k.onAir = w[2] == "on";
    if (upstream)
      simSetKey(sim, me, i, k.fill, k.onAir);
    else
      simSetDsk(sim, i, k.fill, k.onAir);
    return done((upstream ? "key " + w[1] + " of M/E " + std::to_string(me) : "DSK " + w[1]) +
                ": " + keyText(k) + sentTo(sim));
  }
  if (cmd == "resend") {
    bool dup = w.size() > 1 && w.back() == "dup";
    size_t words = w.size() - (dup ? 1 : 0);
    long back = 1;
    if (words > 2 || (words == 2 && !parseInt(w[1], 1, kSimHistory, back)))
      return fail("usage: resend [N] [dup]   (N 1-" + std::to_string(kSimHistory) + ")");
    if (!simResend(sim, static_cast<int>(back), !dup))
      return fail("no open client has a packet " + std::to_string(back) + " back");
    return done("packet " + std::to_string(back) + " back sent again " +
                (dup ? "unchanged" : "as a retransmission (0x20)") + sentTo(sim));
  }
  if (cmd == "wait") {
    if (w.size() != 2 || !parseInt(w[1], 0, 86400000, v)) return fail("usage: wait MS");
    SimCommandResult r = done("");
    r.waitMs = static_cast<int>(v);
    return r;
  }
  if (cmd == "repeat" && w.size() == 1) {
    SimCommandResult r = done("");
    r.repeat = true;
    return r;
  }
  if ((cmd == "quit" || cmd == "exit") && w.size() == 1) {
    SimCommandResult r = done("stopping");
    r.quit = true;
    return r;
  }
  if (cmd == "limit") {
    if (w.size() != 2 || !parseInt(w[1], 0, 1000, v)) return fail("usage: limit N");
    sim.clientLimit = static_cast<size_t>(v);
    return done("client limit " + std::to_string(v));
  }
  if (cmd == "refuse") {
    if (w.size() > 2 || (w.size() == 2 && !parseInt(w[1], 0, 1000000, v)))
      return fail("usage: refuse [N]");
    sim.refuseNext = w.size() == 2 ? static_cast<int>(v) : 1;
    return done("the next " + std::to_string(sim.refuseNext) + " hello(s) will be refused (0x03)");
  }
  if (cmd == "reopen") {
    if (w.size() == 1) {
      size_t n = sim.clients.size();
      simReopenAll(sim);
      return done(std::to_string(n) + " client(s) asked to open again (0x04)");
    }
    if (w[1] == "next" && w.size() <= 3 && (w.size() == 2 || parseInt(w[2], 0, 1000000, v))) {
      sim.reopenNext = w.size() == 3 ? static_cast<int>(v) : 1;
      return done("the next " + std::to_string(sim.reopenNext) +
                  " hello(s) will be asked to open again (0x04)");
    }
    return fail("usage: reopen | reopen next [N]");
  }
  if (cmd == "silence") {
    double s = 0;
    if (w.size() != 2 || !parseSeconds(w[1], s)) return fail("usage: silence SECONDS");
    simSilence(sim, static_cast<int>(s * 1000));
    return done("restarting: silent for " + w[1] + " s, every session forgotten");
  }
  if (cmd == "loss") return setFault("loss", sim.faults.lossPct, w);
  if (cmd == "duplicate") return setFault("duplicate", sim.faults.duplicatePct, w);
  if (cmd == "reorder") return setFault("reorder", sim.faults.reorderPct, w);
  if (cmd == "garbage") return setFault("garbage", sim.faults.garbagePct, w);
  if (cmd == "faults") {
    if (w.size() != 2 || w[1] != "off") return fail("usage: faults off");
    sim.faults = SimFaults();
    return done("no faults");
  }
  if (cmd == "ping") return setTiming(sim.pingMs, "ping", w);
  if (cmd == "retransmit") return setTiming(sim.retransmitMs, "retransmit", w);
  if (cmd == "drop") return setTiming(sim.dropMs, "drop", w);
  if (cmd == "replay") {
    if (w.size() != 2) return fail("usage: replay FILE");
    size_t n = simOpenClients(sim);
    if (!simReplay(sim, w[1], &err)) return fail(err);
    return done("replayed " + w[1] + " to " + std::to_string(n) + " client(s); " + busLine(sim, 0));
  }
  if (cmd == "initial") {
    if (w.size() != 2) return fail("usage: initial FILE | initial default");
    if (!simLoadInitial(sim, w[1] == "default" ? "" : w[1], &err)) return fail(err);
    return done(w[1] == "default" ? "new clients get the generated initial state"
                                  : "new clients get " + w[1] + "; " + busLine(sim, 0));
  }
  if (cmd == "status" && w.size() == 1) return done(simStatus(sim));
  if (cmd == "help" && w.size() == 1) return done(simHelp());
  return fail("unknown command '" + text.substr(text.find_first_not_of(" \t")) + "' (try: help)");
}

}  // namespace quorvel_sim
