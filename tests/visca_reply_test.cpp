#include "visca/visca_reply.h"

#include <gtest/gtest.h>

#include "test_support.h"

using testing_support::hexBytes;

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
  EXPECT_STREQ(viscaErrorText(0x41), "not executable");
  EXPECT_STREQ(viscaErrorText(0x02), "syntax error");
  EXPECT_STREQ(viscaErrorText(0x99), "unknown error");
}
