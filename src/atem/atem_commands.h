// The command blocks in the payload of a switcher packet. Each block is
//   bytes 0-1  length L, header included (big-endian)    bytes 2-3  unused
//   bytes 4-7  four-character name                        bytes 8..L-1  data
// and the next block starts L bytes later. "PrgI" and "PrvI" carry the ME in data byte 0 and the
// input id in data bytes 2-3; every other block is skipped.
#pragma once

#include <cstddef>
#include <cstdint>

constexpr int ATEM_ME_COUNT = 4;

// Walks the `size` payload bytes at `payload`, storing the input id of every well-formed "PrgI"
// or "PrvI" block for ME 0..3 into `programInput` / `previewInput` (ATEM_ME_COUNT entries each).
// Later blocks overwrite earlier ones; a block that is shorter than its header or runs past the
// end stops the walk. Reads only inside the payload; allocates nothing.
void walkCommands(const uint8_t* payload, size_t size, int16_t* programInput,
                  int16_t* previewInput);
