// Client side of the ATEM switcher's UDP control protocol (switcher port 9910).
//
// Every packet starts with a 12-byte big-endian header:
//   0-1  flags (top 5 bits) and packet length (low 11 bits)   2-3  session id
//   4-5  id of the packet being acknowledged                  6-9  unused here
//   10-11 the sender's packet id
// Flags: 0x80 acknowledgement, 0x10 SYN (session opening), 0x08 acknowledgement requested.
//
// The client opens a session with a 20-byte hello, acknowledges every packet that asks for it,
// hands every payload received in an open session to the command walk, and sends a fresh hello
// after more than 5000 ms without a datagram. It never numbers, retransmits or pings.
#pragma once

#include <netinet/in.h>

#include <chrono>
#include <cstdint>
#include <string>

#include "atem/atem_commands.h"

constexpr uint16_t ATEM_PORT = 9910;

// Flag bits of header byte 0, and the connect codes in payload byte 0 of a hello / SYN answer.
constexpr uint8_t kAtemFlagAck = 0x80;
constexpr uint8_t kAtemFlagSyn = 0x10;
constexpr uint8_t kAtemFlagAckRequest = 0x08;
constexpr uint8_t kAtemConnectHello = 0x01;
constexpr uint8_t kAtemConnectAccepted = 0x02;
constexpr uint8_t kAtemConnectRefused = 0x03;
constexpr uint8_t kAtemConnectReopen = 0x04;
constexpr int kAtemBufferSize = 2048;
constexpr int kAtemSilenceTimeoutMs = 5000;

enum AtemState : int32_t { DISCONNECTED = 0, CONNECTING = 1, CONNECTED = 2 };

struct AtemConnection {
  int sock = -1;
  sockaddr_in addr{};
  AtemState state = DISCONNECTED;
  uint16_t sessionId = 0;
  bool announced = false;  // the session id in use has been logged (first packet of the session)
  int16_t programInput[ATEM_ME_COUNT] = {-1, -1, -1, -1};
  int16_t previewInput[ATEM_ME_COUNT] = {-1, -1, -1, -1};
  std::chrono::steady_clock::time_point lastReceive{};
  uint8_t rxBuffer[kAtemBufferSize];
  uint8_t txBuffer[kAtemBufferSize];

  AtemConnection() = default;
  ~AtemConnection();
  AtemConnection(const AtemConnection&) = delete;
  AtemConnection& operator=(const AtemConnection&) = delete;

  // Opens the socket for the dotted-quad address `ip` and sends the first hello. False, with an
  // "[ERR]" line and no socket left open, when the socket cannot be made or `ip` is not IPv4.
  bool connect(const std::string& ip);
  // Sends a hello with a fresh random value; the state becomes CONNECTING even if it fails.
  void sendHello();
  // Acknowledges `packetId` with the current session id.
  void sendAck(uint16_t packetId);
  // One poll: waits up to 50 ms for a datagram and handles at most one.
  void loop();
  // Handles the first `n` bytes of rxBuffer as a datagram just received (n < 12, including a
  // failed receive, is ignored). This is everything `loop` does after the receive.
  void handleDatagram(long n);
};
