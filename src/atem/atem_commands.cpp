#include "atem/atem_commands.h"

#include <cstring>

static uint16_t be16(const uint8_t* p) { return static_cast<uint16_t>(p[0] << 8 | p[1]); }

void walkCommands(const uint8_t* payload, size_t size, int16_t* programInput,
                  int16_t* previewInput) {
  if (size < 8) return;
  size_t offset = 0;
  for (;;) {
    const uint8_t* block = payload + offset;
    size_t length = be16(block);
    if (length < 8 || offset + length > size) return;

    int16_t* table = nullptr;
    if (std::memcmp(block + 4, "PrgI", 4) == 0) table = programInput;
    if (std::memcmp(block + 4, "PrvI", 4) == 0) table = previewInput;
    if (table != nullptr && length >= 12 && block[8] < ATEM_ME_COUNT)
      table[block[8]] = static_cast<int16_t>(be16(block + 10));

    offset += length;
    if (offset + 8 > size) return;
  }
}
