// A stand-in for an ATEM switcher on a loopback address: the switcher side of the UDP control
// protocol (port 9910), enough of the state commands for tally work, and fault injection.
//
// Use: fill a SwitcherSim (or keep the defaults), call simOpen, then call simPoll over and over
// from one thread; change the buses, keys and mixes between polls with simSetProgram / simCut /
// simSetKey / simAuto and the like, or with text commands through simCommand. Everything is
// single-threaded and non-blocking apart from the wait inside simPoll.
//
// Protocol, as played here (all fields big-endian, 12-byte header on every packet):
//   bytes 0-1  flags in the top 5 bits (0x80 ack, 0x40 retransmit request, 0x20 retransmission,
//              0x10 SYN, 0x08 ack requested), packet length in the low 11 bits
//   bytes 2-3  session id; bytes 4-5 acked id; bytes 10-11 the sender's packet id
// A hello (SYN, payload byte 0 = 0x01) gets a 20-byte SYN answer echoing its session id, with
// result 0x02 and the new client id in payload bytes 2-3 (or 0x03 refused, 0x04 open again).
// Once the client acknowledges the answer it gets the initial state; from then on every packet
// carries session id 0x8000 | client id and ids counting from 1 with 15-bit wrap-around.
//
// Acknowledgements are taken as cumulative, like a real switcher does: an ack of id N also
// settles the packets sent before N. A packet whose every transmission was thrown away by the
// loss fault is the exception: the client never saw it, so it stays queued for retransmission.
//
// Tally: like a real switcher the simulator keeps a list of every source's tally ("TlSr": count,
// then per source its 16-bit id and a flag byte, bit 0 program, bit 1 preview). It is part of the
// initial state, and every change that alters a source's flags carries the new list after its
// other blocks. Program of M/E 0 and the fill of an on-air key of M/E 0 or of a downstream key
// are on program; preview of M/E 0 is on preview, and on program too while M/E 0 mixes. The other
// M/Es light nothing, as they do not feed the program output.
#pragma once

#include <netinet/in.h>

#include <cstdint>
#include <deque>
#include <functional>
#include <string>
#include <vector>

#include "base/bytes.h"

namespace quorvel_sim {

constexpr int kSimMaxMes = 4;
constexpr int kSimKeys = 4;         // upstream keys per M/E
constexpr int kSimDsks = 2;         // downstream keys
constexpr size_t kSimHistory = 64;  // reliable packets kept per client for simResend
constexpr uint16_t kSimPort = 9910;

// An upstream or downstream key: the source it fills with, and whether it is on air.
struct SimKey {
  uint16_t fill = 0;
  bool onAir = false;
};

// A reliable packet waiting for its acknowledgement.
struct SimPacket {
  uint16_t id = 0;
  Bytes bytes;  // the whole datagram, header included
  int64_t lastSendMs = 0;
  int transmissions = 0;
  bool reachedWire = false;  // at least one transmission was not eaten by the loss fault
};

struct SimClient {
  sockaddr_in addr{};
  uint16_t clientId = 0;      // session id on the wire is 0x8000 | clientId
  uint16_t helloSession = 0;  // session id the client used in its hello
  bool open = false;          // acknowledged the SYN answer and got the initial state
  uint16_t nextPacketId = 1;  // 15 bits; wraps from 0x7FFF to 0
  std::deque<SimPacket> inFlight;
  std::deque<Bytes> history;  // the last kSimHistory reliable packets as first sent, acked or not
  int64_t createdMs = 0;
  int64_t lastAckMs = 0;
  int64_t lastNewPacketMs = 0;  // for the idle ping
};

// Shares in percent (0-100) of the session packets hit by each fault. SYN answers are spared.
struct SimFaults {
  int lossPct = 0;       // not sent at all (retransmission may recover it)
  int duplicatePct = 0;  // sent twice
  int reorderPct = 0;    // held back 20-80 ms, so later packets overtake it
  int garbagePct = 0;    // followed by a datagram of random bytes
};

// A datagram held back by the reorder fault.
struct SimDelayed {
  sockaddr_in to{};
  Bytes bytes;
  int64_t dueMs = 0;
};

struct SwitcherSim {
  // Settings; change them before simOpen or between polls.
  int meCount = 1;      // 1-4
  int sourceCount = 8;  // reported in _top
  size_t clientLimit = 5;
  int pingMs = 1000;       // empty reliable packet after this long without a new packet
  int retransmitMs = 200;  // resend an unacknowledged packet after this long
  int dropMs = 3000;       // forget a client that acknowledged nothing for this long
  SimFaults faults;
  uint32_t rngState = 0x2545F491u;
  // Called with one readable line per event (connections, drops, refusals); may stay empty.
  std::function<void(const std::string&)> log;

  // Switcher state: input ids on the program and preview bus of each M/E.
  uint16_t program[kSimMaxMes] = {1, 1, 1, 1};
  uint16_t preview[kSimMaxMes] = {2, 2, 2, 2};
  SimKey keys[kSimMaxMes][kSimKeys];
  SimKey dsks[kSimDsks];
  // A mix ("auto") running on an M/E ends with a cut at mixEndMs.
  bool mixing[kSimMaxMes] = {};
  int mixMs[kSimMaxMes] = {};
  int64_t mixEndMs[kSimMaxMes] = {};
  // The tally list (TlSr data) the open clients got last. tallyKnown is false while they may
  // hold different lists; the next change then sends the list whatever it is.
  Bytes tallySent;
  bool tallyKnown = false;
  // When not empty, these payloads replace the generated initial state (see simLoadInitial).
  std::vector<Bytes> initialPayloads;

