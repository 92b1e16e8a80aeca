#include "base/bytes.h"

#include <gtest/gtest.h>

TEST(Bytes, BigEndianAndHexText) {
  uint8_t two[2];
  putBe16(two, 0x8123);
  EXPECT_EQ(two[0], 0x81);
  EXPECT_EQ(getBe16(two), 0x8123);
  Bytes out;
  appendBe16(out, 0x00ff);
  EXPECT_EQ(out, (Bytes{0x00, 0xff}));

  EXPECT_EQ(bytesToHexString(Bytes{0x00, 0x0a, 0xff}), "00 0a ff");
  EXPECT_EQ(bytesToHexString(Bytes{}), "");
  Bytes all;
  for (int i = 0; i < 256; ++i) all.push_back(static_cast<uint8_t>(i));
  Bytes back;
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
