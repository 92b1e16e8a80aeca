// The command blocks in the payload of a switcher packet, and the state the bridge keeps from
// them. Each block is
//   bytes 0-1  length L, header included (big-endian)    bytes 2-3  unused
//   bytes 4-7  four-character name                        bytes 8..L-1  data
// and the next block starts L bytes later. The blocks read here:
//   "PrgI", "PrvI"  data 0: M/E; data 2-3: input id on that M/E's program / preview bus
//   "TlSr"          the switcher's tally by source: data 0-1 count, then per source 16-bit
//                   source id and one flag byte (bit 0 program, bit 1 preview)
//   "InPr"          a source's names: data 0-1 source id, 2-21 long name, 22-25 short name, each
//                   ended by a NUL when shorter (the bytes after it are whatever the switcher
//                   had there)
//   "InCm"          the initial state after a session opening is complete
// Every other block is skipped.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "base/bytes.h"

constexpr int ATEM_ME_COUNT = 4;
constexpr size_t kAtemBlockHeader = 8;
// The most sources a tally list can name in one received datagram (at most 2048 bytes, 12 of
// them the packet header); a longer list is cut to this.
constexpr size_t kAtemTallyMax = (2048 - 12 - kAtemBlockHeader - 2) / 3;
// The most sources whose names are kept (a large switcher names about a hundred).
constexpr size_t kAtemNamesMax = 256;
constexpr uint8_t kTallyFlagProgram = 0x01;
constexpr uint8_t kTallyFlagPreview = 0x02;

// Calls each(name, data, dataSize) for every block of the `size` payload bytes, in order. A block
// shorter than its header or running past the end stops the walk; so does a tail of fewer than 8
// bytes. Reads only inside the payload; allocates nothing. `name` points at the four name bytes.
template <typename Each>
void forEachBlock(const uint8_t* payload, size_t size, Each&& each) {
  size_t offset = 0;
  while (offset + kAtemBlockHeader <= size) {
    size_t length = getBe16(payload + offset);
    if (length < kAtemBlockHeader || offset + length > size) return;
    each(payload + offset + 4, payload + offset + kAtemBlockHeader, length - kAtemBlockHeader);
    offset += length;
  }
}

inline bool blockIs(const uint8_t* name, const char* four) {
  return std::memcmp(name, four, 4) == 0;
}

// One source's names, as the switcher's input properties give them.
struct SourceNames {
  uint16_t id = 0;
  char longName[21] = {};
  char shortName[5] = {};
};

// What the switcher has said so far. The tables keep their values across sessions.
struct AtemTables {
  uint16_t nameCount = 0;  // sources named, by id in `names`
  SourceNames names[kAtemNamesMax];
  int16_t programInput[ATEM_ME_COUNT] = {-1, -1, -1, -1};  // -1: not reported
  int16_t previewInput[ATEM_ME_COUNT] = {-1, -1, -1, -1};
  bool tallyListSeen = false;  // a "TlSr" has arrived: the switcher's tally can be followed
  uint16_t tallyCount = 0;     // sources in the latest list
  uint16_t tallySources[kAtemTallyMax] = {};
  uint8_t tallyBySource[65536] = {};  // flags of the latest list; 0 for a source not in it
};

// What a walk changed.
enum : unsigned {
  kWalkBuses = 1,         // a PrgI or PrvI block was applied
  kWalkTallyList = 2,     // a new tally list replaced the old one
  kWalkInitialDone = 4,   // an InCm block: the initial state is complete
  kWalkNames = 8,         // an InPr block named a source
};

// Applies the blocks of one payload to `tables`, in order: a later block for the same bus wins,
// and each tally list replaces the previous one whole (a count running past its block is cut to
// the entries there). PrgI/PrvI need 4 data bytes and an M/E below 4. Returns kWalk* bits.
unsigned walkCommands(const uint8_t* payload, size_t size, AtemTables& tables);

// The names the switcher gave `source`, or nullptr when it has named none.
const SourceNames* sourceNames(const AtemTables& t, uint16_t source);

// The flags of `source` in the latest tally list (0 when it is not in it).
inline uint8_t tallyFlags(const AtemTables& t, uint16_t source) { return t.tallyBySource[source]; }
