#include "visca/visca_reply.h"

ViscaReply parseViscaReply(const uint8_t* d, size_t n) {
  ViscaReply r;
  if (n >= 8 && d[0] == 0x01 && d[1] == 0x11) {  // VISCA-over-IP reply header
    d += 8;
    n -= 8;
  }
  size_t length = 0;  // of the first message, its FF terminator included
  while (length < n && d[length] != 0xFF) ++length;
  if (length == n || (d[0] & 0xF0) != 0x90) return r;
  ++length;
  const uint8_t type = d[1] & 0xF0;
  if (length == 3 && type == 0x40) r.kind = ViscaAnswer::ACK;
  if (length == 3 && type == 0x50) r.kind = ViscaAnswer::COMPLETION;
  if (length == 4 && type == 0x60) {
    r.kind = ViscaAnswer::ERROR;
    r.error = d[2];
  }
  return r;
}

const char* viscaErrorText(uint8_t code) {
  switch (code) {
    case 0x01: return "message length error";
    case 0x02: return "syntax error";
    case 0x03: return "command buffer full";
    case 0x04: return "command cancelled";
    case 0x05: return "no socket";
    case 0x41: return "not executable";
  }
  return "unknown error";
}
