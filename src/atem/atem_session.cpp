#include "atem/atem_session.h"
#include "base/hot.h"

#include <cstring>

QUORVEL_HOT PacketVerdict packetOrderCheck(PacketOrder& o, uint16_t id, int64_t now,
                                           bool& skipped) {
  skipped = false;
  id &= kAtemIdMask;
  uint16_t ahead = static_cast<uint16_t>((id - o.expected) & kAtemIdMask);
  if (!o.started || ahead == 0) {
    o.started = true;
  } else if (ahead >= 0x4000) {
    return PacketVerdict::REPEAT;  // behind the expected id: applied before
  } else if (!o.gap) {
    o.gap = true;
    o.gapSinceNs = now;
    return PacketVerdict::AHEAD;
  } else if (now - o.gapSinceNs < kAtemGapWaitNs) {
    return PacketVerdict::AHEAD;
  } else {
    skipped = true;
  }
  o.expected = static_cast<uint16_t>((id + 1) & kAtemIdMask);
  o.gap = false;
  return PacketVerdict::APPLY;
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
      step.sendAck = true;
      step.ackId = 0;
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
  s.lastReceiveNs = now;
  const uint8_t flags = d[0];
  const uint16_t session = getBe16(d + 2);
  const bool syn = (flags & kAtemFlagSyn) && n > kAtemHeaderSize;

  if (s.state == CONNECTING) {
    if (syn) handleSynAnswer(s, d[12], session, step);
    return;
  }
  if (s.state != CONNECTED) return;
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
  bool apply = true;
  if (flags & kAtemFlagAckRequest) {
    const uint16_t id = getBe16(d + 10);
    const uint16_t expected = s.order.expected;
    bool skipped = false;
    PacketVerdict v = packetOrderCheck(s.order, id, now, skipped);
    if (v == PacketVerdict::AHEAD) return;
    step.sendAck = true;
    step.ackId = id;
    apply = v == PacketVerdict::APPLY;
    if (skipped) {
      step.event = AtemEvent::GAP_SKIPPED;
      step.gapFrom = expected;
      step.gapTo = static_cast<uint16_t>((id - 1) & kAtemIdMask);
    }
  }
  if (apply && n > kAtemHeaderSize)
    step.walked = walkCommands(d + kAtemHeaderSize, n - kAtemHeaderSize, s.tables);
}

void atemTick(AtemSession& s, int64_t now, AtemStep& step) {
  if (now < atemDeadline(s)) return;
  if (s.state == CONNECTED) step.event = AtemEvent::LOST;
  atemOpen(s, now, step);
}

bool foreignSenderSeen(ForeignSenders& f, int64_t now) {
  ++f.count;
  if (f.warned && now - f.lastWarnNs < kForeignWarnEveryNs) return false;
  f.warned = true;
  f.lastWarnNs = now;
  return true;
}
