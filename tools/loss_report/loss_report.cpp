// loss_report CLIP.wav [SEED]: codes the clip as a talker's end would (one
// stream of 128-sample blocks) and decodes it as the listener's end would,
// once with every block and once with blocks lost, then prints
// - for a single lost block at every position: how long the two ends' step
//   indices stay apart (after they meet, the decoder differs from the coder
//   only by a constant offset until a clamp removes it), and for how long
//   what is heard differs from the lossless decode by more than an offset;
// - for random loss of 1%, 5% and 20% (seeded): the SNR per second against
//   the clip, as heard and after removing each second's mean (the offset).

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <vector>

#include "adpcm.hpp"
#include "card_record.hpp"

namespace {

using voxaria::AdpcmState;
constexpr std::size_t block = 128;
constexpr std::size_t payload = 64;
constexpr std::size_t second = 8000;

struct Stream {
  std::vector<std::uint8_t> codes;  // payload after payload
  std::size_t blocks = 0;
};

Stream code_clip(const std::vector<std::int16_t>& clip) {
  Stream s;
  s.blocks = clip.size() / block;
  s.codes.resize(s.blocks * payload);
  AdpcmState state;
  for (std::size_t b = 0; b < s.blocks; ++b)
    voxaria::adpcm_coder(clip.data() + b * block, s.codes.data() + b * payload, block, state);
  return s;
}

// What the listener plays: lost blocks are never played, so the heard
// timeline is the clip's with those 16 ms missing; to compare sample by
// sample, a lost block is kept as silence in its place. Also records the
// decoder's step index after every sample.
std::vector<std::int16_t> decode(const Stream& s, const std::vector<bool>& lost,
                                 std::vector<int>* indices = nullptr) {
  std::vector<std::int16_t> heard(s.blocks * block, 0);
  AdpcmState state;
  for (std::size_t b = 0; b < s.blocks; ++b) {
    if (!lost[b]) {
      // Sample by sample, to follow the step index.
      for (std::size_t i = 0; i < block; ++i) {
        std::uint8_t byte = s.codes[b * payload + i / 2];
        std::uint8_t one = static_cast<std::uint8_t>((i % 2 == 0) ? (byte & 0xF0) : (byte << 4));
        voxaria::adpcm_decoder(&one, &heard[b * block + i], 1, state);
      }
    }
    if (indices)
      for (std::size_t i = 0; i < block; ++i) indices->push_back(state.step_index);
  }
  return heard;
}

double snr(const std::vector<std::int16_t>& ref, const std::vector<std::int16_t>& got,
           std::size_t from, std::size_t to, bool remove_mean) {
  double mr = 0, mg = 0;
  if (remove_mean) {
    for (std::size_t i = from; i < to; ++i) mr += ref[i], mg += got[i];
    mr /= static_cast<double>(to - from);
    mg /= static_cast<double>(to - from);
  }
  double sig = 0, err = 0;
  for (std::size_t i = from; i < to; ++i) {
    const double r = ref[i] - mr, e = (got[i] - mg) - r;
    sig += r * r;
    err += e * e;
  }
  return 10 * std::log10(std::max(sig, 1.0) / std::max(err, 1.0));
}

double percentile(std::vector<double> v, double p) {
  std::sort(v.begin(), v.end());
  return v[static_cast<std::size_t>(p * static_cast<double>(v.size() - 1))];
}

void single_losses(const Stream& s) {
  const std::vector<bool> none(s.blocks, false);
  std::vector<int> ref_index;
  const auto clean = decode(s, none, &ref_index);
  std::vector<double> apart_s, damaged_s;
  std::size_t never = 0;
  for (std::size_t lost_at = 1; lost_at + 1 < s.blocks; ++lost_at) {
    auto lost = none;
    lost[lost_at] = true;
    std::vector<int> index;
    const auto heard = decode(s, lost, &index);
    const std::size_t start = (lost_at + 1) * block;
    std::size_t met = start;
    while (met < index.size() && index[met] != ref_index[met]) ++met;
    if (met == index.size()) ++never;
    apart_s.push_back(static_cast<double>(met - start) / second);
    // Beyond an offset: the difference from the lossless decode changes.
    std::size_t last_change = start;
    for (std::size_t i = start + 1; i < heard.size(); ++i)
      if (heard[i] - clean[i] != heard[i - 1] - clean[i - 1]) last_change = i;
    damaged_s.push_back(static_cast<double>(last_change - start) / second);
  }
  std::printf("single lost block, at each of %zu positions:\n", apart_s.size());
  std::printf("  step indices apart: median %.2f s, 90%% %.2f s, max %.2f s; never met again: %zu\n",
              percentile(apart_s, 0.5), percentile(apart_s, 0.9), percentile(apart_s, 1.0), never);
  std::printf("  heard differs beyond an offset: median %.2f s, 90%% %.2f s, max %.2f s\n",
              percentile(damaged_s, 0.5), percentile(damaged_s, 0.9), percentile(damaged_s, 1.0));
}

void random_losses(const Stream& s, const std::vector<std::int16_t>& clip, unsigned seed) {
  for (int percent : {0, 1, 5, 20}) {
    std::mt19937 random(seed);
    std::vector<bool> lost(s.blocks);
    for (std::size_t b = 0; b < s.blocks; ++b)
      lost[b] = static_cast<int>(random() % 100) < percent;
    const auto heard = decode(s, lost);
    std::printf("loss %2d%%, SNR per second as heard / without each second's mean (dB):", percent);
    for (std::size_t from = 0; from + second <= heard.size(); from += second)
      std::printf(" %.1f/%.1f", snr(clip, heard, from, from + second, false),
                  snr(clip, heard, from, from + second, true));
    std::printf("\n");
  }
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: loss_report CLIP.wav [SEED]\n");
    return 2;
  }
  const auto clip = voxaria::report::read_wav(argv[1]);
  if (clip.size() < 4 * block) {
    std::fprintf(stderr, "loss_report: %s is not a 16-bit mono WAV clip\n", argv[1]);
    return 1;
  }
  const unsigned seed = argc > 2 ? static_cast<unsigned>(std::strtoul(argv[2], nullptr, 10)) : 1;
  const Stream s = code_clip(clip);
  std::printf("%s: %zu blocks, seed %u\n", argv[1], s.blocks, seed);
  single_losses(s);
  random_losses(s, clip, seed);
  return 0;
}
