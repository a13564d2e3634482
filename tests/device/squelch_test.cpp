// The squelch's arithmetic and its quiet-block counting, on blocks made here.

#include "squelch.hpp"

#include <gtest/gtest.h>

namespace voxaria {
namespace {

class Squelch : public testing::Test {
 protected:
  void SetUp() override {
    squelch = 0;
    average_amplitude = 0;
    count = 0;
    cutoff_amplitude = 0;
  }
  static int examine(std::int16_t level) {
    record_buffer.fill(level);
    return squelch_buffer(128);
  }
};

TEST_F(Squelch, AveragesAbsoluteValuesWithAFloatingPointDivision) {
  for (std::size_t i = 0; i < record_buffer.size(); ++i)
    record_buffer[i] = static_cast<std::int16_t>(i % 2 ? -8 : 7);
  squelch_buffer(128);
  EXPECT_EQ(average_amplitude, 7.5f);
  record_buffer.fill(-32768);
  squelch_buffer(128);
  EXPECT_EQ(average_amplitude, 32768.0f);
  record_buffer.fill(0);
  record_buffer[0] = 1;
  record_buffer[1] = -1;
  squelch_buffer(3);  // only the first n samples count
  EXPECT_EQ(average_amplitude, 2.0f / 3.0f);
}

// Reference: the update computed in double and rounded once, against the
// 1024.260498 that single-precision steps would give (worked out in Python).
TEST_F(Squelch, UpdatesTheFloorInDoubleAndRoundsOnce) {
  squelch_buffer(128);
  EXPECT_EQ(squelch, 1.0f) << "the first floor is the bias alone";
  squelch = 427.34197998046875f;
  average_amplitude = 20391.0078125f;
  squelch_buffer(128);
  EXPECT_EQ(squelch, 1024.2606201171875f);
}

TEST_F(Squelch, FifteenQuietBlocksMakeASilence) {
  for (int block = 1; block <= 14; ++block) EXPECT_EQ(examine(0), 0) << "quiet block " << block;
  EXPECT_EQ(examine(0), -1);
  EXPECT_EQ(count, 14);
  EXPECT_EQ(examine(0), -1) << "a silence goes on at once";
  EXPECT_EQ(examine(20000), 0) << "one loud block is speech again";
  EXPECT_EQ(count, 13);
}

TEST_F(Squelch, ABlockAtTheCutOffLeavesTheCountAlone) {
  cutoff_amplitude = 120;
  squelch = 49.0f / 0.963f;  // the floor is 50 after the update
  count = 5;
  EXPECT_EQ(examine(120), 0);
  EXPECT_NEAR(squelch, 50.0f, 0.01f);
  EXPECT_EQ(count, 5);
  EXPECT_EQ(examine(121), 0);
  EXPECT_EQ(count, 4);
  EXPECT_EQ(examine(100), 0) << "below the cut-off is quiet";
  EXPECT_EQ(count, 5);
}

TEST_F(Squelch, ABlockBelowTheFloorIsQuietEvenAboveTheCutOff) {
  cutoff_amplitude = 10;
  squelch = 1000;
  count = 0;
  examine(500);
  EXPECT_EQ(count, 1);
}

}  // namespace
}  // namespace voxaria
