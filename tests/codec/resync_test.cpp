// The marks that bring a listener back into step after a lost or repeated
// voice datagram, on a talk of tone bursts ("words") between quiet pauses in
// room noise. The reference is the scalar decoder fed every block, which the
// codec tests hold against Python's audioop.

#include "resync.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdlib>
#include <numbers>
#include <random>
#include <string>
#include <vector>

namespace voxaria {
namespace {

constexpr std::size_t block = 128;
using Block = std::array<std::int16_t, block>;
using Payload = std::array<std::uint8_t, block / 2>;

std::uint32_t test_seed() {
  if (const char* text = std::getenv("VOXARIA_SEED"))
    return static_cast<std::uint32_t>(std::strtoul(text, nullptr, 10));
  return std::random_device{}();
}

// Words of 10 to 30 blocks, loud and changing, between pauses of 2 to 8
// blocks of room noise (RMS 20).
std::vector<Block> talk(std::mt19937& rng) {
  std::normal_distribution<double> noise(0, 20);
  std::uniform_real_distribution<double> uniform(0, 1);
  std::vector<Block> blocks;
  double phase = 0;
  for (int word = 0; word < 12; ++word) {
    const int length = 10 + static_cast<int>(uniform(rng) * 20);
    const double amplitude = 2000 + uniform(rng) * 12000, pitch = 150 + uniform(rng) * 250;
    for (int b = 0; b < length; ++b) {
      Block samples{};
      for (std::size_t i = 0; i < block; ++i) {
        phase += 2 * std::numbers::pi * pitch / 8000;
        const double envelope = std::sin(std::numbers::pi * (b * block + i) / (length * block));
        samples[i] = static_cast<std::int16_t>(
            amplitude * envelope * (std::sin(phase) + 0.4 * std::sin(3.1 * phase)) / 1.4 +
            noise(rng));
      }
      blocks.push_back(samples);
    }
    for (int pause = 2 + static_cast<int>(uniform(rng) * 7); pause > 0; --pause) {
      Block samples{};
      for (auto& s : samples) s = static_cast<std::int16_t>(std::lround(noise(rng)));
      blocks.push_back(samples);
    }
  }
  return blocks;
}

struct Stream {
  std::vector<Payload> payloads;
  std::vector<bool> marked;
};

Stream send(const std::vector<Block>& blocks, bool with_marks) {
  Stream s;
  AdpcmState coder;
  for (const auto& samples : blocks) {
    Payload p{};
    bool marked = false;
    if (with_marks)
      marked = resync_coder(samples.data(), p.data(), block, coder);
    else
      adpcm_coder(samples.data(), p.data(), block, coder);
    s.payloads.push_back(p);
    s.marked.push_back(marked);
  }
  return s;
}

std::vector<Block> decode_all(const std::vector<Payload>& payloads, bool knows_marks) {
  AdpcmState decoder;
  std::vector<Block> out;
  for (const auto& p : payloads) {
    Block samples{};
    if (knows_marks)
      resync_decoder(p.data(), samples.data(), block, decoder);
    else
      scalar::adpcm_decoder(p.data(), samples.data(), block, decoder);
    out.push_back(samples);
  }
  return out;
}

class Resync : public ::testing::Test {
 protected:
  void SetUp() override {
    seed = test_seed();
    rng.seed(seed);
  }
  std::string trace() const {
    return "seed " + std::to_string(seed) + " (rerun with VOXARIA_SEED=" + std::to_string(seed) +
           ")";
  }
  std::uint32_t seed = 0;
  std::mt19937 rng;
};

// Nothing lost, the listener plays exactly the decode of what was sent, and
// a stream from a talker without marks decodes as it always did: even a
// steady offset with the least wobble, which codes to the smallest codes a
// coder makes, is never taken for a mark.
TEST_F(Resync, ChangesNothingWhereNothingIsLost) {
  SCOPED_TRACE(trace());
  auto blocks = talk(rng);
  for (int b = 0; b < 8; ++b) {  // both ways round: +1 -1 and -1 +1
    Block wobble{};
    for (std::size_t i = 0; i < block; ++i)
      wobble[i] = static_cast<std::int16_t>(b < 4 ? 400 + i % 2 : 401 - i % 2);
    blocks.push_back(wobble);
  }
  for (bool with_marks : {true, false}) {
    const Stream sent = send(blocks, with_marks);
    EXPECT_EQ(std::count(sent.marked.begin(), sent.marked.end(), true) > 0, with_marks);
    EXPECT_EQ(decode_all(sent.payloads, true), decode_all(sent.payloads, false))
        << (with_marks ? "marked stream" : "plain stream");
  }
}

// A block lost, or the same block twice, in the middle of a word: the
// listener is out of step until the next mark and bit-exact after it;
// a decoder that knows no mark is back at the talker's step index there.
TEST_F(Resync, ALostOrRepeatedBlockIsMendedAtTheNextMark) {
  SCOPED_TRACE(trace());
  const Stream sent = send(talk(rng), true);
  const auto clean = decode_all(sent.payloads, false);
  const std::size_t hit = 3;  // in the first word
  std::size_t mark = hit + 1;
  while (mark < sent.marked.size() && !sent.marked[mark]) ++mark;
  ASSERT_LT(mark, sent.marked.size()) << "no mark after the first word";
  for (bool repeated : {false, true}) {
    SCOPED_TRACE(repeated ? "a block repeated" : "a block lost");
    AdpcmState ours, plain;
    std::size_t differing = 0;
    for (std::size_t b = 0; b < sent.payloads.size(); ++b) {
      if (b == hit && !repeated) continue;
      Block heard{}, heard_plain{};
      for (int copy = 0; copy < (b == hit ? 2 : 1); ++copy) {
        resync_decoder(sent.payloads[b].data(), heard.data(), block, ours);
        scalar::adpcm_decoder(sent.payloads[b].data(), heard_plain.data(), block, plain);
      }
      if (b <= hit) continue;
      if (b <= mark) {
        differing += heard != clean[b];
      } else {
        ASSERT_EQ(heard, clean[b]) << "block " << b << "; the mark was in block " << mark;
      }
      if (b == mark) {
        EXPECT_EQ(plain.step_index, ours.step_index);
      }
    }
    EXPECT_GT(differing, 0u) << "the fault changed nothing: the test shows nothing";
  }
}

// A mark replaces 104 samples of quiet: a block with no such stretch, a word,
// is never marked.
TEST_F(Resync, MarksOnlyWhereThereIsQuietForIt) {
  SCOPED_TRACE(trace());
  const auto blocks = talk(rng);
  const Stream sent = send(blocks, true);
  for (std::size_t b = 0; b < blocks.size(); ++b) {
    std::size_t run = 0, longest = 0;
    for (auto s : blocks[b]) {
      run = std::abs(s) <= resync_quiet_peak ? run + 1 : 0;
      longest = std::max(longest, run);
    }
    if (longest < resync_mark_codes) {
      EXPECT_FALSE(sent.marked[b]) << "block " << b;
    }
    EXPECT_EQ(sent.marked[b], is_resync_mark(sent.payloads[b].data(), block)) << "block " << b;
  }
}

}  // namespace
}  // namespace voxaria
