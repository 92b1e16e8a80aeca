// TSL UMD messages, as multiviewers and under-monitor displays read them: a tally lamp (or a
// coloured border) and a short label per display.
//
// TSL 3.1, 18 bytes per display:
//   byte 0      0x80 + address (address 0-126)
//   byte 1      control: bits 0-3 tallies 1-4, bits 4-5 brightness (0-3), bits 6-7 zero
//   bytes 2-17  16 bytes of text, printable ASCII (0x20-0x7E), padded with spaces
// Over UDP one message per datagram; over TCP the same messages back to back.
//
// TSL 5.0, one packet (all 16-bit numbers little-endian):
//   bytes 0-1   PBC: the number of bytes after these two
//   byte 2      version, 0
//   byte 3      flags: bit 0 text in UTF-16LE (never set here: the text is ASCII)
//   bytes 4-5   screen index
//   then per display:
//     bytes 0-1  display index
//     bytes 2-3  control: bits 0-1 right tally, bits 2-3 text tally, bits 4-5 left tally,
//                bits 6-7 brightness, bits 8-15 zero (bit 15 set would mean control data
//                instead of text); a tally is a colour: 0 off, 1 red, 2 green, 3 amber
//     bytes 4-5  text length L
//     then L bytes of text, printable ASCII
// A packet is at most 2048 bytes. Over TCP each packet is framed by DLE/STX: FE 02 in front,
// and every FE inside the packet doubled (FE FE); over UDP receivers disagree on the framing,
// so the sender decides.
//
// Text bytes outside the printable range (control bytes, the bytes of UTF-8 characters) become
// '?' byte for byte.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "base/bytes.h"

constexpr size_t kTsl31MessageSize = 18;
constexpr size_t kTsl31TextSize = 16;
constexpr uint8_t kTsl31MaxAddress = 126;

constexpr size_t kTsl5MaxPacket = 2048;
constexpr size_t kTsl5PacketHeader = 6;   // PBC, version, flags, screen
constexpr size_t kTsl5DisplayHeader = 6;  // index, control, text length
// The longest text that still fits one display into one packet; a longer one is cut.
constexpr size_t kTsl5MaxText = kTsl5MaxPacket - kTsl5PacketHeader - kTsl5DisplayHeader;

// TSL 5.0 tally colours.
constexpr uint8_t kTslOff = 0;
constexpr uint8_t kTslRed = 1;
constexpr uint8_t kTslGreen = 2;
constexpr uint8_t kTslAmber = 3;

// Values beyond their fields are cut to them (tallies to bits 0-3, brightness and colours to
// 0-3, the address to 126); the settings keep them in range.
struct Tsl31Display {
  uint8_t address = 0;     // 0-126
  uint8_t tallies = 0;     // bit 0: tally 1 ... bit 3: tally 4
  uint8_t brightness = 3;  // 0-3
  std::string text;        // cut at 16 bytes
};

struct Tsl5Display {
  uint16_t index = 0;
  uint8_t left = kTslOff;  // colours, kTsl*
  uint8_t textTally = kTslOff;
  uint8_t right = kTslOff;
  uint8_t brightness = 3;  // 0-3
  std::string text;        // cut at kTsl5MaxText bytes
};

// The 18 bytes of one display.
Bytes tsl31Message(const Tsl31Display& display);

// The control word of one display (bits 0-7; the rest zero).
uint16_t tsl5Control(const Tsl5Display& display);

// The packets for `displays` on `screen`, in their order: as many displays share a packet as fit
// into 2048 bytes, and the next display starts the next packet. No displays, no packets.
std::vector<Bytes> tsl5Packets(uint16_t screen, const std::vector<Tsl5Display>& displays);

// `packet` framed for TCP (or a UDP receiver that wants it): FE 02, then the packet with every
// FE doubled.
Bytes dleStx(const Bytes& packet);
