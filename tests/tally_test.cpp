#include "tally/tally.h"

#include <gtest/gtest.h>

#include <array>
#include <memory>

#include "test_support.h"

using namespace testing_support;

namespace {

Watch watching(int me, int input, TallySource source = TallySource::BUSES) {
  return Watch{me, input, source};
}

TallyState derive(int me, int watch, std::array<int16_t, 4> prg, std::array<int16_t, 4> prv) {
  auto t = std::make_unique<AtemTables>();
  std::copy(prg.begin(), prg.end(), t->programInput);
  std::copy(prv.begin(), prv.end(), t->previewInput);
  return deriveTally(watching(me, watch), *t).state;
}

std::unique_ptr<AtemTables> replayed(const char* file) {
  auto t = std::make_unique<AtemTables>();
  for (const Bytes& p : readDump(file)) walkCommands(p.data(), p.size(), *t);
  return t;
}

}  // namespace

TEST(Tally, FromTheBuses) {
  const std::array<int16_t, 4> none = {-1, -1, -1, -1};
  EXPECT_EQ(derive(0, 1, none, none), OFF);
  EXPECT_EQ(derive(1, 3, {3, 4, 0, 0}, {0, 3, 0, 0}), PREVIEW);
  EXPECT_EQ(derive(1, 4, {3, 4, 0, 0}, {0, 4, 0, 0}), PROGRAM);  // on both buses
  EXPECT_EQ(derive(3, 7, {0, 0, 0, 7}, none), PROGRAM);
  for (int me : {-1, 4, 1000})
    EXPECT_EQ(derive(me, 5, {5, 5, 5, 5}, {5, 5, 5, 5}), OFF) << me;
  // Input ids from 32768 up are held as negative numbers and never match a watched id.
  EXPECT_EQ(derive(0, 32768, {int16_t(-32768), 0, 0, 0}, none), OFF);
  EXPECT_EQ(tallyStateToString(static_cast<TallyState>(3)), "UNKNOWN");
}

// What a camera shows with each rule on real switchers' initial states. The rules differ where
// a source is on air or on preview through a key, SuperSource, another M/E or a transition.
TEST(Tally, FromTheSwitchersTallyListBesideTheBuses) {
  struct Row {
    const char* file;
    int me, input;
    TallyState buses, list;
  } rows[] = {
      {"2me-v8.1.data", 0, 1, PROGRAM, PROGRAM},
      {"2me-v8.1.data", 0, 13, OFF, PROGRAM},
      {"2me-v8.1.data", 0, 9, PREVIEW, PREVIEW},
      {"2me-v8.1.data", 1, 12, PROGRAM, OFF},  // M/E 2's program is not on air
      {"constellation-2me-hd-v8.7.0.data", 0, 11, OFF, PROGRAM},
      {"constellation-2me-hd-v8.7.0.data", 1, 2001, PROGRAM, PROGRAM},
      {"constellation-2me-hd-v8.7.0.data", 0, 2, PREVIEW, PREVIEW},
      {"tvshd-v8.0.0.data", 0, 7, OFF, PROGRAM},
      {"tvshd-v8.0.0.data", 0, 5010, OFF, PROGRAM},
      {"tvshd-v8.0.0.data", 0, 0, PREVIEW, PREVIEW},
      {"1me-v8.1.data", 0, 3021, PREVIEW, PREVIEW},
  };
  for (const Row& r : rows) {
    auto t = replayed(r.file);
    EXPECT_EQ(deriveTally(watching(r.me, r.input), *t).state, r.buses) << r.file << " " << r.input;
    Tally list = deriveTally(watching(r.me, r.input, TallySource::SWITCHER), *t);
    EXPECT_EQ(list.state, r.list) << r.file << " " << r.input;
    EXPECT_EQ(list.reason, r.list == PROGRAM   ? TallyReason::LIST_PROGRAM
                           : r.list == PREVIEW ? TallyReason::LIST_PREVIEW
                                               : TallyReason::NOT_IN_LIST);
  }
  // Until a first list has come, the buses decide.
  auto empty = std::make_unique<AtemTables>();
  empty->programInput[0] = 4;
  EXPECT_EQ(deriveTally(watching(0, 4, TallySource::SWITCHER), *empty).reason,
            TallyReason::PROGRAM_BUS);
}
