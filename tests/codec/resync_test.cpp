// The marks that bring a listener back into step after a lost or repeated
// voice datagram, on a talk of tone bursts ("words") between quiet pauses in
// room noise. The reference is the plain decoder fed every block, which the
// codec tests hold against Python's audioop.

#include "resync.hpp"

#include "hang_up.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
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
  std::vector<AdpcmState> after;  // the talker's coder once each block is coded
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
    s.after.push_back(coder);
  }
  return s;
}

// Decodes every payload but the one numbered lost.
std::vector<Block> decode_all(const std::vector<Payload>& payloads, bool knows_marks,
                              std::size_t lost = SIZE_MAX) {
  Listener ours;
  AdpcmState plain;
  std::vector<Block> out;
  for (std::size_t b = 0; b < payloads.size(); ++b) {
    if (b == lost) continue;
    const auto& p = payloads[b];
    Block samples{};
    if (knows_marks)
      resync_decoder(p.data(), samples.data(), block, ours);
    else
      adpcm_decoder(p.data(), samples.data(), block, plain);
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
// a stream from a talker without marks decodes as it always did, a block
// lost or not: even a steady offset with the least wobble, which codes to the
// smallest codes a coder makes, is never taken for a mark, nor is any plain
// block's parity taken for the talker's word.
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
  const Stream plain = send(blocks, false);
  for (std::size_t lost = 5; lost < blocks.size(); lost += 37)
    EXPECT_EQ(decode_all(plain.payloads, true, lost), decode_all(plain.payloads, false, lost))
        << "plain stream, block " << lost << " lost";
}

// A block lost, the same block twice, or two blocks swapped, in the middle
// of a word, where a decoder that knows nothing of the talker's word falls
// out of step: from the next block on, ours is back at the talker's step
// index and within 128 of its prediction, and after the next mark bit for
// bit. A decoder that knows no mark is back at the talker's step index at
// the mark.
TEST_F(Resync, ALostRepeatedOrSwappedBlockIsMendedByTheNextBlock) {
  SCOPED_TRACE(trace());
  const auto blocks = talk(rng);
  const Stream sent = send(blocks, true);
  const auto clean = decode_all(sent.payloads, false);
  // Half a second in, when the listener trusts the talker's word fully, and
  // where this block and the next are loud.
  const auto loud = [&](std::size_t b) {
    return std::any_of(blocks[b].begin(), blocks[b].end(),
                       [](int x) { return std::abs(x) > 2000; });
  };
  std::size_t hit = 32;
  while (hit + 2 < blocks.size() && !(loud(hit) && loud(hit + 1))) ++hit;
  std::size_t mark = hit + 2;
  while (mark < sent.marked.size() && !sent.marked[mark]) ++mark;
  ASSERT_LT(mark, sent.marked.size()) << "no mark after block " << hit;
  for (const std::string fault : {"lost", "repeated", "swapped"}) {
    SCOPED_TRACE("a block " + fault);
    std::vector<std::size_t> arrivals;
    for (std::size_t b = 0; b < sent.payloads.size(); ++b) arrivals.push_back(b);
    const auto at = arrivals.begin() + hit;
    if (fault == "lost") arrivals.erase(at);
    if (fault == "repeated") arrivals.insert(at, hit);
    if (fault == "swapped") std::swap(*at, *(at + 1));
    Listener ours;
    AdpcmState plain;
    bool plain_off = false;
    for (std::size_t n = 0; n < arrivals.size(); ++n) {
      const std::size_t b = arrivals[n];
      if (n == hit) {
        ASSERT_GE(ours.trust, 8) << "the talker's word was not yet trusted";
      }
      Block heard{}, heard_plain{};
      resync_decoder(sent.payloads[b].data(), heard.data(), block, ours);
      adpcm_decoder(sent.payloads[b].data(), heard_plain.data(), block, plain);
      const AdpcmState& talker = sent.after[b];
      if (b > hit && b < mark)
        plain_off |= plain.step_index != talker.step_index || plain.predicted != talker.predicted;
      if (b <= hit + 1) continue;
      EXPECT_EQ(ours.state.step_index, talker.step_index) << "block " << b;
      EXPECT_LT(std::abs(ours.state.predicted - talker.predicted), 128) << "block " << b;
      if (b > mark) {
        ASSERT_EQ(heard, clean[b]) << "block " << b << "; the mark was in block " << mark;
      }
      if (b == mark) {
        EXPECT_EQ(plain.step_index, ours.state.step_index);
      }
    }
    EXPECT_TRUE(plain_off) << "the fault changed nothing: the test shows nothing";
  }
}

// One block in five lost, from the start on, before any trust is earned and
// often two in a row: words that agree with the ones before them bring the
// listener into step all the same, and a marked block after a loss is
// mended up to its mark. Once the first half second is over, at least 97%
// of the received blocks leave the listener at the talker's step index and
// within 128 of its prediction.
TEST_F(Resync, StaysInStepAtOneBlockInFiveLost) {
  SCOPED_TRACE(trace());
  auto blocks = talk(rng);
  const auto more = talk(rng);
  blocks.insert(blocks.end(), more.begin(), more.end());
  const Stream sent = send(blocks, true);
  std::bernoulli_distribution lose(0.2);
  Listener ours;
  std::size_t received = 0, in_step = 0;
  for (std::size_t b = 0; b < sent.payloads.size(); ++b) {
    if (lose(rng)) continue;
    Block heard{};
    resync_decoder(sent.payloads[b].data(), heard.data(), block, ours);
    if (b < 32) continue;
    ++received;
    const AdpcmState& talker = sent.after[b];
    in_step += ours.state.step_index == talker.step_index &&
               std::abs(ours.state.predicted - talker.predicted) < 128;
  }
  EXPECT_GE(static_cast<double>(in_step), 0.97 * static_cast<double>(received))
      << in_step << " of " << received << " received blocks in step";
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

// The hang-up, written out here on its own: 88 codes of magnitude below 4,
// then code 8 only.
bool looks_like_hang_up(const Payload& p) {
  for (std::size_t i = 0; i < block; ++i) {
    const int code = i % 2 == 0 ? p[i / 2] >> 4 : p[i / 2] & 0x0F;
    if (i < resync_settle_codes ? (code & 4) != 0 : code != 8) return false;
  }
  return true;
}

double rms(const Block& samples) {
  double sum = 0;
  for (double x : samples) sum += x * x;
  return std::sqrt(sum / block);
}

// No talker, ours or a plain one, ever sends a hang-up by chance; the one
// ours sends when its talker has fallen quiet is heard by a listener that
// does not know it as a fade below -40 dB of full scale, then silence.
TEST_F(Resync, AHangUpIsNeverSentByChanceAndIsQuietToAnyListener) {
  SCOPED_TRACE(trace());
  const auto blocks = talk(rng);  // it ends in room noise
  for (bool with_marks : {true, false}) {
    const Stream sent = send(blocks, with_marks);
    for (std::size_t b = 0; b < blocks.size(); ++b)
      ASSERT_FALSE(is_hang_up(sent.payloads[b].data()) || looks_like_hang_up(sent.payloads[b]))
          << "block " << b << (with_marks ? " of ours" : " of a plain coder");
  }
  const Stream sent = send(blocks, true);
  AdpcmState talker = sent.after.back(), listener = talker;
  constexpr double quiet = 32768 / 100.0;  // -40 dB of full scale
  for (int copy = 0; copy < hang_up_copies; ++copy) {
    SCOPED_TRACE("copy " + std::to_string(copy));
    Payload p{};
    code_hang_up(p.data(), talker);
    EXPECT_TRUE(looks_like_hang_up(p));
    EXPECT_TRUE(is_hang_up(p.data()));
    EXPECT_TRUE(is_resync_mark(p.data(), block)) << "an older listener of ours takes it as a mark";
    Block heard{};
    adpcm_decoder(p.data(), heard.data(), block, listener);
    EXPECT_LT(rms(heard), copy == 0 ? quiet : 1);
  }
}

}  // namespace
}  // namespace voxaria
