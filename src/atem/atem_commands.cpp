#include "atem/atem_commands.h"
#include "base/hot.h"

QUORVEL_HOT static void replaceTallyList(AtemTables& t, const uint8_t* data, size_t size) {
  for (uint16_t i = 0; i < t.tallyCount; ++i) t.tallyBySource[t.tallySources[i]] = 0;
  size_t count = size < 2 ? 0 : getBe16(data);
  size_t room = size < 2 ? 0 : (size - 2) / 3;
  if (count > room) count = room;
  if (count > kAtemTallyMax) count = kAtemTallyMax;
  const uint8_t* entry = data + 2;
  for (size_t i = 0; i < count; ++i, entry += 3) {
    uint16_t source = getBe16(entry);
    t.tallySources[i] = source;
    t.tallyBySource[source] = entry[2] & (kTallyFlagProgram | kTallyFlagPreview);
  }
  t.tallyCount = static_cast<uint16_t>(count);
  t.tallyListSeen = true;
}

QUORVEL_HOT unsigned walkCommands(const uint8_t* payload, size_t size, AtemTables& t) {
  unsigned changed = 0;
  forEachBlock(payload, size, [&](const uint8_t* name, const uint8_t* data, size_t dataSize) {
    int16_t* table = nullptr;
    if (blockIs(name, "PrgI")) table = t.programInput;
    if (blockIs(name, "PrvI")) table = t.previewInput;
    if (table != nullptr) {
      if (dataSize >= 4 && data[0] < ATEM_ME_COUNT) {
        table[data[0]] = static_cast<int16_t>(getBe16(data + 2));
        changed |= kWalkBuses;
      }
    } else if (blockIs(name, "TlSr")) {
      replaceTallyList(t, data, dataSize);
      changed |= kWalkTallyList;
    } else if (blockIs(name, "InCm")) {
      changed |= kWalkInitialDone;
    }
  });
  return changed;
}
