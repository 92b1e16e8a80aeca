// Byte forms of the camera commands. A tally command is configured as hex text ("scheme B"); its
// "scheme A" twin has every run 7E 01 0A 01 turned into 7E 01 0A 00. Either may travel behind
// the fixed 8-byte VISCA-IP prefix 01 00 00 00 00 00 00 00 (no length, no sequence number).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

struct Config;

using Bytes = std::vector<uint8_t>;

// Splits `text` at white space and commas (empty pieces skipped) and converts each piece like
// strtoul in base 16, keeping the low byte: "81a5" is A5, "1ff" FF, "-1" FF, "12zz" 12, "0x" 00.
// A piece without hex digits raises std::invalid_argument; one beyond 64 bits std::out_of_range.
Bytes hexStringToBytes(const std::string& text);

// "00 0a ff": two lower-case digits per byte, single spaces, nothing else.
std::string bytesToHexString(const Bytes& bytes);
std::string bytesToHexString(const uint8_t* data, size_t size);

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

// The twelve byte sequences sent to the camera, built once at start-up.
struct CommandSet {
  Bytes program, preview, off;              // as configured (scheme B)
  Bytes programA, previewA, offA;           // scheme A
  Bytes programP, previewP, offP;           // scheme B behind the prefix
  Bytes programAP, previewAP, offAP;        // scheme A behind the prefix
};

// Builds the set from the three texts of `config`, in the order program, preview, off. When a
// text does not convert, returns false and sets `error` to "Invalid hex in <key>: <text>".
bool buildCommandSet(const Config& config, const Bytes& prefix, CommandSet& out,
                     std::string& error);
