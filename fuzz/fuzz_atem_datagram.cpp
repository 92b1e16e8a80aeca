// Feeds one switcher datagram to AtemConnection::handleDatagram, the whole post-receive step of
// `loop`, in the state named by the first input byte (0 DISCONNECTED, 1 CONNECTING,
// 2 CONNECTED, taken modulo 3). The rest of the input is the datagram, cut to the receive buffer
// as recvfrom would cut it.
//
// After every input the record is compared with what an independent walk of the datagram says:
// the tables may only hold input ids of well-formed PrgI/PrvI blocks, the state and session id
// may only move as the session rules allow. The receive buffer behind the datagram is filled
// with well-formed PrgI/PrvI blocks, so a walk that strays past the datagram shows up as a table
// mismatch even though it stays inside the record. The payload is also walked directly from an
// exact-size heap copy, where AddressSanitizer catches any read past its end.
#include <arpa/inet.h>
#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <sanitizer/common_interface_defs.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "atem/atem_commands.h"
#include "atem/atem_connection.h"

namespace {

constexpr uint16_t kStartSession = 0x1234;

struct Tables {
  int16_t program[ATEM_ME_COUNT];
  int16_t preview[ATEM_ME_COUNT];
};

// Values no block of a short input is likely to write, so "unchanged" is a real check.
Tables sentinelTables() { return Tables{{111, 222, 333, 444}, {-555, -666, -777, -888}}; }

bool sameTables(const Tables& t, const int16_t* program, const int16_t* preview) {
  for (int me = 0; me < ATEM_ME_COUNT; ++me)
    if (t.program[me] != program[me] || t.preview[me] != preview[me]) return false;
  return true;
}

// The reference walk: block by block with bounds-checked reads.
void referenceWalk(const std::vector<uint8_t>& payload, Tables& t) {
  size_t offset = 0;
  while (offset + 8 <= payload.size()) {
    size_t length = static_cast<size_t>(payload.at(offset)) << 8 | payload.at(offset + 1);
    if (length < 8 || offset + length > payload.size()) break;
    const char* name = reinterpret_cast<const char*>(&payload.at(offset + 4));
    bool program = name[0] == 'P' && name[1] == 'r' && name[2] == 'g' && name[3] == 'I';
    bool preview = name[0] == 'P' && name[1] == 'r' && name[2] == 'v' && name[3] == 'I';
    if ((program || preview) && length >= 12 && payload.at(offset + 8) < ATEM_ME_COUNT) {
      uint16_t id = static_cast<uint16_t>(payload.at(offset + 10) << 8 | payload.at(offset + 11));
      int16_t* table = program ? t.program : t.preview;
      table[payload.at(offset + 8)] = static_cast<int16_t>(id);
    }
    offset += length;
  }
}

// Written through the sanitizer runtime, whose report stream stays open under -close_fd_mask.
[[noreturn]] void fail(const char* what) {
  std::string line = std::string("atem_datagram: ") + what;
  __sanitizer_report_error_summary(line.c_str());
  std::abort();
}

// Acknowledgements and hellos go to a loopback port that nobody listens on.
void giveSocket(AtemConnection& c) {
  int probe = ::socket(AF_INET, SOCK_DGRAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof a;
  if (probe < 0 || ::bind(probe, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 ||
      ::getsockname(probe, reinterpret_cast<sockaddr*>(&a), &len) != 0)
    fail("cannot find a free loopback port");
  ::close(probe);  // the port is free again and stays unused
  c.sock = ::socket(AF_INET, SOCK_DGRAM, 0);
  if (c.sock < 0) fail("cannot open the acknowledgement socket");
  ::fcntl(c.sock, F_SETFL, ::fcntl(c.sock, F_GETFL, 0) | O_NONBLOCK);
  c.addr = a;
}

// Fills `buffer` with back-to-back PrgI/PrvI blocks for every ME (input id 0x7777).
void fillWithBlocks(uint8_t* buffer, size_t size) {
  static const uint8_t kBlocks[24] = {0, 12, 0, 0, 'P', 'r', 'g', 'I', 0, 0, 0x77, 0x77,
                                      0, 12, 0, 0, 'P', 'r', 'v', 'I', 0, 0, 0x77, 0x77};
  for (size_t i = 0; i < size; ++i) {
    buffer[i] = kBlocks[i % sizeof kBlocks];
    if (i % 12 == 8) buffer[i] = static_cast<uint8_t>((i / 24) % ATEM_ME_COUNT);
  }
}

void checkHandled(const AtemConnection& c, AtemState before, long n, const Tables& start) {
  const uint8_t* rx = c.rxBuffer;
  const bool unchangedTables = sameTables(start, c.programInput, c.previewInput);
  if (n < 12) {
    if (c.state != before || c.sessionId != kStartSession || !unchangedTables)
      fail("a datagram shorter than 12 bytes changed the record");
    if (c.lastReceive != std::chrono::steady_clock::time_point{})
      fail("a datagram shorter than 12 bytes counted as a sign of life");
    return;
  }
  if (c.lastReceive == std::chrono::steady_clock::time_point{})
    fail("a datagram of 12 bytes or more did not count as a sign of life");
  const uint16_t session = static_cast<uint16_t>(rx[2] << 8 | rx[3]);
  switch (before) {
    case DISCONNECTED:
      if (c.state != DISCONNECTED || c.sessionId != kStartSession || !unchangedTables)
        fail("a datagram changed a disconnected record");
      return;
    case CONNECTING: {
      if (!unchangedTables) fail("the tables changed before the session was open");
      const bool syn = (rx[0] & 0x10) != 0 && n >= 13;
      AtemState want = CONNECTING;
      uint16_t wantSession = kStartSession;
      if (syn && rx[12] == 0x02) want = CONNECTED, wantSession = session;
      if (syn && rx[12] == 0x03) want = DISCONNECTED;
      if (c.state != want) fail("wrong state after a datagram while connecting");
      if (c.sessionId != wantSession) fail("wrong session id after a datagram while connecting");
      return;
    }
    case CONNECTED: {
      if (c.state != CONNECTED) fail("an open session left CONNECTED on a datagram");
      uint16_t wantSession = (session & 0x8000) ? session : kStartSession;
      if (c.sessionId != wantSession) fail("wrong session id after a datagram");
      Tables want = start;
      referenceWalk(std::vector<uint8_t>(rx + 12, rx + n), want);
      if (!sameTables(want, c.programInput, c.previewInput))
        fail("tables differ from the reference walk of the datagram");
      return;
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  static AtemConnection conn;
  if (conn.sock < 0) giveSocket(conn);

  const AtemState before = static_cast<AtemState>(data[0] % 3);
  const uint8_t* datagram = data + 1;
  const size_t received = size - 1 < sizeof conn.rxBuffer ? size - 1 : sizeof conn.rxBuffer;

  const Tables start = sentinelTables();
  conn.state = before;
  conn.sessionId = kStartSession;
  conn.lastReceive = std::chrono::steady_clock::time_point{};
  std::memcpy(conn.programInput, start.program, sizeof start.program);
  std::memcpy(conn.previewInput, start.preview, sizeof start.preview);
  fillWithBlocks(conn.rxBuffer, sizeof conn.rxBuffer);
  std::memcpy(conn.rxBuffer, datagram, received);

  const long n = static_cast<long>(received);
  conn.handleDatagram(n);
  checkHandled(conn, before, n, start);

  // The whole payload, uncut, at the very end of its own heap block.
  if (size > 13) {
    const size_t m = size - 13;
    std::unique_ptr<uint8_t[]> exact(new uint8_t[m]);
    std::memcpy(exact.get(), datagram + 12, m);
    Tables direct = start;
    walkCommands(exact.get(), m, direct.program, direct.preview);
    Tables want = start;
    referenceWalk(std::vector<uint8_t>(datagram + 12, datagram + 12 + m), want);
    if (!sameTables(want, direct.program, direct.preview))
      fail("walkCommands differs from the reference walk");
  }
  return 0;
}
