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
      {"81017E010A0105FF", "81 01 7e 01 0a 01 05 ff", ""},  // as manuals print it
      {"8101 7e01 0x0a01 05 f", "81 01 7e 01 0a 01 05 0f", ""},
      {"1ff 100 -1 12zz 0x +7", "ff 00 ff 12 00 07", "1ff=ff 100=00 -1=ff 12zz=12 0x=00 +7=07 "},
      {"0g 81-01", "00 81", "0g=00 81-01=81 "},
      {"fffffffffffffff", "ff", "fffffffffffffff=ff "},
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
  // Pieces that cannot be sent: a manual's placeholders say what belongs there.
  const std::pair<const char*, const char*> bad[] = {
      {"zz", "zz"},
      {"81 g0 ff", "g0"},
      {"-", "-"},
      {"x1", "x1: the camera address, 81 for camera 1"},
      {"81,,-x", "-x"},
      {"10000000000000000", "10000000000000000"},
      {"8x 01 7e 01 0a 00 0p ff", "8x: the camera address, 81 for camera 1"},
      {"81 01 7e 01 0a 00 0p ff", "0p: the parameter, see the camera's tally command"},
      {"81 01 04 47 p0", "p0: the parameter, see the camera's tally command"}};
  for (const auto& [text, want] : bad) {
    Bytes out = {0x42};
    HexProblem problem;
    EXPECT_FALSE(hexStringToBytes(text, out, &problem)) << text;
    EXPECT_EQ(out, Bytes{0x42}) << "left alone";
    EXPECT_EQ(problem.piece + (problem.hint.empty() ? "" : ": " + problem.hint), want);
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
