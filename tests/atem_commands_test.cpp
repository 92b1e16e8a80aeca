#include "atem/atem_commands.h"

#include <gtest/gtest.h>

#include <array>

#include "test_support.h"

using testing_support::Bytes;
using testing_support::hexBytes;

struct Tables {
  std::array<int16_t, 4> prg = {-1, -1, -1, -1};
  std::array<int16_t, 4> prv = {-1, -1, -1, -1};
};

static Tables walk(const Bytes& payload) {
  Tables t;
  // An exact-size heap copy, so a read past the end is caught under AddressSanitizer.
  std::unique_ptr<uint8_t[]> copy(new uint8_t[payload.size() + 1]);
  std::copy(payload.begin(), payload.end(), copy.get());
  walkCommands(copy.get(), payload.size(), t.prg.data(), t.prv.data());
  return t;
}

// "PrgI" 00 0C 00 00 'P''r''g''I' ME 00 ID_hi ID_lo
static const char* kPrgMe1In3 = "00 0c 00 00 50 72 67 49 01 00 00 03";
static const char* kPrvMe1In3 = "00 0c 00 00 50 72 76 49 01 00 00 03";

TEST(CommandWalk, StoresProgramAndPreview) {
  EXPECT_EQ(walk(hexBytes(kPrgMe1In3)).prg[1], 3);
  EXPECT_EQ(walk(hexBytes(kPrvMe1In3)).prv[1], 3);
  Tables t = walk(hexBytes(std::string(kPrgMe1In3) + " " + kPrvMe1In3 +
                           " 00 0c 00 00 50 72 67 49 00 00 ff ff"    // id FFFF reads back -1
                           " 00 0c 00 00 50 72 67 49 02 00 80 00"    // id 8000 is negative
                           " 00 10 00 00 50 72 76 49 00 ab 00 07 11 22 33 44"));  // PrvI as sent
  EXPECT_EQ(t.prg, (std::array<int16_t, 4>{-1, 3, -32768, -1}));
  EXPECT_EQ(t.prv, (std::array<int16_t, 4>{7, 3, -1, -1}));
  // The later of two blocks for the same ME wins.
  EXPECT_EQ(walk(hexBytes("00 0c 00 00 50 72 67 49 00 00 00 05 00 0c 00 00 50 72 67 49 00 00 00 "
                          "09")).prg[0],
            9);
}

TEST(CommandWalk, SkipsWhatIsNotAWellFormedBlock) {
  const Tables untouched;
  const char* skipped[] = {
      "00 0c 00 00 50 72 67 49 04 00 00 03",              // ME 4
      "00 0c 00 00 70 72 67 49 01 00 00 03",              // "prgI": names are case-sensitive
      "00 0c 00 00 50 72 67 4a 01 00 00 03",              // "PrgJ"
      "00 0b 00 00 50 72 67 49 01 00 00",                 // L = 11: too short to read
      "00 0c 00 00 50 72 67",                             // 7 bytes: not walked
      "00 14 00 00 50 72 67 49 01 00 00 03 00 00 00 00",  // L = 20 in 16 bytes
      "00 00 00 00 50 72 67 49 01 00 00 03",              // L = 0 ends the walk at once
      "00 07 00 00 50 72 67 49 01 00 00 03",              // L = 7 likewise
  };
  for (const char* hex : skipped) {
    Tables t = walk(hexBytes(hex));
    EXPECT_EQ(t.prg, untouched.prg) << hex;
    EXPECT_EQ(t.prv, untouched.prv) << hex;
  }
  // After an 11-byte PrgI the walk goes on 11 bytes later.
  EXPECT_EQ(walk(hexBytes("00 0b 00 00 50 72 67 49 01 00 00 " + std::string(kPrvMe1In3))).prv[1], 3);
  // Blocks before one that does not fit stay applied; a tail of 1..7 bytes is ignored.
  EXPECT_EQ(walk(hexBytes(std::string(kPrgMe1In3) + " 00 30 00 00 50 72 76 49 01 00 00 04")).prg[1],
            3);
  for (int tail = 1; tail <= 7; ++tail) {
    Bytes b = hexBytes(kPrgMe1In3);
    b.insert(b.end(), tail, 0x00);
    EXPECT_EQ(walk(b).prg[1], 3);
  }
}
