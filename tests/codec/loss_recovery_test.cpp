// The receiving side's recovery from a lost voice datagram, on a stream
// made here as a call makes it: the two test clips in seeded room noise,
// squelched and coded block by block by the programs' own squelch and
// coder. References: the coder's own state (where the decoder should be)
// and the decode of every block sent (what a lossless call plays).

#include "loss_recovery.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <random>
#include <vector>

#include "card_record.hpp"
#include "harness.hpp"
#include "squelch.hpp"

namespace voxaria {
namespace {

constexpr std::size_t block = 128;
constexpr unsigned seed = 20261208;

struct Sent {
  std::array<std::uint8_t, 64> codes{};
  AdpcmState coder_after;
  bool after_pause = false;
};

// Room noise of RMS 20 throughout; each clip follows a second of it.
std::vector<Sent> talk() {
  std::vector<std::int16_t> heard;
  std::mt19937 random(seed);
  std::normal_distribution<double> room(0, 20);
  auto add = [&](const std::vector<std::int16_t>& clip) {
    heard.insert(heard.end(), 8000, 0);
    heard.insert(heard.end(), clip.begin(), clip.end());
  };
  heard.assign(calibration_blocks * block, 0);
  add(report::read_wav(test::test_data("speech_a.wav")));
  add(report::read_wav(test::test_data("speech_b.wav")));
  heard.insert(heard.end(), 8000, 0);
  for (auto& s : heard)
    s = static_cast<std::int16_t>(std::clamp(std::lround(s + room(random)), -32768L, 32767L));

  std::size_t at = 0;
  steps = 0, count = 0, squelch = 0, total_average_amplitude = 0;
  for (; steps < calibration_blocks; ++steps, at += block) {
    std::copy_n(heard.begin() + static_cast<long>(at), block, record_buffer.begin());
    if (squelch_buffer(static_cast<int>(block)) == 0) total_average_amplitude += average_amplitude;
  }
  cutoff_amplitude = total_average_amplitude / static_cast<float>(steps) + 100;
  std::vector<Sent> sent;
  AdpcmState coder;
  bool paused = true;
  for (; at + block <= heard.size(); at += block) {
    std::copy_n(heard.begin() + static_cast<long>(at), block, record_buffer.begin());
    if (squelch_buffer(static_cast<int>(block)) != 0) {
      paused = true;
      continue;
    }
    Sent s;
    scalar::adpcm_coder(record_buffer.data(), s.codes.data(), block, coder);
    s.coder_after = coder;
    s.after_pause = paused;
    paused = false;
    sent.push_back(s);
  }
  return sent;
}

const std::vector<Sent>& stream() {
  static const std::vector<Sent> sent = talk();
  return sent;
}

struct Heard {
  std::vector<std::array<std::int16_t, block>> blocks;  // per block sent; lost ones left silent
  std::vector<int> index;                               // the decoder's step index after it
};

// Decodes what arrives, told of each gap two blocks later, as the arrival
// times tell it; extra_gaps: blocks that arrive late (a talker's card or
// layer skipped time) though nothing is lost.
Heard listen(const std::vector<bool>& lost, const std::vector<bool>& extra_gaps = {}) {
  reset_loss_recovery();
  decode = AdpcmState{};
  Heard h;
  bool gap = false;
  int since_gap = -1;
  for (std::size_t b = 0; b < stream().size(); ++b) {
    h.blocks.emplace_back();
    const bool late = !extra_gaps.empty() && extra_gaps[b];
    gap = gap || stream()[b].after_pause || late;
    if (lost[b]) {
      gap = true;
      since_gap = -1;
      h.index.push_back(decode.step_index);
      continue;
    }
    since_gap = gap ? 0 : since_gap >= 0 ? since_gap + 1 : -1;
    const int ago = since_gap == gap_confirmed_after ? since_gap : 0;
    if (ago > 0) since_gap = -1;
    decode_received(stream()[b].codes.data(), h.blocks.back().data(), ago);
    gap = false;
    h.index.push_back(decode.step_index);
  }
  return h;
}

Heard lossless() {
  Heard h;
  AdpcmState state;
  for (const auto& s : stream()) {
    h.blocks.emplace_back();
    scalar::adpcm_decoder(s.codes.data(), h.blocks.back().data(), block, state);
    h.index.push_back(state.step_index);
  }
  return h;
}

// Within 3 steps of the coder's index and 1% of full scale of the lossless
// decode's offset.
bool in_step(const Heard& h, const Heard& clean, std::size_t b) {
  const int apart = h.index[b] - stream()[b].coder_after.step_index;
  double offset = 0;
  for (std::size_t i = 0; i < block; ++i)
    offset += h.blocks[b][i] - std::pow(1.1, apart) * clean.blocks[b][i];
  return std::abs(apart) <= 3 && std::abs(offset / block) <= 327.67;
}

TEST(LossRecovery, LeavesALosslessStreamBitExactEvenWhereDatagramsCameLate) {
  SCOPED_TRACE(testing::Message() << "room noise seed " << seed);
  ASSERT_GT(stream().size(), 300u);
  const Heard clean = lossless();
  std::vector<bool> late(stream().size(), false);
  for (std::size_t b = 40; b < late.size(); b += 9) late[b] = true;
  for (const auto& gaps : {std::vector<bool>{}, late}) {
    const Heard h = listen(std::vector<bool>(stream().size(), false), gaps);
    for (std::size_t b = 0; b < stream().size(); ++b)
      ASSERT_EQ(h.blocks[b], clean.blocks[b])
          << "block " << b << (gaps.empty() ? "" : ", late ones marked");
  }
}

TEST(LossRecovery, BringsTheDecoderBackIntoStepAfterALostBlock) {
  SCOPED_TRACE(testing::Message() << "room noise seed " << seed);
  const Heard clean = lossless();
  // A lost block every 13 blocks, one at a time; in step again within half
  // a second (31 blocks) and from there for another half second.
  int recovered = 0, raw_recovered = 0, losses = 0;
  for (std::size_t at = 60; at + 64 < stream().size(); at += 13) {
    std::vector<bool> lost(stream().size(), false);
    lost[at] = true;
    ++losses;
    const Heard h = listen(lost);
    bool ok = true;
    for (std::size_t b = at + 31; b < at + 62; ++b) ok = ok && in_step(h, clean, b);
    recovered += ok;
    // The bare decoder, skipping the block as before.
    Heard raw;
    AdpcmState state;
    for (std::size_t b = 0; b < stream().size(); ++b) {
      raw.blocks.emplace_back();
      if (!lost[b])
        scalar::adpcm_decoder(stream()[b].codes.data(), raw.blocks.back().data(), block, state);
      raw.index.push_back(state.step_index);
    }
    bool raw_ok = true;
    for (std::size_t b = at + 31; b < at + 62; ++b) raw_ok = raw_ok && in_step(raw, clean, b);
    raw_recovered += raw_ok;
  }
  std::printf("of %d single losses, in step within 0.5 s: %d recovered, %d with the bare decoder\n",
              losses, recovered, raw_recovered);
  EXPECT_GE(recovered * 4, losses) << "fewer than a quarter in step again";
  EXPECT_GE(recovered, 2 * raw_recovered + 3) << "hardly better than no recovery";
}

}  // namespace
}  // namespace voxaria
