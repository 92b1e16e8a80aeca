// Hex text and the byte forms of camera commands, and what a camera answers.
#include "visca/visca_bytes.h"

#include <gtest/gtest.h>

#include "test_support.h"
#include "visca/visca_reply.h"

using testing_support::hexBytes;

// The strict hex pairs every test reads its expected bytes from. (The big-endian helpers are
// checked byte for byte through the switcher's packets in atem_session_test and switcher_sim_test.)
TEST(Bytes, HexText) {
  EXPECT_EQ(bytesToHexString(Bytes{0x00, 0x0a, 0xff}), "00 0a ff");
  EXPECT_EQ(bytesToHexString(Bytes{}), "");
  Bytes all, back;
  for (int i = 0; i < 256; ++i) all.push_back(static_cast<uint8_t>(i));
  ASSERT_TRUE(hexPairsToBytes(bytesToHexString(all), back));
  EXPECT_EQ(back, all);
  ASSERT_TRUE(hexPairsToBytes("8101\tFF\r\n", back));
  EXPECT_EQ(back, (Bytes{0x81, 0x01, 0xff}));
  for (const char* bad : {"8", "81 0", "8 1", "0x81", "zz"}) {
    back = {7};
    EXPECT_FALSE(hexPairsToBytes(bad, back)) << bad;
    EXPECT_EQ(back, Bytes{7});
  }
}

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

// Scheme A turns every run 7E 01 0A 01 into 7E 01 0A 00, and nothing else; the prefix is the
// fixed 8 bytes 01 00 00 00 00 00 00 00.
TEST(ViscaBytes, SchemeAPrefixAndCommandSet) {
  EXPECT_EQ(schemeAFromB(hexBytes("7e 01 0a 01 7e 01 0a 01")), hexBytes("7e 01 0a 00 7e 01 0a 00"));
  for (const char* same : {"7e 01 0a", "7e 01 0a 02", ""})
    EXPECT_EQ(schemeAFromB(hexBytes(same)), hexBytes(same)) << same;
  const CommandForms f = commandForms(hexBytes("81 01 7e 01 0a 01 05 ff"));
  const std::string p = "01 00 00 00 00 00 00 00 ";
  EXPECT_EQ(f.plain, hexBytes("81 01 7e 01 0a 01 05 ff"));
  EXPECT_EQ(f.schemeA, hexBytes("81 01 7e 01 0a 00 05 ff"));
  EXPECT_EQ(f.prefixed, hexBytes(p + "81 01 7e 01 0a 01 05 ff"));
  EXPECT_EQ(f.schemeAPrefixed, hexBytes(p + "81 01 7e 01 0a 00 05 ff"));
}

TEST(ViscaReply, AnswersBareAndBehindTheHeader) {
  struct Case {
    const char* hex;
    ViscaAnswer kind;
    uint8_t error;
  } cases[] = {
      {"90 41 ff", ViscaAnswer::ACK, 0},
      {"90 52 ff", ViscaAnswer::COMPLETION, 0},
      {"90 61 41 ff", ViscaAnswer::ERROR, 0x41},
      {"a0 62 02 ff", ViscaAnswer::NONE, 0},                          // not from a camera
      {"01 11 00 03 00 00 00 07 90 41 ff", ViscaAnswer::ACK, 0},      // behind the header
      {"01 11 00 04 00 00 00 07 90 60 03 ff", ViscaAnswer::ERROR, 3},
      {"90 41 ff 90 51 ff", ViscaAnswer::ACK, 0},                     // the first message counts
      {"90 41", ViscaAnswer::NONE, 0},                                // no terminator
      {"ff", ViscaAnswer::NONE, 0},
      {"90 50 00 ff", ViscaAnswer::NONE, 0},                          // an inquiry's answer
  };
  for (const Case& c : cases) {
    Bytes b = hexBytes(c.hex);
    ViscaReply r = parseViscaReply(b.data(), b.size());
    EXPECT_EQ(r.kind, c.kind) << c.hex;
    EXPECT_EQ(r.error, c.error) << c.hex;
  }
  EXPECT_STREQ(viscaErrorText(0x99), "unknown error");  // 41 is read in core_test
}
