// Switcher side of the ATEM UDP control protocol: sessions, reliable delivery and faults.
#include "switcher_sim.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>

#include "atem/atem_commands.h"
#include "atem/atem_session.h"
#include "tool_output.h"

namespace quorvel_sim {
namespace {

// The flags only a switcher sends; the rest are shared with the client.
constexpr uint8_t kFlagRetransmitRequest = 0x40;
constexpr uint8_t kFlagRetransmission = 0x20;

constexpr size_t kHeaderSize = 12;
constexpr size_t kMaxPacket = 0x07FF;  // length field has 11 bits
constexpr size_t kStatePayloadLimit = 1400;

// Distance from b forward to a in the 15-bit id space.
uint16_t idDistance(uint16_t a, uint16_t b) {
  return static_cast<uint16_t>((a - b) & 0x7FFF);
}

uint32_t nextRandom(SwitcherSim& sim) {
  uint32_t x = sim.rngState ? sim.rngState : 0x9E3779B9u;
  x ^= x << 13;
  x ^= x >> 17;
  x ^= x << 5;
  sim.rngState = x;
  return x;
}

bool chance(SwitcherSim& sim, int pct) {
  if (pct <= 0) return false;
  return static_cast<int>(nextRandom(sim) % 100) < pct;
}

void emit(const SwitcherSim& sim, const std::string& line) {
  if (sim.log) sim.log(line);
}

std::string addrText(const sockaddr_in& a) {
  char ip[INET_ADDRSTRLEN] = "?";
  inet_ntop(AF_INET, &a.sin_addr, ip, sizeof ip);
  return std::string(ip) + ":" + std::to_string(ntohs(a.sin_port));
}


bool sameAddr(const sockaddr_in& a, const sockaddr_in& b) {
  return a.sin_addr.s_addr == b.sin_addr.s_addr && a.sin_port == b.sin_port;
}

std::string clientName(const SimClient& c) {
  return "client " + std::to_string(c.clientId) + " (" + addrText(c.addr) + ")";
}

void sendRaw(SwitcherSim& sim, const sockaddr_in& to, const Bytes& bytes) {
  if (sim.fd < 0 || !isLoopback(to)) return;  // never anything beyond this host
  ::sendto(sim.fd, bytes.data(), bytes.size(), 0, reinterpret_cast<const sockaddr*>(&to),
           sizeof to);
}

void sendGarbage(SwitcherSim& sim, const sockaddr_in& to) {
  // Half of them shorter than a header, half header-sized or longer, all random bytes.
  size_t n = (nextRandom(sim) % 2) ? 1 + nextRandom(sim) % 11 : 12 + nextRandom(sim) % 53;
  Bytes junk(n);
  for (uint8_t& b : junk) b = static_cast<uint8_t>(nextRandom(sim));
  sendRaw(sim, to, junk);
  ++sim.garbageSent;
}

// One transmission of a session packet through the fault filter. `packet` is the reliable
// packet being sent, if any, so that its fate can be recorded.
void transmit(SwitcherSim& sim, const SimClient& c, const Bytes& bytes, SimPacket* packet) {
  int64_t now = simNowMs();
  if (packet) {
    packet->lastSendMs = now;
    ++packet->transmissions;
  }
  if (chance(sim, sim.faults.lossPct)) {
    ++sim.packetsLost;
  } else {
    if (chance(sim, sim.faults.reorderPct)) {
      sim.delayed.push_back({c.addr, bytes, now + 20 + static_cast<int64_t>(nextRandom(sim) % 61)});
      ++sim.packetsReordered;
    } else {
      sendRaw(sim, c.addr, bytes);
    }
    if (packet) packet->reachedWire = true;
    if (chance(sim, sim.faults.duplicatePct)) {
      sendRaw(sim, c.addr, bytes);
      ++sim.packetsDuplicated;
    }
  }
  if (chance(sim, sim.faults.garbagePct)) sendGarbage(sim, c.addr);
}

void sendReliable(SwitcherSim& sim, SimClient& c, const Bytes& payload) {
  size_t size = kHeaderSize + payload.size();
  if (size > kMaxPacket) {
    emit(sim, "payload of " + std::to_string(payload.size()) + " bytes is too long, not sent");
    return;
  }
  SimPacket p;
  p.id = c.nextPacketId;
  c.nextPacketId = static_cast<uint16_t>((c.nextPacketId + 1) & 0x7FFF);
  p.bytes.assign(size, 0);
  p.bytes[0] = static_cast<uint8_t>(kAtemFlagAckRequest | ((size >> 8) & 0x07));
  p.bytes[1] = static_cast<uint8_t>(size & 0xFF);
  putBe16(&p.bytes[2], static_cast<uint16_t>(0x8000 | c.clientId));
  putBe16(&p.bytes[10], p.id);
  std::copy(payload.begin(), payload.end(), p.bytes.begin() + kHeaderSize);
  c.history.push_back(p.bytes);
  if (c.history.size() > kSimHistory) c.history.pop_front();
  c.inFlight.push_back(std::move(p));
  c.lastNewPacketMs = simNowMs();
  ++sim.packetsSent;
  transmit(sim, c, c.inFlight.back().bytes, &c.inFlight.back());
}

// 20-byte SYN answer: accepted (with the new client id), refused, or asked to open again.
Bytes synAnswer(uint16_t session, uint8_t code, uint16_t clientId) {
  Bytes b(20, 0);
  b[0] = kAtemFlagSyn;
  b[1] = 20;
  putBe16(&b[2], session);
  b[12] = code;
  if (code == kAtemConnectAccepted) putBe16(&b[14], clientId);
  return b;
}

Bytes ackPacket(uint16_t session, uint16_t ackedId) {
  Bytes b(12, 0);
  b[0] = kAtemFlagAck;
  b[1] = 12;
  putBe16(&b[2], session);
  putBe16(&b[4], ackedId);
  return b;
}

SimClient* findClient(SwitcherSim& sim, const sockaddr_in& from) {
  for (SimClient& c : sim.clients)
    if (sameAddr(c.addr, from)) return &c;
  return nullptr;
}

uint16_t allocateClientId(SwitcherSim& sim) {
  for (;;) {
    uint16_t id = sim.nextClientId;
    sim.nextClientId = static_cast<uint16_t>(sim.nextClientId % 0x7FFF + 1);
    bool used = std::any_of(sim.clients.begin(), sim.clients.end(),
                            [id](const SimClient& c) { return c.clientId == id; });
    if (!used) return id;
  }
}

void handleHello(SwitcherSim& sim, const sockaddr_in& from, uint16_t session) {
  auto old = std::find_if(sim.clients.begin(), sim.clients.end(),
                          [&](const SimClient& c) { return sameAddr(c.addr, from); });
  if (old != sim.clients.end()) {
    emit(sim, clientName(*old) + " opens a new session; the old one ends");
    sim.clients.erase(old);
  }
  if (sim.reopenNext > 0) {
    --sim.reopenNext;
    sendRaw(sim, from, synAnswer(session, kAtemConnectReopen, 0));
    emit(sim, "hello from " + addrText(from) + ": asked to open again (0x04)");
    return;
  }
  if (sim.refuseNext > 0 || sim.clients.size() >= sim.clientLimit) {
    std::string why = sim.refuseNext > 0
                          ? "refused on command"
                          : "refused, client limit " + std::to_string(sim.clientLimit) + " reached";
    if (sim.refuseNext > 0) --sim.refuseNext;
    ++sim.helloRefused;
    sendRaw(sim, from, synAnswer(session, kAtemConnectRefused, 0));
    emit(sim, "hello from " + addrText(from) + ": " + why + " (0x03)");
    return;
  }
  SimClient c;
  c.addr = from;
  c.clientId = allocateClientId(sim);
  c.helloSession = session;
  c.createdMs = c.lastAckMs = c.lastNewPacketMs = simNowMs();
  sim.clients.push_back(c);
  sendRaw(sim, from, synAnswer(session, kAtemConnectAccepted, c.clientId));
  char sid[8];
  std::snprintf(sid, sizeof sid, "%04x", 0x8000 | c.clientId);
  emit(sim, "hello from " + addrText(from) + ": accepted as client " + std::to_string(c.clientId) +
                ", session 0x" + sid);
}

void sendInitialState(SwitcherSim& sim, SimClient& c) {
  std::vector<Bytes> payloads =
      sim.initialPayloads.empty() ? simInitialState(sim) : sim.initialPayloads;
  for (const Bytes& p : payloads) sendReliable(sim, c, p);
  // The open clients hold the same tally list only if this one got what the others got last.
  Bytes list;
  bool hasList = simFindTallyList(payloads, list);
  if (simOpenClients(sim) == 1) {
    sim.tallySent = list;
    sim.tallyKnown = hasList;
  } else if (!hasList || list != sim.tallySent) {
    sim.tallyKnown = false;
  }
  emit(sim, clientName(c) + " is connected; initial state sent in " +
                std::to_string(payloads.size()) + " packets");
}

// An ack settles the acked packet and, cumulatively, everything sent before it that reached
// the wire. Acks of ids that were never sent (or settled long ago) settle nothing else.
void settle(SimClient& c, uint16_t acked) {
  if (c.inFlight.empty()) return;
  uint16_t oldest = c.inFlight.front().id;
  uint16_t last = static_cast<uint16_t>((c.nextPacketId - 1) & 0x7FFF);
  if (idDistance(last, acked) > idDistance(last, oldest)) return;  // outside what is in flight
  uint16_t span = idDistance(acked, oldest);
  c.inFlight.erase(std::remove_if(c.inFlight.begin(), c.inFlight.end(),
                                  [&](const SimPacket& p) {
                                    if (p.id == acked) return true;
                                    return idDistance(acked, p.id) <= span && p.reachedWire;
                                  }),
                   c.inFlight.end());
}

void retransmitPacket(SwitcherSim& sim, SimClient& c, SimPacket& p) {
  p.bytes[0] |= kFlagRetransmission;
  ++sim.retransmissions;
  transmit(sim, c, p.bytes, &p);
}

void handleDatagram(SwitcherSim& sim, const sockaddr_in& from, const uint8_t* d, size_t n) {
  if (n < kHeaderSize) return;
  uint8_t flags = d[0];
  if ((flags & kAtemFlagSyn) && n >= 13 && d[12] == kAtemConnectHello) {
    handleHello(sim, from, getBe16(d + 2));
    return;
  }
  SimClient* c = findClient(sim, from);
  if (!c) return;  // not a session of ours (for instance from before a restart)
  if (flags & kAtemFlagAck) {
    c->lastAckMs = simNowMs();
    if (!c->open) {
      c->open = true;
      sendInitialState(sim, *c);
    } else {
      settle(*c, getBe16(d + 4));
    }
  }
  if ((flags & kFlagRetransmitRequest) && c->open) {
    uint16_t from_id = getBe16(d + 6);
    auto it = std::find_if(c->inFlight.begin(), c->inFlight.end(),
                           [&](const SimPacket& p) { return p.id == from_id; });
    for (; it != c->inFlight.end(); ++it) retransmitPacket(sim, *c, *it);
  }
  if (flags & kAtemFlagAckRequest) {
    sendRaw(sim, from, ackPacket(static_cast<uint16_t>(0x8000 | c->clientId), getBe16(d + 10)));
    if (n >= kHeaderSize + 8) {
      std::string names;
      forEachBlock(
          d + kHeaderSize, n - kHeaderSize, [&](const uint8_t* name, const uint8_t*, size_t) {
            names +=
                (names.empty() ? "" : " ") + std::string(reinterpret_cast<const char*>(name), 4);
          });
      if (!names.empty())
        emit(sim, clientName(*c) + " sent " + names + " (acknowledged, not acted on)");
    }
  }
}

void runTimers(SwitcherSim& sim) {
  int64_t now = simNowMs();
  if (sim.silent) {
    if (now < sim.silentUntilMs) return;
    sim.silent = false;
    emit(sim, "back after the restart; clients must open new sessions");
    if (sim.autoCutsLeft > 0) sim.nextAutoCutMs = now + sim.autoCutIntervalMs;
  }

  for (size_t i = 0; i < sim.delayed.size();) {
    if (sim.delayed[i].dueMs <= now) {
      sendRaw(sim, sim.delayed[i].to, sim.delayed[i].bytes);
      sim.delayed.erase(sim.delayed.begin() + static_cast<long>(i));
    } else {
      ++i;
    }
  }

  for (size_t i = 0; i < sim.clients.size();) {
    SimClient& c = sim.clients[i];
    if (now - c.lastAckMs > sim.dropMs) {
      emit(sim, clientName(c) + " dropped: " +
                    (c.open ? "no acknowledgement for " + std::to_string(now - c.lastAckMs) + " ms"
                            : std::string("never acknowledged its SYN answer")));
      ++sim.clientsDropped;
      sim.clients.erase(sim.clients.begin() + static_cast<long>(i));
      continue;
    }
    if (c.open) {
      for (SimPacket& p : c.inFlight)
        if (now - p.lastSendMs >= sim.retransmitMs) retransmitPacket(sim, c, p);
      if (now - c.lastNewPacketMs >= sim.pingMs) sendReliable(sim, c, Bytes());
    }
    ++i;
  }

  for (int me = 0; me < kSimMaxMes; ++me) {
    if (!sim.mixing[me] || now < sim.mixEndMs[me]) continue;
    simCut(sim, me);  // ends the mix
    emit(sim, "mix on M/E " + std::to_string(me) + " done: program " +
                  std::to_string(sim.program[me]) + ", preview " + std::to_string(sim.preview[me]));
  }

  if (sim.autoCutsLeft > 0 && now >= sim.nextAutoCutMs) {
    --sim.autoCutsLeft;
    sim.nextAutoCutMs = now + sim.autoCutIntervalMs;
    simCut(sim, sim.autoCutMe);
    int me = sim.autoCutMe;
    emit(sim, "timed cut on M/E " + std::to_string(me) + ": program " +
                  std::to_string(sim.program[me]) + ", preview " + std::to_string(sim.preview[me]) +
                  (sim.autoCutsLeft ? ", " + std::to_string(sim.autoCutsLeft) + " to go" : ""));
  }
}

// A switcher pads each block with zeros to a multiple of 4 bytes; a tally list thus often has
// bytes behind its last entry, and only its count says where the entries end.
void appendBlock(Bytes& out, const char* name, const Bytes& data) {
  size_t len = (8 + data.size() + 3) / 4 * 4;
  out.push_back(static_cast<uint8_t>(len >> 8));
  out.push_back(static_cast<uint8_t>(len));
  out.push_back(0);
  out.push_back(0);
  out.insert(out.end(), name, name + 4);
  out.insert(out.end(), data.begin(), data.end());
  out.resize(out.size() + len - 8 - data.size(), 0);
}

void appendInput(Bytes& out, const char* name, int me, uint16_t input) {
  Bytes data = {static_cast<uint8_t>(me), 0, static_cast<uint8_t>(input >> 8),
                static_cast<uint8_t>(input)};
  if (name[1] == 'r' && name[2] == 'v') data.resize(8, 0);  // PrvI carries 4 more bytes
  appendBlock(out, name, data);
}

// "KeBP" (a luma key filled and cut by `fill`, mask edges at their defaults) and "KeOn".
void appendKey(Bytes& out, int me, int key, const SimKey& k) {
  uint8_t m = static_cast<uint8_t>(me), n = static_cast<uint8_t>(key);
  uint8_t hi = static_cast<uint8_t>(k.fill >> 8), lo = static_cast<uint8_t>(k.fill);
  Bytes base = {m, n, 0, 1, 1, 0, hi, lo, hi, lo, 0, 0};
  // Mask edges top, bottom, left, right: 9000, -9000, -16000, 16000.
  Bytes mask = {0x23, 0x28, 0xDC, 0xD8, 0xC1, 0x80, 0x3E, 0x80};
  base.insert(base.end(), mask.begin(), mask.end());
  appendBlock(out, "KeBP", base);
  appendBlock(out, "KeOn", {m, n, static_cast<uint8_t>(k.onAir), 0});
}

// "DskB" (fill and key source) and "DskS" (on air, not in a transition).
void appendDsk(Bytes& out, int dsk, const SimKey& k) {
  uint8_t n = static_cast<uint8_t>(dsk);
  uint8_t hi = static_cast<uint8_t>(k.fill >> 8), lo = static_cast<uint8_t>(k.fill);
  appendBlock(out, "DskB", {n, 0, hi, lo, hi, lo, 0, 0});
  appendBlock(out, "DskS", {n, static_cast<uint8_t>(k.onAir), 0, 0, 0, 0, 0, 0});
}

// "TrPs": whether `me` is in a transition, and the frames it has left (25 a second).
void appendMix(Bytes& out, const SwitcherSim& sim, int me) {
  uint8_t frames = sim.mixing[me] ? static_cast<uint8_t>(std::min(255, sim.mixMs[me] / 40)) : 0;
  appendBlock(
      out, "TrPs",
      {static_cast<uint8_t>(me), static_cast<uint8_t>(sim.mixing[me]), frames, 0, 0, 0, 0, 0});
}

// Sends the blocks of one change as one reliable packet: `blocks`, then the tally list if any
// source's flags differ from what the clients hold, then `after`.
void sendChange(SwitcherSim& sim, Bytes blocks, const Bytes& after = {}) {
  Bytes list = simTallyList(sim);
  if (!sim.tallyKnown || list != sim.tallySent) {
    appendBlock(blocks, "TlSr", list);
    sim.tallySent = list;
    sim.tallyKnown = true;
  }
  blocks.insert(blocks.end(), after.begin(), after.end());
  simBroadcast(sim, blocks);
}

int clampMes(int n) {
  return std::max(1, std::min(kSimMaxMes, n));
}

}  // namespace

int64_t simNowMs() {
  using namespace std::chrono;
  return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

bool simOpen(SwitcherSim& sim, const std::string& ip, uint16_t port, std::string* error) {
  auto fail = [&](const std::string& why) {
    if (error) *error = why;
    if (sim.fd >= 0) ::close(sim.fd);
    sim.fd = -1;
    return false;
  };
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(port);
  if (inet_pton(AF_INET, ip.c_str(), &a.sin_addr) != 1) return fail("not an IPv4 address: " + ip);
  if (!isLoopback(a)) return fail("only loopback addresses (127.0.0.0/8) are served: " + ip);
  sim.fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (sim.fd < 0) return fail(std::string("socket: ") + std::strerror(errno));
  if (::bind(sim.fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0)
    return fail("bind " + ip + ":" + std::to_string(port) + ": " + std::strerror(errno));
  socklen_t len = sizeof sim.local;
  ::getsockname(sim.fd, reinterpret_cast<sockaddr*>(&sim.local), &len);
  sim.meCount = clampMes(sim.meCount);
  return true;
}

void simClose(SwitcherSim& sim) {
  if (sim.fd >= 0) ::close(sim.fd);
  sim.fd = -1;
  sim.clients.clear();
  sim.delayed.clear();
}

void simPoll(SwitcherSim& sim, int timeoutMs) {
  if (sim.fd < 0) return;
  pollfd p{sim.fd, POLLIN, 0};
  ::poll(&p, 1, std::max(0, timeoutMs));
  uint8_t buf[2048];
  for (int i = 0; i < 256; ++i) {  // bounded, so timers run even under a flood
    sockaddr_in from{};
    socklen_t len = sizeof from;
    ssize_t n = ::recvfrom(sim.fd, buf, sizeof buf, 0, reinterpret_cast<sockaddr*>(&from), &len);
    if (n < 0) break;
    if (sim.silent && simNowMs() < sim.silentUntilMs) continue;  // restarting: hears nothing
    handleDatagram(sim, from, buf, static_cast<size_t>(n));
  }
  runTimers(sim);
}

void simBroadcast(SwitcherSim& sim, const Bytes& payload) {
  if (sim.silent) return;
  for (SimClient& c : sim.clients)
    if (c.open) sendReliable(sim, c, payload);
}

static void setBus(SwitcherSim& sim, uint16_t* bus, const char* name, int me, uint16_t input) {
  if (me < 0 || me >= kSimMaxMes) return;
  bus[me] = input;
  Bytes payload;
  appendInput(payload, name, me, input);
  sendChange(sim, payload);
}

void simSetProgram(SwitcherSim& sim, int me, uint16_t input) {
  setBus(sim, sim.program, "PrgI", me, input);
}

void simSetPreview(SwitcherSim& sim, int me, uint16_t input) {
  setBus(sim, sim.preview, "PrvI", me, input);
}

void simCut(SwitcherSim& sim, int me) {
  if (me < 0 || me >= kSimMaxMes) return;
  std::swap(sim.program[me], sim.preview[me]);
  Bytes payload, after;
  appendInput(payload, "PrgI", me, sim.program[me]);
  appendInput(payload, "PrvI", me, sim.preview[me]);
  if (sim.mixing[me]) {  // the cut completes the mix at once
    sim.mixing[me] = false;
    appendMix(after, sim, me);
  }
  sendChange(sim, payload, after);
}

void simSetKey(SwitcherSim& sim, int me, int key, uint16_t fill, bool onAir) {
  if (me < 0 || me >= kSimMaxMes || key < 0 || key >= kSimKeys) return;
  sim.keys[me][key] = {fill, onAir};
  Bytes payload;
  appendKey(payload, me, key, sim.keys[me][key]);
  sendChange(sim, payload);
}

void simSetDsk(SwitcherSim& sim, int dsk, uint16_t fill, bool onAir) {
  if (dsk < 0 || dsk >= kSimDsks) return;
  sim.dsks[dsk] = {fill, onAir};
  Bytes payload;
  appendDsk(payload, dsk, sim.dsks[dsk]);
  sendChange(sim, payload);
}

void simAuto(SwitcherSim& sim, int me, int ms) {
  if (me < 0 || me >= kSimMaxMes || sim.mixing[me]) return;
  sim.mixing[me] = true;
  sim.mixMs[me] = std::max(0, ms);
  sim.mixEndMs[me] = simNowMs() + sim.mixMs[me];
  Bytes payload;
  appendMix(payload, sim, me);
  sendChange(sim, payload);
}

bool simResend(SwitcherSim& sim, int back, bool asRetransmission) {
  if (sim.silent || back < 1) return false;
  bool sent = false;
  for (SimClient& c : sim.clients) {
    if (!c.open || static_cast<size_t>(back) > c.history.size()) continue;
    Bytes bytes = c.history[c.history.size() - static_cast<size_t>(back)];
    if (asRetransmission) bytes[0] |= kFlagRetransmission;
    transmit(sim, c, bytes, nullptr);
    ++sim.packetsResent;
    sent = true;
  }
  return sent;
}

uint8_t simTallyFlags(const SwitcherSim& sim, uint16_t source) {
  uint8_t flags = 0;
  if (sim.program[0] == source) flags |= kTallyFlagProgram;
  if (sim.preview[0] == source)
    flags |= kTallyFlagPreview | (sim.mixing[0] ? kTallyFlagProgram : 0);
  for (const SimKey& k : sim.keys[0])
    if (k.onAir && k.fill == source) flags |= kTallyFlagProgram;
  for (const SimKey& k : sim.dsks)
    if (k.onAir && k.fill == source) flags |= kTallyFlagProgram;
  return flags;
}

Bytes simTallyList(const SwitcherSim& sim) {
  std::vector<uint16_t> ids;
  for (int s = 0; s <= sim.sourceCount; ++s) ids.push_back(static_cast<uint16_t>(s));
  for (int me = 0; me < clampMes(sim.meCount); ++me) {
    ids.push_back(sim.program[me]);
    ids.push_back(sim.preview[me]);
    for (const SimKey& k : sim.keys[me]) ids.push_back(k.fill);
  }
  for (const SimKey& k : sim.dsks) ids.push_back(k.fill);
  std::sort(ids.begin(), ids.end());
  ids.erase(std::unique(ids.begin(), ids.end()), ids.end());
  Bytes list;
  appendBe16(list, static_cast<uint16_t>(ids.size()));
  for (uint16_t id : ids) {
    appendBe16(list, id);
    list.push_back(simTallyFlags(sim, id));
  }
  return list;
}

bool simFindTallyList(const std::vector<Bytes>& payloads, Bytes& data) {
  bool found = false;
  for (const Bytes& p : payloads)
    forEachBlock(p.data(), p.size(), [&](const uint8_t* name, const uint8_t* d, size_t size) {
      if (!blockIs(name, "TlSr") || size < 2) return;
      data.assign(d, d + std::min(size, 2 + 3 * size_t{getBe16(d)}));  // without the padding
      found = true;
    });
  return found;
}

void simStartCuts(SwitcherSim& sim, int count, int intervalMs, int me) {
  sim.autoCutsLeft = std::max(0, count);
  sim.autoCutIntervalMs = std::max(1, intervalMs);
  sim.autoCutMe = me;
  sim.nextAutoCutMs = simNowMs() + sim.autoCutIntervalMs;
}

void simSilence(SwitcherSim& sim, int ms) {
  sim.silent = true;
  sim.silentUntilMs = simNowMs() + std::max(0, ms);
  sim.clients.clear();
  sim.delayed.clear();
}

void simReopenAll(SwitcherSim& sim) {
  for (const SimClient& c : sim.clients) {
    Bytes b = synAnswer(static_cast<uint16_t>(0x8000 | c.clientId), kAtemConnectReopen, 0);
    sendRaw(sim, c.addr, b);
    emit(sim, clientName(c) + " asked to open its session again (0x04)");
  }
  sim.clients.clear();
}

size_t simOpenClients(const SwitcherSim& sim) {
  return static_cast<size_t>(std::count_if(sim.clients.begin(), sim.clients.end(),
                                           [](const SimClient& c) { return c.open; }));
}

std::vector<Bytes> simInitialState(const SwitcherSim& sim) {
  int mes = clampMes(sim.meCount);
  std::vector<Bytes> blocks;
  Bytes b;
  appendBlock(b, "_ver", {0x00, 0x02, 0x00, 0x1E});  // protocol 2.30
  blocks.push_back(b);
  Bytes top(28, 0);
  top[0] = static_cast<uint8_t>(mes);
  top[1] = static_cast<uint8_t>(sim.sourceCount);
  b.clear();
  appendBlock(b, "_top", top);
  blocks.push_back(b);
  // The inputs' names, as a switcher fresh from the factory gives them: "Camera 3", "CAM3".
  b.clear();
  for (int source = 1; source <= sim.sourceCount; ++source) {
    Bytes names(36, 0);
    putBe16(names.data(), static_cast<uint16_t>(source));
    const std::string longName = "Camera " + std::to_string(source);
    const std::string shortName = ("CAM" + std::to_string(source)).substr(0, 4);
    std::copy(longName.begin(), longName.end(), names.begin() + 2);
    std::copy(shortName.begin(), shortName.end(), names.begin() + 22);
    if (b.size() + names.size() + 8 > kStatePayloadLimit) {
      blocks.push_back(b);
      b.clear();
    }
    appendBlock(b, "InPr", names);
  }
  if (!b.empty()) blocks.push_back(b);
  for (int me = 0; me < mes; ++me) {
    b.clear();
    appendBlock(b, "_MeC", {static_cast<uint8_t>(me), kSimKeys, 0x00, 0x00});
    blocks.push_back(b);
  }
  for (int me = 0; me < mes; ++me) {
    b.clear();
    appendInput(b, "PrgI", me, sim.program[me]);
    appendInput(b, "PrvI", me, sim.preview[me]);
    appendMix(b, sim, me);
    for (int key = 0; key < kSimKeys; ++key) appendKey(b, me, key, sim.keys[me][key]);
    blocks.push_back(b);
  }
  b.clear();
  for (int dsk = 0; dsk < kSimDsks; ++dsk) appendDsk(b, dsk, sim.dsks[dsk]);
  blocks.push_back(b);
  b.clear();
  appendBlock(b, "TlSr", simTallyList(sim));
  blocks.push_back(b);
  // Pack the blocks into packets the way a switcher fills its datagrams; InCm ends the state
  // in a packet of its own.
  std::vector<Bytes> payloads(1);
  for (const Bytes& blk : blocks) {
    if (payloads.back().size() + blk.size() > kStatePayloadLimit) payloads.emplace_back();
    payloads.back().insert(payloads.back().end(), blk.begin(), blk.end());
  }
  b.clear();
  appendBlock(b, "InCm", {0x01, 0x00, 0x00, 0x00});
  payloads.push_back(b);
  return payloads;
}

}  // namespace quorvel_sim
