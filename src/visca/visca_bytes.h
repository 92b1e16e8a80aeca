// Byte forms of the camera commands. A tally command is configured as hex text ("scheme B"); its
// "scheme A" twin has every run 7E 01 0A 01 turned into 7E 01 0A 00. Either may travel behind
// the fixed 8-byte VISCA-IP prefix 01 00 00 00 00 00 00 00 (no length, no sequence number).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "base/bytes.h"

// A piece of command text that is neither hex pairs nor one hex digit (an optional 0x aside), so
// that bytes were dropped or guessed: "0g" is 00, "81-01" is 81, "1ff" is FF.
struct LossyPiece {
  std::string piece;
  uint8_t byte;
};

// A piece that cannot be read: the piece, and for a manual's placeholder what to put there.
struct HexProblem {
  std::string piece;
  std::string hint;  // "the camera address, 81 for camera 1"; empty for other pieces
};

// Splits `text` at white space and commas (empty pieces skipped). A piece of hex pairs is those
// bytes, as manuals print commands ("81017E010A0105FF", "8101", "0x81"); one hex digit is one
// byte. A placeholder as manuals print it, a hex digit beside a letter p to z ("8x", "0p"),
// cannot be sent. Any other piece is read like strtoul in base 16, keeping the low byte ("1ff"
// is FF, "-1" FF, "12zz" 12, "0x" 00), and added to `lossy` when it is given. False, with the
// piece in `problem`, for a placeholder, a piece without a hex digit where the digits must
// begin, or one beyond 64 bits.
bool hexStringToBytes(const std::string& text, Bytes& out, HexProblem* problem = nullptr,
                      std::vector<LossyPiece>* lossy = nullptr);

// VISCA over IP as Sony's cameras take it: every datagram behind an 8-byte header
//   bytes 0-1  payload type 01 00 (a VISCA command)
//   bytes 2-3  payload length, big-endian
//   bytes 4-7  sequence number, big-endian, one more for every datagram to that camera, from 0,
//              wrapping after 2^32 - 1
constexpr size_t kViscaIpHeader = 8;
// `command` behind the header with `sequence`, into `out` (its buffer reused).
void viscaIpFrame(const Bytes& command, uint32_t sequence, Bytes& out);

// The scheme-A variant of a scheme-B command.
Bytes schemeAFromB(const Bytes& command);

// The fixed VISCA-IP prefix.
Bytes viscaIpPrefix();

// Binds the prefix once; calling it puts the prefix in front of a command.
struct PrefixPrepender {
  Bytes prefix;
  Bytes operator()(const Bytes& command) const;
};
PrefixPrepender prependPrefix(const Bytes& prefix);

// The four forms of one command: as configured (scheme B), its scheme-A twin, and each behind
// the prefix.
struct CommandForms {
  Bytes plain, schemeA, prefixed, schemeAPrefixed;
};
CommandForms commandForms(const Bytes& command);

// The forms of a camera's three commands, by lamp state: [0] off, [1] preview, [2] program.
struct CommandSet {
  CommandForms forms[3];
};
