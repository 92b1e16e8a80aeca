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

// Copies a name field of `size` bytes up to its first NUL.
static void copyName(char* out, const uint8_t* field, size_t size) {
  size_t n = 0;
  while (n < size && field[n] != 0) ++n;
  std::memcpy(out, field, n);
  out[n] = '\0';
}

// Keeps the names of one InPr block, in the list sorted by source id.
static void nameSource(AtemTables& t, const uint8_t* data, size_t size) {
  if (size < 26) return;  // too short for its fields: skipped, as other blocks are
  const uint16_t id = getBe16(data);
  size_t at = 0;
  while (at < t.nameCount && t.names[at].id < id) ++at;
  if (at == t.nameCount || t.names[at].id != id) {
    if (t.nameCount == kAtemNamesMax) return;
    std::memmove(&t.names[at + 1], &t.names[at], (t.nameCount - at) * sizeof t.names[0]);
    ++t.nameCount;
  }
  t.names[at].id = id;
  copyName(t.names[at].longName, data + 2, 20);
  copyName(t.names[at].shortName, data + 22, 4);
}

const SourceNames* sourceNames(const AtemTables& t, uint16_t source) {
  for (uint16_t i = 0; i < t.nameCount; ++i)
    if (t.names[i].id == source) return &t.names[i];
  return nullptr;
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
    } else if (blockIs(name, "InPr")) {
      nameSource(t, data, dataSize);
      changed |= kWalkNames;
    }
  });
  return changed;
}
