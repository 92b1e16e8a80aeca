#include "visca/visca_bytes.h"

#include <gtest/gtest.h>

#include "test_support.h"

using testing_support::hexBytes;

TEST(ViscaBytes, HexTextToBytes) {
  struct Case {
    const char* text;
    const char* bytes;
    const char* lossy;  // the pieces read lossily, and what each became
  } cases[] = {
      {"81 01 7e 01 0a 01 05 ff", "81 01 7e 01 0a 01 05 ff", ""},
      {"81,01,7E,01,0A,01,05,FF", "81 01 7e 01 0a 01 05 ff", ""},
      {"81, 01 ,7e", "81 01 7e", ""},
      {"0x81 0X01", "81 01", ""},
      {"  81\t01\n", "81 01", ""},
      {",,81,,01,", "81 01", ""},
      {" , \t,", "", ""},
      {"", "", ""},
      {"81a5", "a5", "81a5=a5 "},
      {"1ff 100 -1 12zz 0x +7", "ff 00 ff 12 00 07", "1ff=ff 100=00 -1=ff 12zz=12 0x=00 +7=07 "},
      {"0g 8101 81-01", "00 01 81", "0g=00 8101=01 81-01=81 "},
      {"ffffffffffffffff", "ff", "ffffffffffffffff=ff "},
  };
  for (const Case& c : cases) {
    Bytes out;
    std::vector<LossyPiece> lossy;
    ASSERT_TRUE(hexStringToBytes(c.text, out, nullptr, &lossy)) << c.text;
    EXPECT_EQ(out, hexBytes(c.bytes)) << c.text;
    std::string pieces;
    for (const LossyPiece& p : lossy) pieces += p.piece + "=" + bytesToHexString(&p.byte, 1) + " ";
    EXPECT_EQ(pieces, c.lossy) << c.text;
  }
  for (const char* bad : {"zz", "81 g0 ff", "-", "x1", "81,,-x", "10000000000000000"}) {
    Bytes out = {0x42};
    std::string piece;
    EXPECT_FALSE(hexStringToBytes(bad, out, &piece)) << bad;
    EXPECT_EQ(out, Bytes{0x42}) << "left alone";
    EXPECT_NE(std::string(bad).find(piece), std::string::npos) << bad;
  }
}

TEST(ViscaBytes, SchemeAPrefixAndCommandSet) {
  EXPECT_EQ(schemeAFromB(hexBytes("81 01 7e 01 0a 01 05 ff")), hexBytes("81 01 7e 01 0a 00 05 ff"));
  EXPECT_EQ(schemeAFromB(hexBytes("7e 01 0a 01 7e 01 0a 01")), hexBytes("7e 01 0a 00 7e 01 0a 00"));
  for (const char* same : {"7e 01 0a", "7e 01 0a 02", ""})
    EXPECT_EQ(schemeAFromB(hexBytes(same)), hexBytes(same)) << same;
  const Bytes prefix = viscaIpPrefix();
  EXPECT_EQ(prefix, hexBytes("01 00 00 00 00 00 00 00"));
  EXPECT_EQ(prependPrefix(prefix)({}), prefix);

  const CommandForms f = commandForms(hexBytes("81 01 7e 01 0a 01 05 ff"));
  const std::string p = "01 00 00 00 00 00 00 00 ";
  EXPECT_EQ(f.plain, hexBytes("81 01 7e 01 0a 01 05 ff"));
  EXPECT_EQ(f.schemeA, hexBytes("81 01 7e 01 0a 00 05 ff"));
  EXPECT_EQ(f.prefixed, hexBytes(p + "81 01 7e 01 0a 01 05 ff"));
  EXPECT_EQ(f.schemeAPrefixed, hexBytes(p + "81 01 7e 01 0a 00 05 ff"));
}
