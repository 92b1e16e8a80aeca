// The client side of the ATEM switcher's UDP control protocol, as pure logic: datagrams and clock
// readings go in, and what to send back and what happened come out. The socket lives in
// link/atem_link.h.
//
// Every packet starts with a 12-byte big-endian header:
//   0-1   flags (top 5 bits) and the packet length, header included (low 11 bits)
//   2-3   session id           4-5  id of the packet being acknowledged
//   6-9   unused here          10-11 the sender's packet id
// Flags: 0x80 acknowledgement, 0x20 retransmission, 0x10 SYN (session opening), 0x08
// acknowledgement requested. A session opens with a 20-byte hello (SYN, payload byte 0 = 0x01);
// the switcher's SYN answer carries 0x02 (accepted), 0x03 (refused: no free slot) or 0x04 (open
// again) in payload byte 0. The answer echoes the hello's session id; the switcher assigns the
// real one (top bit set) in the packets that follow.
//
// Reliable packets (acknowledgement requested) are numbered modulo 32768 and applied once, in
// order. The next id expected is applied at once. An id the session has passed (applied, or
// given up) is acknowledged again and not applied: a resend or a duplicate. An id up to
// kAtemHoldPackets beyond the expected one is held back; when the missing packets come, it is
// applied in its turn. If they have not come within kAtemGapWaitNs, the session goes on without
// them: everything held is applied in order. Held packets are acknowledged once applied, not
// before: a switcher that counts acknowledgements cumulatively would take an acknowledgement
// beyond the gap for the missing packet too, and never send it again. A packet further ahead is
// dropped unacknowledged; the switcher sends it again.
//
// A resend (0x20) that asks for no acknowledgement is still a reliable packet sent again: it
// takes the same order check by its id. Other packets without the request are applied as they
// come.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

#include "atem/atem_commands.h"
#include "base/clock.h"

constexpr uint16_t ATEM_PORT = 9910;
constexpr size_t kAtemHeaderSize = 12;
constexpr size_t kAtemHelloSize = 20;
constexpr size_t kAtemAckSize = 12;
constexpr size_t kAtemMaxDatagram = 2048;

constexpr uint8_t kAtemFlagAck = 0x80;
constexpr uint8_t kAtemFlagRetransmission = 0x20;
constexpr uint8_t kAtemFlagSyn = 0x10;
constexpr uint8_t kAtemFlagAckRequest = 0x08;
constexpr uint8_t kAtemConnectHello = 0x01;
constexpr uint8_t kAtemConnectAccepted = 0x02;
constexpr uint8_t kAtemConnectRefused = 0x03;
constexpr uint8_t kAtemConnectReopen = 0x04;

// A session is opened anew once nothing has come for more than 5000 whole milliseconds.
constexpr int64_t kAtemSilenceNs = 5001 * kNsPerMs;
constexpr int64_t kAtemGapWaitNs = 1000 * kNsPerMs;
constexpr uint16_t kAtemIdMask = 0x7FFF;
constexpr uint16_t kAtemHoldPackets = 64;  // ids beyond the expected one that are held back
// How far back ids are remembered as passed: half the id space, so that an id is either one of
// these or one still to come, however far the session has gone.
constexpr uint16_t kAtemPassedIds = 0x4000;

enum AtemState : int32_t { DISCONNECTED = 0, CONNECTING = 1, CONNECTED = 2 };

// The order of reliable packets within one session.
struct PacketOrder {
  bool started = false;  // the session's first reliable packet has set `expected`
  uint16_t expected = 0;
  // One bit per id: passed (applied or given up). Only the last kAtemPassedIds ids before
  // `expected` are set.
  std::array<uint8_t, 4096> passed{};
  // Payloads held beyond a gap, by id % kAtemHoldPackets.
  std::array<Bytes, kAtemHoldPackets> held;
  std::array<bool, kAtemHoldPackets> isHeld{};
  int heldCount = 0;
  int64_t gapSinceNs = 0;  // the first packet beyond the gap came
};

enum class AtemEvent {
  NONE,
  ANNOUNCED,  // first packet of an accepted session: the session id in use is known
  REFUSED,    // SYN answer 0x03
  REOPEN,     // the switcher asked for a new opening (0x04); a hello goes out
  LOST,       // an open session went silent; a hello goes out
  GAP_SKIPPED,
};

// What the link is to do after a datagram or a tick, and what happened.
struct AtemStep {
  bool sendHello = false;
  uint16_t acks[kAtemHoldPackets + 1];  // ids to acknowledge, one datagram each, in order
  int ackCount = 0;
  unsigned walked = 0;  // kWalk* bits of the payloads applied
  AtemEvent event = AtemEvent::NONE;
  // GAP_SKIPPED: the ids that never came, as runs (from, to), both included.
  uint16_t missing[kAtemHoldPackets][2];
  int missingRuns = 0;
};

struct AtemSession {
  AtemState state = DISCONNECTED;
  uint16_t sessionId = 0;
  bool announced = false;
  int64_t lastReceiveNs = 0;  // last sign of life, or the last hello
  PacketOrder order;
  AtemTables tables;
};

// Starts an opening: a hello, CONNECTING.
void atemOpen(AtemSession& s, int64_t now, AtemStep& step);
// Handles one datagram from the switcher's address. Datagrams under 12 bytes, and those whose
// header length is not their size, are dropped and are no sign of life; so is anything that
// comes after a refusal, which is tried again 5 s after it whatever arrives.
void atemReceive(AtemSession& s, const uint8_t* d, size_t n, int64_t now, AtemStep& step);
// The timers: a gap waited on for kAtemGapWaitNs is given up; and in every state, more than
// 5000 whole ms without a sign of life gives a hello.
void atemTick(AtemSession& s, int64_t now, AtemStep& step);
// The reading at which atemTick has something to do.
int64_t atemDeadline(const AtemSession& s);

// The 20-byte hello, with `random` (0-65534) in bytes 8-9; the 12-byte acknowledgement.
void atemBuildHello(uint8_t* out, uint16_t random);
void atemBuildAck(uint8_t* out, uint16_t sessionId, uint16_t packetId);
