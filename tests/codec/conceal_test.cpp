// Concealing a lost block of voiced speech: a tone of harmonics whose pitch
// glides from 125 to 133 Hz (periods of 64 to 60 samples) and whose level
// glides too, as a vowel's do.

#include "conceal.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <numbers>
#include <vector>

namespace voxaria {
namespace {

constexpr std::size_t block = 128;

std::vector<std::int16_t> vowel(std::size_t blocks) {
  std::vector<std::int16_t> samples(blocks * block);
  double t = 0;
  for (std::size_t i = 0; i < samples.size(); ++i) {
    const double f0 = 125 + 8 * static_cast<double>(i) / static_cast<double>(samples.size());
    t += 2 * std::numbers::pi * f0 / 8000;
    const double level = 6000 + 2000 * std::sin(static_cast<double>(i) / 900);
    samples[i] = static_cast<std::int16_t>(
        level * (std::sin(t) + 0.5 * std::sin(2 * t + 0.3) + 0.25 * std::sin(3 * t + 1.1)) / 1.75);
  }
  return samples;
}

// The sharpest bend: the largest second difference, where a step or a
// kink shows even within the vowel's own slopes.
int sharpest(const std::int16_t* x, std::size_t n) {
  int most = 0;
  for (std::size_t i = 2; i < n; ++i) most = std::max(most, std::abs(x[i] - 2 * x[i - 1] + x[i - 2]));
  return most;
}

double snr_db(const std::int16_t* reference, const std::int16_t* copy, std::size_t n) {
  double signal = 0, noise = 0;
  for (std::size_t i = 0; i < n; ++i) {
    signal += double(reference[i]) * reference[i];
    noise += double(copy[i] - reference[i]) * (copy[i] - reference[i]);
  }
  return 10 * std::log10(signal / std::max(noise, 1.0));
}

// One block lost in a vowel: the block put in its place follows the pitch,
// and neither where it begins nor where the next block resumes does the
// sound bend more sharply than the vowel does anywhere.
TEST(Conceal, FillsALostBlockWithThePitchAndNoStepAtEitherEdge) {
  const auto x = vowel(12);
  Concealer c;
  for (std::size_t b = 0; b < 10; ++b) remember_played(c, x.data() + b * block, block);
  EXPECT_NEAR(pitch_period(c), 8000 / 131.7, 1);

  std::vector<std::int16_t> heard(x.begin(), x.begin() + 10 * block);
  std::vector<std::int16_t> filled(block), next(x.begin() + 11 * block, x.end());
  conceal(c, filled.data(), block);
  resume(c, next.data(), block);
  heard.insert(heard.end(), filled.begin(), filled.end());
  heard.insert(heard.end(), next.begin(), next.end());

  const int own = sharpest(x.data(), x.size());
  const std::size_t edge = 10 * block;
  EXPECT_LE(sharpest(heard.data() + edge - 4, 8), own) << "a step where the hole begins";
  EXPECT_LE(sharpest(heard.data() + edge + block - 4, 8), own) << "a step where the voice resumes";
  EXPECT_GT(snr_db(x.data() + edge, filled.data(), block), 10) << "the filled block misses the pitch";
  EXPECT_TRUE(std::equal(next.begin() + block / 4, next.end(), x.begin() + 11 * block + block / 4))
      << "the block that resumed changed beyond its blend";
}

// Losses in a row fade the repeated period: full for 10 ms, silent from
// 60 ms on.
TEST(Conceal, FadesOverLossesInARowToSilence) {
  const auto x = vowel(10);
  Concealer c;
  remember_played(c, x.data(), x.size());
  std::vector<double> peak;
  for (int lost = 0; lost < 5; ++lost) {
    std::vector<std::int16_t> filled(block);
    conceal(c, filled.data(), block);
    int most = 0;
    for (auto s : filled) most = std::max(most, std::abs(int{s}));
    peak.push_back(most);
  }
  EXPECT_GT(peak[0], 4000);
  for (std::size_t i = 1; i < peak.size(); ++i) EXPECT_LT(peak[i], peak[i - 1]) << "block " << i;
  EXPECT_EQ(peak[4], 0) << "still sounding 64 ms into the losses";
}

}  // namespace
}  // namespace voxaria
