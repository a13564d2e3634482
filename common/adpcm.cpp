#include "adpcm.hpp"

#include <algorithm>
#include <array>

namespace voxaria {

AdpcmState code;

namespace {

constexpr std::array<int, 16> indexTable = {-1, -1, -1, -1, 2, 4, 6, 8, -1, -1, -1, -1, 2, 4, 6, 8};

constexpr std::array<int, 89> stepsizeTable = {
    7,     8,     9,     10,    11,    12,    13,    14,    16,    17,    19,   21,    23,
    25,    28,    31,    34,    37,    41,    45,    50,    55,    60,    66,   73,    80,
    88,    97,    107,   118,   130,   143,   157,   173,   190,   209,   230,  253,   279,
    307,   337,   371,   408,   449,   494,   544,   598,   658,   724,   796,  876,   963,
    1060,  1166,  1282,  1411,  1552,  1707,  1878,  2066,  2272,  2499,  2749, 3024,  3327,
    3660,  4026,  4428,  4871,  5358,  5894,  6484,  7132,  7845,  8630,  9493, 10442, 11487,
    12635, 13899, 15289, 16818, 18500, 20350, 22385, 24623, 27086, 29794, 32767};
static_assert(stepsizeTable.front() == 7 && stepsizeTable.back() == 32767);

constexpr int max_index = static_cast<int>(stepsizeTable.size()) - 1;

constexpr int next_index(int index, int q) {
  return std::clamp(index + indexTable[q], 0, max_index);
}

constexpr int clamp_sample(int value) { return std::clamp(value, -32768, 32767); }

// All-ones when the bit is set, else zero: the code bits are as good as
// random, so the arithmetic below selects with masks rather than branches.
constexpr int mask(int bit) { return -(bit & 1); }

// The reconstruction difference for code q at this step; the coder and the
// decoder share it, so a decoder fed every code tracks the coder exactly.
constexpr int reconstructed_difference(int step, int q) {
  return (step >> 3) + (step & mask(q >> 2)) + ((step >> 1) & mask(q >> 1)) +
         ((step >> 2) & mask(q));
}

// One sample's 4-bit code: sign in bit 3, then three bits of successive
// approximation of |diff| in units of step, step/2, step/4.
constexpr int quantise(int diff, int step) {
  const int sign = diff < 0 ? 8 : 0;
  if (diff < 0) diff = -diff;
  const int b2 = diff >= step;
  diff -= step & mask(b2);
  const int b1 = diff >= (step >> 1);
  diff -= (step >> 1) & mask(b1);
  const int b0 = diff >= (step >> 2);
  return sign | b2 << 2 | b1 << 1 | b0;
}

// Advances the state by one code and returns the new predicted sample.
// Inlined: it is the whole inner loop of both directions.
[[gnu::always_inline]] inline int apply_code(int q, int& predicted, int& index) {
  const int vpdiff = reconstructed_difference(stepsizeTable[index], q);
  const int negative = mask(q >> 3);
  predicted = clamp_sample(predicted + ((vpdiff ^ negative) - negative));
  index = next_index(index, q);
  return predicted;
}

}  // namespace

void adpcm_coder(const std::int16_t* samples, std::uint8_t* codes, std::size_t sample_count,
                 AdpcmState& state) {
  int predicted = state.predicted;
  int index = std::clamp<int>(state.step_index, 0, max_index);
  const auto next_code = [&](std::int16_t sample) {
    const int q = quantise(sample - predicted, stepsizeTable[index]);
    apply_code(q, predicted, index);
    return q;
  };
  std::size_t i = 0;
  for (; i + 1 < sample_count; i += 2) {
    const int high = next_code(samples[i]);
    codes[i / 2] = static_cast<std::uint8_t>(high << 4 | next_code(samples[i + 1]));
  }
  if (i < sample_count)  // an odd count: the last code alone, low nibble zero
    codes[i / 2] = static_cast<std::uint8_t>(next_code(samples[i]) << 4);
  state.predicted = static_cast<std::int16_t>(predicted);
  state.step_index = static_cast<std::int8_t>(index);
}

void adpcm_decoder(const std::uint8_t* codes, std::int16_t* samples, std::size_t sample_count,
                   AdpcmState& state) {
  int predicted = state.predicted;
  int index = std::clamp<int>(state.step_index, 0, max_index);
  const auto next_sample = [&](int q) {
    return static_cast<std::int16_t>(apply_code(q, predicted, index));
  };
  std::size_t i = 0;
  for (; i + 1 < sample_count; i += 2) {
    samples[i] = next_sample(codes[i / 2] >> 4);
    samples[i + 1] = next_sample(codes[i / 2] & 0x0F);
  }
  if (i < sample_count) samples[i] = next_sample(codes[i / 2] >> 4);
  state.predicted = static_cast<std::int16_t>(predicted);
  state.step_index = static_cast<std::int8_t>(index);
}

int adpcm_code_for(int sample, const AdpcmState& state) {
  return quantise(
      sample - state.predicted,
      stepsizeTable[static_cast<std::size_t>(std::clamp<int>(state.step_index, 0, max_index))]);
}

int adpcm_apply(int q, AdpcmState& state) {
  int predicted = state.predicted;
  int index = std::clamp<int>(state.step_index, 0, max_index);
  apply_code(q, predicted, index);
  state.predicted = static_cast<std::int16_t>(predicted);
  state.step_index = static_cast<std::int8_t>(index);
  return predicted;
}

}  // namespace voxaria
