#include "app/tally.h"

#include <gtest/gtest.h>

#include <array>

#include "config/config.h"

static TallyState derive(int me, int watch, std::array<int16_t, 4> prg,
                         std::array<int16_t, 4> prv) {
  Config c;
  c.me_index = me;
  c.watch_input_id = watch;
  return deriveTally(c, prg.data(), prv.data());
}

TEST(Tally, Derivation) {
  const std::array<int16_t, 4> none = {-1, -1, -1, -1};
  EXPECT_EQ(derive(0, 1, none, none), OFF);
  EXPECT_EQ(derive(0, -1, none, none), PROGRAM);  // -1 matches an unreported bus
  EXPECT_EQ(derive(1, 3, {3, 4, 0, 0}, {0, 3, 0, 0}), PREVIEW);
  EXPECT_EQ(derive(1, 4, {3, 4, 0, 0}, {0, 4, 0, 0}), PROGRAM);  // on both buses
  EXPECT_EQ(derive(3, 7, {0, 0, 0, 7}, none), PROGRAM);
  for (int me : {-1, 4, 1000, -2147483647 - 1}) {
    EXPECT_EQ(derive(me, 5, {5, 5, 5, 5}, {5, 5, 5, 5}), OFF) << me;
    EXPECT_EQ(derive(me, -1, {5, 5, 5, 5}, {5, 5, 5, 5}), PROGRAM) << me;
  }
  // Input ids from 32768 up are held as negative numbers and never match a positive id.
  EXPECT_EQ(derive(0, 32768, {int16_t(-32768), 0, 0, 0}, none), OFF);
  EXPECT_EQ(derive(0, -32768, {int16_t(-32768), 0, 0, 0}, none), PROGRAM);

  EXPECT_EQ(tallyStateToString(OFF), "OFF");
  EXPECT_EQ(tallyStateToString(PREVIEW), "PREVIEW");
  EXPECT_EQ(tallyStateToString(PROGRAM), "PROGRAM");
  EXPECT_EQ(tallyStateToString(static_cast<TallyState>(3)), "UNKNOWN");
}

TEST(Tally, HoldOff) {
  const int64_t ms = 1'000'000;
  TallyGate g;
  tallyGateStart(g, PROGRAM, 1000 * ms);
  EXPECT_TRUE(tallyGateOpen(g, 1000 * ms));  // the first change may go at once
  EXPECT_FALSE(tallyGateTake(g, PROGRAM, 1001 * ms));

  // Sent OFF at 1010 ms: PROGRAM then PREVIEW inside the hold-off are not taken.
  EXPECT_TRUE(tallyGateTake(g, OFF, 1010 * ms));
  EXPECT_FALSE(tallyGateOpen(g, 1059 * ms));
  EXPECT_FALSE(tallyGateTake(g, PREVIEW, 1059 * ms));
  EXPECT_EQ(g.lastSent, OFF);
  // A change back to the last state sent before the deadline is never sent.
  EXPECT_FALSE(tallyGateTake(g, OFF, 1060 * ms));
  // A lasting change goes in the first reading at or after the deadline.
  EXPECT_TRUE(tallyGateTake(g, PREVIEW, 1060 * ms));
  EXPECT_EQ(g.deadline, 1110 * ms);
  EXPECT_FALSE(tallyGateTake(g, PROGRAM, 1110 * ms - 1));
  EXPECT_TRUE(tallyGateTake(g, PROGRAM, 1110 * ms));
}
