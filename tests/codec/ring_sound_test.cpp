// The ring sound the build leaves at the top of the build tree: a well-formed
// 8 kHz mono mu-law Sun audio file holding a ring that is audible, not
// clipped, and soft at its edges.

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <fstream>
#include <iterator>
#include <vector>

namespace {

std::vector<std::uint8_t> read_file(const char* path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

std::uint32_t big_endian(const std::vector<std::uint8_t>& data, std::size_t at) {
  return std::uint32_t{data[at]} << 24 | std::uint32_t{data[at + 1]} << 16 |
         std::uint32_t{data[at + 2]} << 8 | std::uint32_t{data[at + 3]};
}

// G.711 mu-law expansion, straight from the segment formula: the complement
// of the byte gives sign, segment and mantissa; the biased magnitude is
// (2 * mantissa + 33) << segment, in units of 4 for a 16-bit scale.
constexpr int mulaw_decode(std::uint8_t byte) {
  const int u = ~byte & 0xFF;
  const int segment = (u >> 4) & 0x07;
  const int mantissa = u & 0x0F;
  const int magnitude = ((2 * mantissa + 33) << segment) * 4 - 33 * 4;
  return (u & 0x80) ? -magnitude : magnitude;
}
static_assert(mulaw_decode(0xFF) == 0 && mulaw_decode(0x7F) == 0);
static_assert(mulaw_decode(0x80) == 32124 && mulaw_decode(0x00) == -32124);

constexpr int sample_rate = 8000;
constexpr std::size_t header_size = 24;

class RingSound : public ::testing::Test {
 protected:
  void SetUp() override {
    file_ = read_file(VOXARIA_BUILD_DIR "/phone.au");
    ASSERT_GE(file_.size(), header_size) << "no ring sound at " VOXARIA_BUILD_DIR "/phone.au";
    for (std::size_t i = header_size; i < file_.size(); ++i)
      samples_.push_back(mulaw_decode(file_[i]));
  }

  int peak(std::size_t from, std::size_t to) const {
    int p = 0;
    for (std::size_t i = from; i < to; ++i) p = std::max(p, std::abs(samples_[i]));
    return p;
  }

  std::vector<std::uint8_t> file_;
  std::vector<int> samples_;
};

TEST_F(RingSound, HeaderDescribesEightKilohertzMonoMulaw) {
  EXPECT_EQ(big_endian(file_, 0), 0x2e736e64u);  // ".snd"
  EXPECT_EQ(big_endian(file_, 4), header_size);
  EXPECT_EQ(big_endian(file_, 8), file_.size() - header_size);
  EXPECT_EQ(big_endian(file_, 12), 1u);  // 8-bit G.711 mu-law
  EXPECT_EQ(big_endian(file_, 16), std::uint32_t{sample_rate});
  EXPECT_EQ(big_endian(file_, 20), 1u);
}

TEST_F(RingSound, IsAShortRing) {
  const double seconds = static_cast<double>(samples_.size()) / sample_rate;
  EXPECT_GE(seconds, 1.0);
  EXPECT_LE(seconds, 3.0);
}

TEST_F(RingSound, IsAudibleButNotClipped) {
  const int p = peak(0, samples_.size());
  EXPECT_GE(p, 8231) << "quieter than -12 dBFS";
  EXPECT_LE(p, 29205) << "louder than -1 dBFS";
  double energy = 0.0;
  for (const int s : samples_) energy += static_cast<double>(s) * s;
  EXPECT_GE(std::sqrt(energy / static_cast<double>(samples_.size())), 1000.0) << "mostly silence";
}

// A ring that starts or stops at full level clicks; the first and last
// 10 ms must stay below about -24 dBFS.
TEST_F(RingSound, StartsAndEndsSoftly) {
  constexpr std::size_t edge = sample_rate / 100;
  ASSERT_GT(samples_.size(), 2 * edge);
  EXPECT_LE(peak(0, edge), 2000);
  EXPECT_LE(peak(samples_.size() - edge, samples_.size()), 2000);
}

// The bursts are separated by a pause of at least 100 ms in the middle half.
TEST_F(RingSound, HasAPauseBetweenBursts) {
  constexpr std::size_t pause = sample_rate / 10;
  const std::size_t n = samples_.size();
  bool found = false;
  for (std::size_t at = n / 4; at + pause <= 3 * n / 4 && !found; at += sample_rate / 100)
    found = peak(at, at + pause) < 330;  // about -40 dBFS
  EXPECT_TRUE(found);
}

}  // namespace
