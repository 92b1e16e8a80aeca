#include "visca/visca_bytes.h"

#include <gtest/gtest.h>

#include <stdexcept>

#include "config/config.h"
#include "test_support.h"

using testing_support::hexBytes;

TEST(ViscaBytes, HexTextToBytes) {
  struct Case {
    const char* text;
    const char* bytes;
  } cases[] = {
      {"81 01 7e 01 0a 01 05 ff", "81 01 7e 01 0a 01 05 ff"},
      {"81,01,7E,01,0A,01,05,FF", "81 01 7e 01 0a 01 05 ff"},
      {"81, 01 ,7e", "81 01 7e"},
      {"0x81 0X01", "81 01"},
      {"  81\t01\n", "81 01"},
      {",,81,,01,", "81 01"},
      {" , \t,", ""},
      {"", ""},
      {"81a5", "a5"},
      {"1ff 100 -1 12zz 0x +7", "ff 00 ff 12 00 07"},
      {"ffffffffffffffff", "ff"},
  };
  for (const Case& c : cases) EXPECT_EQ(hexStringToBytes(c.text), hexBytes(c.bytes)) << c.text;
  for (const char* bad : {"zz", "81 g0 ff", "-", "x1", "81,,-x"})
    EXPECT_THROW(hexStringToBytes(bad), std::invalid_argument) << bad;
  EXPECT_THROW(hexStringToBytes("10000000000000000"), std::out_of_range);
}

TEST(ViscaBytes, HexTextFromBytesAndBack) {
  EXPECT_EQ(bytesToHexString(hexBytes("00 0a ff")), "00 0a ff");
  EXPECT_EQ(bytesToHexString(Bytes{7}), "07");
  EXPECT_EQ(bytesToHexString(Bytes{}), "");
  const uint8_t raw[] = {0xde, 0xad};
  EXPECT_EQ(bytesToHexString(raw, 2), "de ad");
  Bytes all;
  for (int i = 0; i < 256; ++i) all.push_back(static_cast<uint8_t>(i));
  EXPECT_EQ(hexStringToBytes(bytesToHexString(all)), all);
}

TEST(ViscaBytes, SchemeAAndPrefix) {
  EXPECT_EQ(schemeAFromB(hexBytes("81 01 7e 01 0a 01 05 ff")), hexBytes("81 01 7e 01 0a 00 05 ff"));
  EXPECT_EQ(schemeAFromB(hexBytes("7e 01 0a 01 7e 01 0a 01")), hexBytes("7e 01 0a 00 7e 01 0a 00"));
  for (const char* same : {"7e 01 0a", "7e 01 0a 02", ""})
    EXPECT_EQ(schemeAFromB(hexBytes(same)), hexBytes(same)) << same;

  const Bytes prefix = viscaIpPrefix();
  EXPECT_EQ(prefix, hexBytes("01 00 00 00 00 00 00 00"));
  EXPECT_EQ(prependPrefix(prefix)({}), prefix);

  Config config;
  CommandSet s;
  std::string error;
  ASSERT_TRUE(buildCommandSet(config, prefix, s, error));
  EXPECT_EQ(s.program, hexBytes("81 01 7e 01 0a 01 05 ff"));
  EXPECT_EQ(s.preview, hexBytes("81 01 7e 01 0a 01 04 ff"));
  EXPECT_EQ(s.off, hexBytes("81 01 7e 01 0a 01 00 ff"));
  EXPECT_EQ(s.programA, hexBytes("81 01 7e 01 0a 00 05 ff"));
  EXPECT_EQ(s.previewA, hexBytes("81 01 7e 01 0a 00 04 ff"));
  EXPECT_EQ(s.offA, hexBytes("81 01 7e 01 0a 00 00 ff"));
  EXPECT_EQ(s.programP, hexBytes("01 00 00 00 00 00 00 00 81 01 7e 01 0a 01 05 ff"));
  EXPECT_EQ(s.previewP, hexBytes("01 00 00 00 00 00 00 00 81 01 7e 01 0a 01 04 ff"));
  EXPECT_EQ(s.offP, hexBytes("01 00 00 00 00 00 00 00 81 01 7e 01 0a 01 00 ff"));
  EXPECT_EQ(s.programAP, hexBytes("01 00 00 00 00 00 00 00 81 01 7e 01 0a 00 05 ff"));
  EXPECT_EQ(s.previewAP, hexBytes("01 00 00 00 00 00 00 00 81 01 7e 01 0a 00 04 ff"));
  EXPECT_EQ(s.offAP, hexBytes("01 00 00 00 00 00 00 00 81 01 7e 01 0a 00 00 ff"));

  config.visca_preview = "81 zz ff";
  EXPECT_FALSE(buildCommandSet(config, prefix, s, error));
  EXPECT_EQ(error, "Invalid hex in visca_preview: 81 zz ff");
}
