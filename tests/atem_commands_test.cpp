#include "atem/atem_commands.h"

#include <gtest/gtest.h>

#include <array>
#include <memory>
#include <set>

#include "test_support.h"

using namespace testing_support;

namespace {

struct Walked {
  std::array<int16_t, 4> prg, prv;
  unsigned changed;
  std::set<int> program, preview;  // sources the tally list lights
};

std::set<int> lit(const AtemTables& t, uint8_t flag) {
  std::set<int> s;
  for (int source = 0; source < 65536; ++source)
    if (tallyFlags(t, static_cast<uint16_t>(source)) & flag) s.insert(source);
  return s;
}

Walked read(const AtemTables& t, unsigned changed) {
  return {{t.programInput[0], t.programInput[1], t.programInput[2], t.programInput[3]},
          {t.previewInput[0], t.previewInput[1], t.previewInput[2], t.previewInput[3]},
          changed,
          lit(t, kTallyFlagProgram),
          lit(t, kTallyFlagPreview)};
}

// Walks an exact-size heap copy, so a read past the end is caught under AddressSanitizer.
Walked walk(const Bytes& payload, AtemTables& t) {
  std::unique_ptr<uint8_t[]> copy(new uint8_t[payload.size() + 1]);
  std::copy(payload.begin(), payload.end(), copy.get());
  unsigned changed = walkCommands(copy.get(), payload.size(), t);
  return read(t, changed);
}

Walked walk(const std::string& hex) {
  auto t = std::make_unique<AtemTables>();
  return walk(hexBytes(hex), *t);
}

const std::array<int16_t, 4> kNone = {-1, -1, -1, -1};
const char* kPrgMe1In3 = "00 0c 00 00 50 72 67 49 01 00 00 03";
const char* kPrvMe1In3 = "00 0c 00 00 50 72 76 49 01 00 00 03";

}  // namespace

TEST(CommandWalk, BusesAndWhatIsNotAWellFormedBlock) {
  EXPECT_EQ(walk(kPrgMe1In3).prg[1], 3);
  EXPECT_EQ(walk(kPrvMe1In3).prv[1], 3);
  Walked w = walk(std::string(kPrgMe1In3) + " " + kPrvMe1In3 +
                  " 00 0c 00 00 50 72 67 49 00 00 ff ff"    // id FFFF reads back -1
                  " 00 0c 00 00 50 72 67 49 02 00 80 00"    // id 8000 is negative
                  " 00 10 00 00 50 72 76 49 00 ab 00 07 11 22 33 44"  // PrvI as sent
                  " 00 0c 00 00 50 72 67 49 02 00 00 09");  // the later block wins
  EXPECT_EQ(w.prg, (std::array<int16_t, 4>{-1, 3, 9, -1}));
  EXPECT_EQ(w.prv, (std::array<int16_t, 4>{7, 3, -1, -1}));
  EXPECT_EQ(w.changed, unsigned(kWalkBuses));

  const char* skipped[] = {
      "00 0c 00 00 50 72 67 49 04 00 00 03",              // ME 4
      "00 0c 00 00 70 72 67 49 01 00 00 03",              // "prgI": names are case-sensitive
      "00 0b 00 00 50 72 67 49 01 00 00",                 // L = 11: too short to read
      "00 0c 00 00 50 72 67",                             // 7 bytes: not walked
      "00 14 00 00 50 72 67 49 01 00 00 03 00 00 00 00",  // L = 20 in 16 bytes
      "00 00 00 00 50 72 67 49 01 00 00 03",              // L = 0 ends the walk at once
      "00 07 00 00 50 72 67 49 01 00 00 03",              // L = 7 likewise
  };
  for (const char* hex : skipped) {
    Walked s = walk(hex);
    EXPECT_TRUE(s.prg == kNone && s.prv == kNone && s.changed == 0) << hex;
  }
  // After an 11-byte PrgI the walk goes on 11 bytes later; blocks before one that does not fit
  // stay applied; a tail of 1..7 bytes is ignored.
  EXPECT_EQ(walk("00 0b 00 00 50 72 67 49 01 00 00 " + std::string(kPrvMe1In3)).prv[1], 3);
  EXPECT_EQ(walk(std::string(kPrgMe1In3) + " 00 30 00 00 50 72 76 49 01 00 00 04").prg[1], 3);
  EXPECT_EQ(walk(std::string(kPrgMe1In3) + " 00 00 00 00 00 00 00").prg[1], 3);
}

TEST(CommandWalk, TallyListReplacesTheLastOneWholeAndStaysInItsBlock) {
  auto t = std::make_unique<AtemTables>();
  // "TlSr": count 3, then source and flags: 1 program, 5 preview, 1000 both.
  Walked w = walk(hexBytes("00 13 00 00 54 6c 53 72 00 03 00 01 01 00 05 02 03 e8 03"), *t);
  EXPECT_EQ(w.changed, unsigned(kWalkTallyList));
  EXPECT_TRUE(t->tallyListSeen);
  EXPECT_EQ(w.program, (std::set<int>{1, 1000}));
  EXPECT_EQ(w.preview, (std::set<int>{5, 1000}));
  // The next list names only source 5, on air, with stray high flag bits: 1 and 1000 go dark.
  w = walk(hexBytes("00 0d 00 00 54 6c 53 72 00 01 00 05 f1"), *t);
  EXPECT_EQ(w.program, std::set<int>{5});
  EXPECT_TRUE(w.preview.empty());
  // A count running past the block is cut to the entries there (here one and a stray byte), and
  // an InCm after it says the initial state is complete.
  w = walk(hexBytes("00 0f 00 00 54 6c 53 72 ff ff 00 02 02 00 07"
                    " 00 0c 00 00 49 6e 43 6d 01 00 00 00"),
           *t);
  EXPECT_EQ(w.changed, unsigned(kWalkTallyList | kWalkInitialDone));
  EXPECT_TRUE(w.program.empty());
  EXPECT_EQ(w.preview, std::set<int>{2});
  EXPECT_EQ(t->tallyCount, 1);
}

