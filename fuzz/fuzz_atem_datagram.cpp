// Feeds one switcher datagram to atemReceive, the session's whole handling of a datagram from the
// switcher's address. Input byte 0 sets the scene: bits 0-1 the state (0 DISCONNECTED,
// 1 CONNECTING, 2 CONNECTED, taken modulo 3), bit 2 whether reliable packets have started, bit 3
// whether the datagram's id is the one expected, bit 4 a session that has gone on long enough to
// have passed the kAtemPassedIds ids before the expected one. The rest of the input is the
// datagram, cut to 2048 bytes as the receive would cut it.
//
// After every input the session is compared with what an independent reading of the datagram
// says: the length rule, the state and session id moves, which packets are acknowledged, applied
// or held beyond a gap, and the tables and tally list that an applied payload leaves. The payload is also
// walked from an exact-size heap copy, where AddressSanitizer catches any read past its end.
#include <sanitizer/common_interface_defs.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "atem/atem_commands.h"
#include "atem/atem_session.h"

namespace {

constexpr uint16_t kStartSession = 0x1234;
constexpr uint16_t kExpected = 0x0105;
constexpr int64_t kNow = 10'000 * kNsPerMs;

// Written through the sanitizer runtime, whose report stream stays open under -close_fd_mask.
[[noreturn]] void fail(const char* what) {
  std::string line = std::string("atem_datagram: ") + what;
  __sanitizer_report_error_summary(line.c_str());
  std::abort();
}

struct Tables {
  int16_t program[ATEM_ME_COUNT] = {111, 222, 333, 444};
  int16_t preview[ATEM_ME_COUNT] = {-555, -666, -777, -888};
  std::vector<uint8_t> flags = std::vector<uint8_t>(65536, 0);
  bool seen = true;
};

Tables startTables() {
  Tables t;
  t.flags[7] = kTallyFlagProgram;  // the list the session holds before the datagram
  t.flags[9] = kTallyFlagPreview;
  return t;
}

void load(AtemTables& a, const Tables& t) {
  a = AtemTables();
  std::memcpy(a.programInput, t.program, sizeof t.program);
  std::memcpy(a.previewInput, t.preview, sizeof t.preview);
  a.tallyListSeen = t.seen;
  a.tallyCount = 2;
  a.tallySources[0] = 7, a.tallySources[1] = 9;
  a.tallyBySource[7] = t.flags[7], a.tallyBySource[9] = t.flags[9];
}

bool same(const Tables& t, const AtemTables& a) {
  if (std::memcmp(t.program, a.programInput, sizeof t.program) != 0 ||
      std::memcmp(t.preview, a.previewInput, sizeof t.preview) != 0 || t.seen != a.tallyListSeen)
    return false;
  return std::memcmp(t.flags.data(), a.tallyBySource, 65536) == 0;
}

// The reference walk: block by block with bounds-checked reads.
void referenceWalk(const std::vector<uint8_t>& p, Tables& t) {
  size_t offset = 0;
  while (offset + 8 <= p.size()) {
    size_t length = static_cast<size_t>(p.at(offset)) << 8 | p.at(offset + 1);
    if (length < 8 || offset + length > p.size()) break;
    std::string name(reinterpret_cast<const char*>(&p.at(offset + 4)), 4);
    if ((name == "PrgI" || name == "PrvI") && length >= 12 && p.at(offset + 8) < ATEM_ME_COUNT) {
      int16_t id = static_cast<int16_t>(p.at(offset + 10) << 8 | p.at(offset + 11));
      (name == "PrgI" ? t.program : t.preview)[p.at(offset + 8)] = id;
    } else if (name == "TlSr") {
      std::fill(t.flags.begin(), t.flags.end(), 0);
      t.seen = true;
      size_t count = length >= 10 ? (p.at(offset + 8) << 8 | p.at(offset + 9)) : 0;
      for (size_t i = 0; i < count && offset + 10 + 3 * i + 3 <= offset + length; ++i) {
        size_t at = offset + 10 + 3 * i;
        t.flags[p.at(at) << 8 | p.at(at + 1)] = p.at(at + 2) & 3;
      }
    }
    offset += length;
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  static AtemSession* kept = new AtemSession;  // too large to build for every input
  AtemSession& s = *kept;
  const uint8_t scene = data[0];
  const AtemState before = static_cast<AtemState>((scene & 3) % 3);
  std::vector<uint8_t> d(data + 1, data + 1 + std::min<size_t>(size - 1, kAtemMaxDatagram));
  const size_t n = d.size();
  const uint16_t id = n >= 12 ? static_cast<uint16_t>(d[10] << 8 | d[11]) & kAtemIdMask : 0;

  const Tables start = startTables();
  load(s.tables, start);
  s.state = before;
  s.sessionId = kStartSession;
  s.announced = true;
  s.lastReceiveNs = 0;
  s.order = PacketOrder();
  s.order.started = scene & 4;
  s.order.expected = (scene & 8) ? id : kExpected;
  if (scene & 16)
    for (int k = 1; k <= kAtemPassedIds; ++k) {
      const uint16_t passed = static_cast<uint16_t>((s.order.expected - k) & kAtemIdMask);
      s.order.passed[passed >> 3] |= static_cast<uint8_t>(1u << (passed & 7));
    }

  AtemStep step;
  atemReceive(s, d.data(), n, kNow, step);

  // The reference reading.
  const bool valid = n >= 12 && (static_cast<size_t>(d[0] & 7) << 8 | d[1]) == n;
  const bool syn = valid && (d[0] & 0x10) && n > 12;
  const uint16_t session = valid ? static_cast<uint16_t>(d[2] << 8 | d[3]) : 0;
  AtemState want = before;
  uint16_t wantSession = kStartSession;
  bool acked = false, applied = false, held = false;
  if (valid && before == CONNECTING && syn) {
    if (d[12] == 0x02) want = CONNECTED, wantSession = session, acked = true;
    if (d[12] == 0x03) want = DISCONNECTED;
  } else if (valid && before == CONNECTED && syn) {
    if (d[12] == 0x04) want = CONNECTING;
  } else if (valid && before == CONNECTED) {
    if (session & 0x8000) wantSession = session;
    applied = true;
    if (d[0] & 0x28) {  // a reliable packet, or a resend of one: by its id
      const uint16_t expected = (scene & 4) ? ((scene & 8) ? id : kExpected) : id;
      const uint16_t ahead = static_cast<uint16_t>((id - expected) & kAtemIdMask);
      const bool passed = (scene & 4) && (scene & 16) && ahead >= kAtemPassedIds;
      applied = ahead == 0;
      held = ahead != 0 && !passed && ahead < kAtemHoldPackets;
      acked = (d[0] & 0x08) && (applied || passed);
    }
  }
  if (s.lastReceiveNs != (valid && before != DISCONNECTED ? kNow : 0))
    fail("sign of life disagrees with the length rule");
  if (s.state != want) fail("wrong state");
  if (s.sessionId != wantSession) fail("wrong session id");
  if (step.ackCount != (acked ? 1 : 0))
    fail("acknowledged when it should not be, or not when it should");
  const uint16_t rawId = n >= 12 ? static_cast<uint16_t>(d[10] << 8 | d[11]) : 0;
  if (acked && step.acks[0] != (before == CONNECTING ? 0 : (rawId & kAtemIdMask)))
    fail("acknowledged the wrong id");
  if (s.order.heldCount != (held ? 1 : 0)) fail("held when it should not be, or not when it should");
  if (step.sendHello != (valid && syn && d[12] == 0x04 && before != DISCONNECTED))
    fail("hello sent without a request to open again");
  Tables wantTables = start;
  if (applied && n > 12) referenceWalk(std::vector<uint8_t>(d.begin() + 12, d.end()), wantTables);
  if (!same(wantTables, s.tables)) fail("tables differ from the reference walk");

  // The whole payload, uncut, at the very end of its own heap block.
  if (size > 13) {
    const size_t m = size - 13;
    std::unique_ptr<uint8_t[]> exact(new uint8_t[m]);
    std::memcpy(exact.get(), data + 13, m);
    load(s.tables, start);
    walkCommands(exact.get(), m, s.tables);
    Tables direct = start;
    referenceWalk(std::vector<uint8_t>(data + 13, data + size), direct);
    if (!same(direct, s.tables)) fail("walkCommands differs from the reference walk");
  }
  return 0;
}