  // Run-time state.
  int fd = -1;
  sockaddr_in local{};
  std::vector<SimClient> clients;
  std::vector<SimDelayed> delayed;
  uint16_t nextClientId = 1;
  int refuseNext = 0;  // hellos still to be refused with 0x03
  int reopenNext = 0;  // hellos still to be answered with 0x04
  int64_t silentUntilMs = 0;
  bool silent = false;
  int autoCutsLeft = 0;  // timed sequence of cuts
  int autoCutMe = 0;
  int autoCutIntervalMs = 0;
  int64_t nextAutoCutMs = 0;

  // Counters, for status lines and tests.
  uint64_t packetsSent = 0;
  uint64_t retransmissions = 0;
  uint64_t packetsResent = 0;  // by simResend
  uint64_t packetsLost = 0;
  uint64_t packetsDuplicated = 0;
  uint64_t packetsReordered = 0;
  uint64_t garbageSent = 0;
  uint64_t clientsDropped = 0;
  uint64_t helloRefused = 0;
};

// Milliseconds of the monotonic clock.
int64_t simNowMs();

// Binds a UDP socket to ip:port. Only 127.0.0.0/8 addresses are accepted. False with a reason
// in `error` on failure.
bool simOpen(SwitcherSim& sim, const std::string& ip, uint16_t port = kSimPort,
             std::string* error = nullptr);
void simClose(SwitcherSim& sim);

// Waits up to `timeoutMs` for the socket, handles every datagram waiting, then runs the timers
// (retransmission, pings, dropping silent clients, held-back packets, timed cuts, end of a
// silence). A timeout of 0 does not wait.
void simPoll(SwitcherSim& sim, int timeoutMs);

// Bus changes; each sends the new "PrgI"/"PrvI" (and the tally list when a source's flags
// change) to every open client. ME out of range: ignored.
void simSetProgram(SwitcherSim& sim, int me, uint16_t input);
void simSetPreview(SwitcherSim& sim, int me, uint16_t input);
// Swaps program and preview, sends both in one packet; a mix running on `me` ends with it.
void simCut(SwitcherSim& sim, int me);
// Upstream key `key` (0-3) of `me`, downstream key `dsk` (0-1): fill source and on-air state.
// Each sends the key's blocks ("KeBP" and "KeOn", "DskB" and "DskS") and the tally list when it
// changed, as one packet. Out of range: ignored.
void simSetKey(SwitcherSim& sim, int me, int key, uint16_t fill, bool onAir);
void simSetDsk(SwitcherSim& sim, int dsk, uint16_t fill, bool onAir);
// Starts a mix from program to preview on `me` lasting `ms` (sends "TrPs" and the tally list);
// simPoll ends it with a cut. Ignored while `me` mixes already.
void simAuto(SwitcherSim& sim, int me, int ms);
// Sends the `back`-th last reliable packet (1: the newest) again to every open client that has
// one that old: with the retransmission flag (0x20) or, if not `asRetransmission`, unchanged as
// a duplicate. Either way with its old packet id. False if no client got it.
bool simResend(SwitcherSim& sim, int back, bool asRetransmission);
// The TlSr data for the current buses, keys and mixes: every source 0..sourceCount and any other
// source on a bus or a key fill, sorted by id, with its flags.
Bytes simTallyList(const SwitcherSim& sim);
// The flags that list gives `source` now (kTallyFlagProgram, kTallyFlagPreview).
uint8_t simTallyFlags(const SwitcherSim& sim, uint16_t source);
// The data of the last TlSr block in `payloads`, up to its last entry; false if there is none.
bool simFindTallyList(const std::vector<Bytes>& payloads, Bytes& data);
// `count` cuts on `me`, one every `intervalMs`, run by simPoll; count 0 stops a running one.
void simStartCuts(SwitcherSim& sim, int count, int intervalMs, int me);

// Sends `payload` (command blocks) as one reliable packet to every open client.
void simBroadcast(SwitcherSim& sim, const Bytes& payload);

// Switcher restart: sends nothing and ignores everything for `ms`, and forgets every client, so
// that they must open fresh sessions afterwards.
void simSilence(SwitcherSim& sim, int ms);

// Sends the re-open code 0x04 to every client and forgets them.
void simReopenAll(SwitcherSim& sim);

// Number of clients whose session is open.
size_t simOpenClients(const SwitcherSim& sim);

// The generated initial state, as payloads: _ver, _top, _MeC; per M/E PrgI, PrvI, TrPs and the
// keys; the downstream keys; TlSr; then InCm.
std::vector<Bytes> simInitialState(const SwitcherSim& sim);

// Reads a recorded dump (one payload per line in hex). False with a reason on a bad file.
bool simReadDump(const std::string& path, std::vector<Bytes>& payloads, std::string* error);
// Adopts the program/preview inputs, the keys (and M/E count, from _top) found in `payloads`.
void simAdoptState(SwitcherSim& sim, const std::vector<Bytes>& payloads);
// Sends each payload of a dump to every open client and adopts its state, and its last tally
// list as the one the clients hold.
bool simReplay(SwitcherSim& sim, const std::string& path, std::string* error);
// Uses a dump as the initial state of new clients ("" goes back to the generated state).
bool simLoadInitial(SwitcherSim& sim, const std::string& path, std::string* error);

// One line of the command language (see simHelp). The runner carries out waitMs, repeat and
// quit; everything else is done here.
struct SimCommandResult {
  bool ok = true;
  std::string message;  // feedback for the operator
  int waitMs = 0;       // "wait": pause the script this long
  bool repeat = false;  // "repeat": start the script again
  bool quit = false;
};
SimCommandResult simCommand(SwitcherSim& sim, const std::string& line);
std::string simHelp();
std::string simStatus(const SwitcherSim& sim);

}  // namespace quorvel_sim
