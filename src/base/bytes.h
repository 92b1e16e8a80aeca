// Byte sequences and the integer helpers of the wire formats here: big-endian for the switcher's
// packets and command blocks and the VISCA-over-IP header, little-endian for TSL 5.0.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

using Bytes = std::vector<uint8_t>;

inline uint16_t getBe16(const uint8_t* p) { return static_cast<uint16_t>(p[0] << 8 | p[1]); }

inline void putBe16(uint8_t* p, uint16_t v) {
  p[0] = static_cast<uint8_t>(v >> 8);
  p[1] = static_cast<uint8_t>(v);
}

inline uint32_t getBe32(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) << 24 | static_cast<uint32_t>(p[1]) << 16 |
         static_cast<uint32_t>(p[2]) << 8 | p[3];
}

inline void putBe32(uint8_t* p, uint32_t v) {
  putBe16(p, static_cast<uint16_t>(v >> 16));
  putBe16(p + 2, static_cast<uint16_t>(v));
}

inline void appendBe16(Bytes& out, uint16_t v) {
  out.push_back(static_cast<uint8_t>(v >> 8));
  out.push_back(static_cast<uint8_t>(v));
}

inline uint16_t getLe16(const uint8_t* p) { return static_cast<uint16_t>(p[1] << 8 | p[0]); }

inline void putLe16(uint8_t* p, uint16_t v) {
  p[0] = static_cast<uint8_t>(v);
  p[1] = static_cast<uint8_t>(v >> 8);
}

inline void appendLe16(Bytes& out, uint16_t v) {
  out.push_back(static_cast<uint8_t>(v));
  out.push_back(static_cast<uint8_t>(v >> 8));
}

// "00 0a ff": two lower-case digits per byte, single spaces, nothing else.
std::string bytesToHexString(const uint8_t* data, size_t size);
std::string bytesToHexString(const Bytes& bytes);

// Reads pairs of hex digits, with any white space between bytes ("81 01 ff" or "8101ff"). False
// (and `out` unchanged) on any other character or an odd number of digits.
bool hexPairsToBytes(const std::string& text, Bytes& out);
