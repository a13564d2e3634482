// The call report on an input that repeats one clip at block-aligned
// offsets: every played copy must be traced to its own repeat, not to an
// earlier (or later) one that sounds the same.

#include "call_analysis.hpp"

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

namespace voxaria::report {
namespace {

CardEvent event(const std::string& kind, long position, long input_at) {
  CardEvent e;
  e.time = static_cast<double>(position) / sample_rate;
  e.kind = kind;
  e.fields = {{"bytes", std::to_string(2 * block_samples)}, {"pos", std::to_string(position)}};
  if (input_at >= 0) e.fields["in"] = std::to_string(input_at);
  return e;
}

TEST(CallAnalysis, RepeatedClipIsMatchedToItsOwnRepeat) {
  constexpr long clip_blocks = 10, repeats = 4, block = block_samples;
  constexpr long delay_blocks = 3;  // the listener plays each block this late
  std::mt19937 rng(1);
  std::uniform_int_distribution<int> loud(-8000, 8000);
  std::vector<std::int16_t> clip(clip_blocks * block);
  for (auto& s : clip) s = static_cast<std::int16_t>(loud(rng));
  std::vector<std::int16_t> input;
  for (int r = 0; r < repeats; ++r) input.insert(input.end(), clip.begin(), clip.end());

  // The talker records the input block by block; the listener plays exact
  // copies, each delay_blocks after it was recorded.
  std::vector<CardEvent> talker, listener;
  const long total = clip_blocks * repeats;
  std::vector<std::int16_t> loudspeaker((total + delay_blocks) * block, 0);
  for (long b = 0; b < total; ++b) {
    talker.push_back(event("read", b * block, b * block));
    const long played_at = (b + delay_blocks) * block;
    listener.push_back(event("write", played_at, -1));
    std::copy_n(input.begin() + b * block, block, loudspeaker.begin() + played_at);
  }

  const Direction d = analyse(input, talker, listener, loudspeaker);
  const double delay_ms = delay_blocks * block * 1000.0 / sample_rate;
  EXPECT_EQ(d.spoken_blocks, static_cast<std::size_t>(total));
  EXPECT_EQ(d.spoken_heard, static_cast<std::size_t>(total));
  EXPECT_EQ(d.heard_twice, 0u);
  EXPECT_EQ(d.out_of_order, 0u);
  EXPECT_DOUBLE_EQ(d.median_delay_ms, delay_ms);
  EXPECT_DOUBLE_EQ(d.max_delay_ms, delay_ms);
}

}  // namespace
}  // namespace voxaria::report
