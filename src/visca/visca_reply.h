// What a camera sends back for a VISCA command over UDP, bare or behind the 8-byte VISCA-over-IP
// header (payload type 01 11, then length and sequence number):
//   acknowledgement  9y 4z FF      the command was taken (z: socket)
//   completion       9y 5z FF      ... and carried out
//   error            9y 6z ee FF   ee: 02 syntax, 03 buffer full, 04 cancelled, 05 no socket,
//                                  41 not executable
// y is the camera's address plus 8.
#pragma once

#include <cstddef>
#include <cstdint>

enum class ViscaAnswer { NONE, ACK, COMPLETION, ERROR };

struct ViscaReply {
  ViscaAnswer kind = ViscaAnswer::NONE;
  uint8_t error = 0;  // ERROR: the code
};

// Reads the first message of one datagram. NONE for anything that is no answer.
ViscaReply parseViscaReply(const uint8_t* data, size_t size);

// The error code in words ("not executable"), or "unknown error" for a code not listed above.
const char* viscaErrorText(uint8_t code);