// Every recorded switcher's initial state: the buses and the sources its last tally list lights.
// Where the list lights more than the buses hold, those sources are on air through keys,
// SuperSource, another M/E or a transition.
TEST(CommandWalk, RecordedSwitchers) {
  struct Dump {
    const char* file;
    std::array<int16_t, 4> prg, prv;
    std::set<int> program, preview;
  } dumps[] = {
      {"1me-v8.1.data", {3, -1, -1, -1}, {3021, -1, -1, -1}, {3}, {3021}},
      {"1me4k-v8.2.data", {5, -1, -1, -1}, {3, -1, -1, -1}, {5}, {3}},
      {"2me-v8.1.2.data", {1, -1, -1, -1}, {1, -1, -1, -1}, {1}, {1}},
      {"2me-v8.1.data", {1, 12, -1, -1}, {9, 1, -1, -1}, {1, 13, 14, 15, 16}, {9}},
      {"4me4k-v7.5.2.data", {1, 1, 1, 1}, {1, 1, 1, 1}, {1}, {1}},
      {"constellation-2me-hd-v8.7.0.data", {6000, 2001, -1, -1}, {2, 1, -1, -1},
       {1, 11, 2001, 6000}, {2}},
      {"constellation-2me-hd-v9.6.2.data", {6, 4, -1, -1}, {5, 5, -1, -1}, {6}, {5}},
      {"constellation-v8.2.3.data", {1, 1, 1, 1}, {1, 1, 1, 1}, {1}, {1}},
      {"mini-extreme-iso-v9.5.data", {1, -1, -1, -1}, {1, -1, -1, -1}, {1}, {1}},
      {"mini-extreme-v8.6.data", {1, -1, -1, -1}, {1, -1, -1, -1}, {1}, {1}},
      {"mini-pro-iso-v8.4.data", {1, -1, -1, -1}, {1, -1, -1, -1}, {1}, {1}},
      {"mini-pro-v8.2.data", {1, -1, -1, -1}, {1, -1, -1, -1}, {1}, {1}},
      {"mini-v8.1.1.data", {1, -1, -1, -1}, {1, -1, -1, -1}, {1}, {1}},
      {"mini-v8.1.data", {1, -1, -1, -1}, {1, -1, -1, -1}, {1}, {1}},
      {"mini-v8.6.data", {2, -1, -1, -1}, {1, -1, -1, -1}, {2}, {1}},
      {"ps4k-v7.2.data", {7, -1, -1, -1}, {7, -1, -1, -1}, {7}, {7}},
      {"sdi-extreme-iso-v8.8.data", {1, -1, -1, -1}, {1, -1, -1, -1}, {1}, {1}},
      {"tvs-4k8-v9.3.data", {1, -1, -1, -1}, {1, -1, -1, -1}, {1}, {1}},
      {"tvshd-v8.0.0.data", {6, -1, -1, -1}, {0, -1, -1, -1}, {6, 7, 8, 5010}, {0}},
      {"tvshd-v8.1.0.data", {0, -1, -1, -1}, {0, -1, -1, -1}, {0}, {0}},
      {"tvshd-v8.2.0.data", {0, -1, -1, -1}, {0, -1, -1, -1}, {0}, {0}},
  };
  for (const Dump& d : dumps) {
    auto t = std::make_unique<AtemTables>();
    unsigned changed = 0;
    for (const Bytes& payload : readDump(d.file)) changed |= walk(payload, *t).changed;
    Walked w = read(*t, changed);
    EXPECT_EQ(w.prg, d.prg) << d.file;
    EXPECT_EQ(w.prv, d.prv) << d.file;
    EXPECT_EQ(w.program, d.program) << d.file;
    EXPECT_EQ(w.preview, d.preview) << d.file;
    EXPECT_EQ(changed, unsigned(kWalkBuses | kWalkTallyList | kWalkInitialDone | kWalkNames))
        << d.file;
    // Every source on a bus or in the tally list is named.
    for (int source : w.program) EXPECT_NE(sourceNames(*t, uint16_t(source)), nullptr) << d.file;
  }
  // The names of one switcher: up to the first NUL, whatever follows it; sorted by id.
  auto t = std::make_unique<AtemTables>();
  for (const Bytes& payload : readDump("2me-v8.1.data")) walk(payload, *t);
  const SourceNames* black = sourceNames(*t, 0);
  const SourceNames* two = sourceNames(*t, 2);
  ASSERT_TRUE(black && two);
  EXPECT_STREQ(black->longName, "Black");
  EXPECT_STREQ(black->shortName, "Blk");
  EXPECT_STREQ(two->longName, "Camera 2");
  EXPECT_STREQ(two->shortName, "Cam2");
  EXPECT_EQ(sourceNames(*t, 9999), nullptr);
  for (uint16_t i = 1; i < t->nameCount; ++i) EXPECT_LT(t->names[i - 1].id, t->names[i].id);
  // A block too short for its fields is skipped.
  const uint16_t before = t->nameCount;
  walk(hexBytes("00 1a 00 00 49 6e 50 72 00 63 41 41 41 41 41 41 41 41 41 41 41 41 41 41 41 41"),
       *t);
  EXPECT_EQ(t->nameCount, before);
}
