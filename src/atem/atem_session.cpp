#include "atem/atem_session.h"
#include "base/hot.h"

#include <algorithm>
#include <cstring>

namespace {

uint16_t idPlus(uint16_t id, int n) { return static_cast<uint16_t>((id + n) & kAtemIdMask); }

bool wasPassed(const PacketOrder& o, uint16_t id) { return o.passed[id >> 3] & (1u << (id & 7)); }

// `expected` is passed (applied or given up): it is remembered, and the id half the id space
// away forgotten, so that the bits always name the last kAtemPassedIds ids.
void pass(PacketOrder& o) {
  const uint16_t id = o.expected;
  o.passed[id >> 3] |= static_cast<uint8_t>(1u << (id & 7));
  const uint16_t far = idPlus(id, kAtemPassedIds);
  o.passed[far >> 3] &= static_cast<uint8_t>(~(1u << (far & 7)));
  o.expected = idPlus(id, 1);
}

void acknowledge(AtemStep& step, uint16_t id) {
  if (step.ackCount <= kAtemHoldPackets) step.acks[step.ackCount++] = id;
}

QUORVEL_HOT void apply(AtemSession& s, const uint8_t* payload, size_t n, AtemStep& step) {
  if (n > 0) step.walked |= walkCommands(payload, n, s.tables);
}

// Applies the held packets that follow the expected id without a gap.
void applyHeld(AtemSession& s, bool acked, AtemStep& step) {
  PacketOrder& o = s.order;
  for (;;) {
    const int slot = o.expected % kAtemHoldPackets;
    if (o.heldCount == 0 || !o.isHeld[slot]) break;
    const uint16_t id = o.expected;
    apply(s, o.held[slot].data(), o.held[slot].size(), step);
    o.isHeld[slot] = false;
    --o.heldCount;
    pass(o);
    if (acked) acknowledge(step, id);
  }
}

// Gives up the ids that never came: everything held is applied in order, the ids between
// reported as runs.
void giveUp(AtemSession& s, AtemStep& step) {
  PacketOrder& o = s.order;
  step.event = AtemEvent::GAP_SKIPPED;
  while (o.heldCount > 0) {
    if (o.isHeld[o.expected % kAtemHoldPackets]) {
      applyHeld(s, true, step);
      continue;
    }
    if (step.missingRuns > 0 && step.missing[step.missingRuns - 1][1] == idPlus(o.expected, -1))
      step.missing[step.missingRuns - 1][1] = o.expected;
    else if (step.missingRuns < kAtemHoldPackets)
      step.missing[step.missingRuns][0] = step.missing[step.missingRuns][1] = o.expected,
      ++step.missingRuns;
    pass(o);
  }
}

// A reliable packet `id` (or a resend of one): applied in order, held beyond a gap, or known.
QUORVEL_HOT void order(AtemSession& s, uint16_t id, bool acked, const uint8_t* payload, size_t n,
                       int64_t now, AtemStep& step) {
  PacketOrder& o = s.order;
  id &= kAtemIdMask;
  if (!o.started) {
    o.started = true;
    o.expected = id;
  }
  const uint16_t ahead = static_cast<uint16_t>((id - o.expected) & kAtemIdMask);
  if (ahead == 0) {
    apply(s, payload, n, step);
    pass(o);
    if (acked) acknowledge(step, id);
    applyHeld(s, acked, step);
    if (o.heldCount > 0) o.gapSinceNs = now;  // the next gap starts now
    return;
  }
  if (wasPassed(o, id)) {
    if (acked) acknowledge(step, id);  // again: the acknowledgement may have been lost
    return;
  }
  if (ahead >= kAtemHoldPackets) return;  // sent again later, when there is room
  const int slot = id % kAtemHoldPackets;
  if (o.isHeld[slot]) return;  // a duplicate of one held
  if (o.heldCount == 0) o.gapSinceNs = now;
  o.held[slot].assign(payload, payload + n);
  o.isHeld[slot] = true;
  ++o.heldCount;
}

}  // namespace

int64_t atemDeadline(const AtemSession& s) {
  const int64_t silence = s.lastReceiveNs + kAtemSilenceNs;
  if (s.order.heldCount == 0) return silence;
  return std::min(silence, s.order.gapSinceNs + kAtemGapWaitNs);
}

void atemBuildHello(uint8_t* out, uint16_t random) {
  std::memset(out, 0, kAtemHelloSize);
  out[0] = kAtemFlagSyn;
  out[1] = kAtemHelloSize;
  putBe16(out + 8, random);
  out[12] = kAtemConnectHello;
}

void atemBuildAck(uint8_t* out, uint16_t sessionId, uint16_t packetId) {
  std::memset(out, 0, kAtemAckSize);
  out[0] = kAtemFlagAck;
  out[1] = kAtemAckSize;
  putBe16(out + 2, sessionId);
  putBe16(out + 4, packetId);
}

void atemOpen(AtemSession& s, int64_t now, AtemStep& step) {
  step.sendHello = true;
  s.state = CONNECTING;
  s.lastReceiveNs = now;
}

static void handleSynAnswer(AtemSession& s, uint8_t code, uint16_t session, AtemStep& step) {
  switch (code) {
    case kAtemConnectAccepted:
      s.sessionId = session;
      s.state = CONNECTED;
      s.announced = false;
      s.order = PacketOrder();
      acknowledge(step, 0);
      break;
    case kAtemConnectRefused:
      s.state = DISCONNECTED;
      step.event = AtemEvent::REFUSED;
      break;
    case kAtemConnectReopen:
      s.state = CONNECTING;
      step.event = AtemEvent::REOPEN;
      step.sendHello = true;
      break;
    default:
      break;
  }
}

QUORVEL_HOT void atemReceive(AtemSession& s, const uint8_t* d, size_t n, int64_t now,
                             AtemStep& step) {
  if (n < kAtemHeaderSize || (getBe16(d) & 0x07FF) != n) return;
  // Refused: asked again 5 s after the refusal, whatever comes meanwhile.
  if (s.state == DISCONNECTED) return;
  s.lastReceiveNs = now;
  const uint8_t flags = d[0];
  const uint16_t session = getBe16(d + 2);
  const bool syn = (flags & kAtemFlagSyn) && n > kAtemHeaderSize;

  if (s.state == CONNECTING) {
    if (syn) handleSynAnswer(s, d[12], session, step);
    return;
  }
  if (syn) {
    // Only a request to open again means anything once the session is open.
    if (d[12] == kAtemConnectReopen) handleSynAnswer(s, d[12], session, step);
    return;
  }
  if (session & 0x8000) s.sessionId = session;
  if (!s.announced) {
    s.announced = true;
    step.event = AtemEvent::ANNOUNCED;
  }
  const uint8_t* payload = d + kAtemHeaderSize;
  const size_t size = n - kAtemHeaderSize;
  if (flags & (kAtemFlagAckRequest | kAtemFlagRetransmission))
    order(s, getBe16(d + 10), flags & kAtemFlagAckRequest, payload, size, now, step);
  else
    apply(s, payload, size, step);
}

void atemTick(AtemSession& s, int64_t now, AtemStep& step) {
  if (s.order.heldCount > 0 && now >= s.order.gapSinceNs + kAtemGapWaitNs) giveUp(s, step);
  if (now < s.lastReceiveNs + kAtemSilenceNs) return;
  if (s.state == CONNECTED) step.event = AtemEvent::LOST;
  atemOpen(s, now, step);
}
