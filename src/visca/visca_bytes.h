// Byte forms of the camera commands. A tally command is configured as hex text ("scheme B"); its
// "scheme A" twin has every run 7E 01 0A 01 turned into 7E 01 0A 00. Either may travel behind
// the fixed 8-byte VISCA-IP prefix 01 00 00 00 00 00 00 00 (no length, no sequence number).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "base/bytes.h"

// A piece of command text that did not read as one or two hex digits (an optional 0x aside), so
// that bytes were dropped or guessed: "8101" is 01, "0g" is 00, "81-01" is 81.
struct LossyPiece {
  std::string piece;
  uint8_t byte;
};

// Splits `text` at white space and commas (empty pieces skipped) and reads each piece like
// strtoul in base 16, keeping the low byte: "81a5" is A5, "1ff" FF, "-1" FF, "12zz" 12, "0x" 00.
// False, with the offending piece in `bad`, for a piece without a hex digit where the digits
// must begin, or one beyond 64 bits. Lossy pieces are added to `lossy` when it is given.
bool hexStringToBytes(const std::string& text, Bytes& out, std::string* bad = nullptr,
                      std::vector<LossyPiece>* lossy = nullptr);

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
