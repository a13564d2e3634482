#include "adpcm.hpp"

#include <algorithm>
#include <array>

namespace voxaria {

AdpcmState code;
AdpcmState decode;

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


// ---------------------------------------------------------------------------
// The fast path. The same arithmetic, rearranged so that the chains carried
// from sample to sample are short: everything that depends only on the step
// index and the code comes from tables made at compile time from the
// functions above, so the tables cannot drift from the reference.

// The signed reconstruction difference of code q at step index i.
constexpr auto signed_difference = [] {
  std::array<std::array<int, 16>, 89> table{};
  for (int i = 0; i <= max_index; ++i)
    for (int q = 0; q < 16; ++q) {
      const int vpdiff = reconstructed_difference(stepsizeTable[i], q);
      table[i][q] = q & 8 ? -vpdiff : vpdiff;
    }
  return table;
}();

// The step index after one code, and after the two codes of a whole byte.
// The step index depends only on the codes, so the decoder walks it a byte
// at a time: one load per two samples instead of an add and two clamps each.
constexpr auto index_after_code = [] {
  std::array<std::array<std::uint8_t, 16>, 89> table{};
  for (int i = 0; i <= max_index; ++i)
    for (int q = 0; q < 16; ++q) table[i][q] = static_cast<std::uint8_t>(next_index(i, q));
  return table;
}();

constexpr auto index_after_byte = [] {
  std::array<std::array<std::uint8_t, 256>, 89> table{};
  for (int i = 0; i <= max_index; ++i)
    for (int b = 0; b < 256; ++b)
      table[i][b] = static_cast<std::uint8_t>(next_index(next_index(i, b >> 4), b & 15));
  return table;
}();

// The coder's successive approximation picks the largest magnitude m whose
// partial sum of step, step/2, step/4 (as its bits select them) does not
// exceed |diff|. Those sums grow strictly with m, so m is simply how many of
// the seven non-zero sums |diff| reaches: seven independent comparisons
// instead of a chain of three compare-and-subtract steps.
constexpr int partial_sum(int step, int m) {
  return (m & 4 ? step : 0) + (m & 2 ? step >> 1 : 0) + (m & 1 ? step >> 2 : 0);
}

struct CoderRow {
  std::array<int, 8> threshold;  // partial sums for m = 1..7, then unused
  std::array<int, 8> vpdiff;     // reconstruction difference by magnitude
};

constexpr auto coder_rows = [] {
  std::array<CoderRow, 89> table{};
  for (int i = 0; i <= max_index; ++i) {
    const int step = stepsizeTable[i];
    for (int m = 0; m < 8; ++m) {
      table[i].threshold[m] = m < 7 ? partial_sum(step, m + 1) : 1 << 30;
      table[i].vpdiff[m] = reconstructed_difference(step, m);
    }
  }
  return table;
}();

// A clamp that costs one predicted branch on the prediction's chain: real
// signals almost never reach the rails, full-scale ones pay a misprediction.
[[gnu::always_inline]] inline int clamp_rarely(int value) {
  if (static_cast<unsigned>(value + 32768) > 65535u) [[unlikely]]
    return clamp_sample(value);
  return value;
}

[[gnu::always_inline]] inline int magnitude(int distance, const CoderRow& row) {
  const auto& t = row.threshold;
  return (distance >= t[0]) + (distance >= t[1]) + (distance >= t[2]) + (distance >= t[3]) +
         (distance >= t[4]) + (distance >= t[5]) + (distance >= t[6]);
}

[[gnu::always_inline]] inline int fast_code(int sample, int& predicted, int& index) {
  const CoderRow& row = coder_rows[index];
  const int diff = sample - predicted;
  const int negative = diff >> 31;  // all ones when below the prediction
  const int m = magnitude((diff ^ negative) - negative, row);
  const int vpdiff = row.vpdiff[m];
  predicted = clamp_rarely(predicted + ((vpdiff ^ negative) - negative));
  const int q = (negative & 8) | m;
  index = index_after_code[index][q];
  return q;
}

}  // namespace

namespace scalar {

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

}  // namespace scalar

void adpcm_coder(const std::int16_t* samples, std::uint8_t* codes, std::size_t sample_count,
                 AdpcmState& state) {
  int predicted = state.predicted;
  int index = std::clamp<int>(state.step_index, 0, max_index);
  std::size_t i = 0;
  for (; i + 1 < sample_count; i += 2) {
    const int high = fast_code(samples[i], predicted, index);
    codes[i / 2] = static_cast<std::uint8_t>(high << 4 | fast_code(samples[i + 1], predicted, index));
  }
  if (i < sample_count)
    codes[i / 2] = static_cast<std::uint8_t>(fast_code(samples[i], predicted, index) << 4);
  state.predicted = static_cast<std::int16_t>(predicted);
  state.step_index = static_cast<std::int8_t>(index);
}

// A byte at a time: the step index advances by one table load per byte,
// the prediction by an add and a rarely taken clamp per sample; neither
// waits for the other.
void adpcm_decoder(const std::uint8_t* codes, std::int16_t* samples, std::size_t sample_count,
                   AdpcmState& state) {
  int predicted = state.predicted;
  int index = std::clamp<int>(state.step_index, 0, max_index);
  const std::size_t pairs = sample_count / 2;
  for (std::size_t b = 0; b < pairs; ++b) {
    const int byte = codes[b];
    const int high = byte >> 4;
    const int middle = index_after_code[index][high];
    predicted = clamp_rarely(predicted + signed_difference[index][high]);
    samples[2 * b] = static_cast<std::int16_t>(predicted);
    predicted = clamp_rarely(predicted + signed_difference[middle][byte & 15]);
    samples[2 * b + 1] = static_cast<std::int16_t>(predicted);
    index = index_after_byte[index][byte];
  }
  if (sample_count % 2 != 0) {
    const int high = codes[pairs] >> 4;
    predicted = clamp_rarely(predicted + signed_difference[index][high]);
    samples[2 * pairs] = static_cast<std::int16_t>(predicted);
    index = index_after_code[index][high];
  }
  state.predicted = static_cast<std::int16_t>(predicted);
  state.step_index = static_cast<std::int8_t>(index);
}

}  // namespace voxaria
