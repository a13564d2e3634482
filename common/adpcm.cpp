#include "adpcm.hpp"

#include <algorithm>
#include <array>

#if defined(__x86_64__)
// GCC 12 takes the intrinsics' deliberately undefined vectors for
// uninitialised ones once they are inlined; the warning lands on these lines.
#if !defined(__clang__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#endif
#include <immintrin.h>
#if !defined(__clang__)
#pragma GCC diagnostic pop
#endif
#endif

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

// Each entry is two lookups in the table above rather than two clamped
// adds: the same numbers in a third of the compile-time steps, well within
// what any compiler evaluates by default.
constexpr auto index_after_byte = [] {
  std::array<std::array<std::uint8_t, 256>, 89> table{};
  for (std::size_t i = 0; i < table.size(); ++i)
    for (std::size_t b = 0; b < 256; ++b)
      table[i][b] = index_after_code[index_after_code[i][b >> 4]][b & 15];
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

// Everything the coder needs at one step index, in one 128-byte row. The
// next row's index comes out of a word already loaded with this row, by a
// shift by the magnitude: no load between the count and the next row, and a
// power-of-two row size keeps its address one shift and one add away.
struct alignas(128) CoderRow {
  std::array<int, 8> threshold;    // partial sums for m = 1..7, then unused
  std::array<int, 16> difference;  // signed reconstruction difference by code
  std::uint64_t next;              // byte m: the step index after magnitude m
  std::array<std::uint64_t, 3> unused;
};
static_assert(sizeof(CoderRow) == 128);

constexpr auto coder_rows = [] {
  std::array<CoderRow, 89> table{};
  for (int i = 0; i <= max_index; ++i) {
    const int step = stepsizeTable[i];
    for (int m = 0; m < 8; ++m) table[i].threshold[m] = m < 7 ? partial_sum(step, m + 1) : 0;
    for (int q = 0; q < 16; ++q) {
      table[i].difference[q] = signed_difference[i][q];
      if (q < 8) table[i].next |= static_cast<std::uint64_t>(next_index(i, q)) << (8 * q);
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

// The seven comparisons summed as a tree, three adds deep rather than six.
[[gnu::always_inline]] inline int magnitude(int distance, const CoderRow& row) {
  const auto& t = row.threshold;
  const int a = (distance >= t[0]) + (distance >= t[1]);
  const int b = (distance >= t[2]) + (distance >= t[3]);
  const int c = (distance >= t[4]) + (distance >= t[5]);
  return (a + b) + (c + (distance >= t[6]));
}

// One sample. The chain from row to row is: load the thresholds, compare,
// count, shift the next-index word; the prediction's chain is: difference,
// absolute value, compare, count, load the signed difference, add. The sign
// only picks a half of the row, in parallel with the count.
[[gnu::always_inline]] inline int fast_code(int sample, int& predicted, const CoderRow*& row) {
  const int diff = sample - predicted;
  const int distance = diff < 0 ? predicted - sample : diff;
  const std::size_t sign = diff < 0 ? 8 : 0;
  const int* differences = row->difference.data() + sign;
  const auto m = static_cast<std::size_t>(magnitude(distance, *row));
  predicted = clamp_rarely(predicted + differences[m]);
  row = coder_rows.data() + (row->next >> (8 * m) & 0xFF);
  return static_cast<int>(sign | m);
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

int code_for(int sample, const AdpcmState& state) {
  return quantise(
      sample - state.predicted,
      stepsizeTable[static_cast<std::size_t>(std::clamp<int>(state.step_index, 0, max_index))]);
}

int apply(int q, AdpcmState& state) {
  int predicted = state.predicted;
  int index = std::clamp<int>(state.step_index, 0, max_index);
  apply_code(q, predicted, index);
  state.predicted = static_cast<std::int16_t>(predicted);
  state.step_index = static_cast<std::int8_t>(index);
  return predicted;
}

}  // namespace scalar

namespace portable {

void adpcm_coder(const std::int16_t* samples, std::uint8_t* codes, std::size_t sample_count,
                 AdpcmState& state) {
  int predicted = state.predicted;
  const CoderRow* row =
      &coder_rows[static_cast<std::size_t>(std::clamp<int>(state.step_index, 0, max_index))];
  std::size_t i = 0;
  for (; i + 1 < sample_count; i += 2) {
    const int high = fast_code(samples[i], predicted, row);
    codes[i / 2] = static_cast<std::uint8_t>(high << 4 | fast_code(samples[i + 1], predicted, row));
  }
  if (i < sample_count)
    codes[i / 2] = static_cast<std::uint8_t>(fast_code(samples[i], predicted, row) << 4);
  state.predicted = static_cast<std::int16_t>(predicted);
  state.step_index = static_cast<std::int8_t>(row - coder_rows.data());
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

}  // namespace portable

#if defined(__x86_64__)
namespace {

// ---------------------------------------------------------------------------
// The AVX-512 decoder, 32 samples at a time, for CPUs that have it (chosen at
// run time; the build itself assumes only x86-64). Neither chain is walked
// sample by sample:
// - the step index after each code is a clamp-add x -> clamp(x + a, lo, hi),
//   and clamp-adds compose into clamp-adds, so the indexes of 32 codes come
//   from a parallel prefix scan of those functions, applied to the carried
//   index at the end;
// - the predicted values are the carried value plus a prefix sum of the
//   signed differences, exact as long as no partial sum leaves the 16-bit
//   range. Where one does, the clamp would have bitten there: the samples
//   from that point to the end of the 32 are decoded by the scalar loop, from
//   the exact state before it.

constexpr int lanes = 32;

// Composes each lane's clamp-add with the one `shift` lanes earlier (which
// applies first); lanes below `shift` have nothing earlier and stay.
[[gnu::target("avx512f,avx512bw"), gnu::always_inline]] inline void compose(__m512i& add,
                                                                            __m512i& low,
                                                                            __m512i& high,
                                                                            int shift) {
  const __m512i from =
      _mm512_sub_epi16(_mm512_set_epi16(31, 30, 29, 28, 27, 26, 25, 24, 23, 22, 21, 20, 19, 18, 17,
                                        16, 15, 14, 13, 12, 11, 10, 9, 8, 7, 6, 5, 4, 3, 2, 1, 0),
                       _mm512_set1_epi16(static_cast<short>(shift)));
  const __mmask32 later = ~((1u << shift) - 1u);
  const __m512i earlier_add = _mm512_permutexvar_epi16(from, add);
  const __m512i earlier_low = _mm512_permutexvar_epi16(from, low);
  const __m512i earlier_high = _mm512_permutexvar_epi16(from, high);
  const __m512i new_low =
      _mm512_min_epi16(_mm512_max_epi16(_mm512_add_epi16(earlier_low, add), low), high);
  const __m512i new_high =
      _mm512_min_epi16(_mm512_max_epi16(_mm512_add_epi16(earlier_high, add), low), high);
  add = _mm512_mask_add_epi16(add, later, add, earlier_add);
  low = _mm512_mask_mov_epi16(low, later, new_low);
  high = _mm512_mask_mov_epi16(high, later, new_high);
}

// Inclusive prefix sum of 16 lanes.
[[gnu::target("avx512f"), gnu::always_inline]] inline __m512i prefix_sum(__m512i x) {
  const __m512i zero = _mm512_setzero_si512();
  x = _mm512_add_epi32(x, _mm512_alignr_epi32(x, zero, 15));
  x = _mm512_add_epi32(x, _mm512_alignr_epi32(x, zero, 14));
  x = _mm512_add_epi32(x, _mm512_alignr_epi32(x, zero, 12));
  return _mm512_add_epi32(x, _mm512_alignr_epi32(x, zero, 8));
}

[[gnu::target("avx512f,avx512bw"), gnu::always_inline]] inline __mmask32 has_bit(__m512i q,
                                                                                 short bit) {
  return _mm512_test_epi16_mask(q, _mm512_set1_epi16(bit));
}

// Lanes whose 32-bit sum lies outside -32768..32767.
[[gnu::target("avx512f"), gnu::always_inline]] inline __mmask32 outside_int16(__m512i sums) {
  return _mm512_cmpgt_epu32_mask(_mm512_add_epi32(sums, _mm512_set1_epi32(32768)),
                                 _mm512_set1_epi32(65535));
}

int code_at(const std::uint8_t* codes, std::size_t i) {
  return i % 2 == 0 ? codes[i / 2] >> 4 : codes[i / 2] & 0x0F;
}

[[gnu::target("avx512f,avx512bw,avx512vl,avx512dq,bmi")]] void avx512_decoder(
    const std::uint8_t* codes, std::int16_t* samples, std::size_t sample_count, AdpcmState& state) {
  alignas(64) static constexpr auto steps = [] {
    std::array<std::int16_t, 96> padded{};
    for (int i = 0; i <= max_index; ++i) padded[i] = static_cast<std::int16_t>(stepsizeTable[i]);
    return padded;
  }();
  alignas(64) static constexpr auto adjustments = [] {
    std::array<std::int16_t, 32> padded{};
    for (int q = 0; q < 16; ++q) padded[q] = static_cast<std::int16_t>(indexTable[q]);
    return padded;
  }();
  const __m512i steps_low = _mm512_load_si512(steps.data());
  const __m512i steps_middle = _mm512_load_si512(steps.data() + 32);
  const __m512i steps_high = _mm512_load_si512(steps.data() + 64);
  const __m512i adjustment = _mm512_load_si512(adjustments.data());
  const __m512i last_dword = _mm512_set1_epi32(15);
  const __m512i previous_word =
      _mm512_sub_epi16(_mm512_set_epi16(31, 30, 29, 28, 27, 26, 25, 24, 23, 22, 21, 20, 19, 18, 17,
                                        16, 15, 14, 13, 12, 11, 10, 9, 8, 7, 6, 5, 4, 3, 2, 1, 0),
                       _mm512_set1_epi16(1));

  // The carried state stays in vector registers, broadcast to every lane,
  // from one 32 to the next; it becomes scalar only at the end or where a
  // clamp bites.
  int predicted = state.predicted;
  int index = std::clamp<int>(state.step_index, 0, max_index);
  __m512i start = _mm512_set1_epi16(static_cast<short>(index));
  __m512i start_predicted = _mm512_set1_epi32(predicted);
  for (std::size_t at = 0; at < sample_count; at += lanes) {
    const std::size_t count = std::min<std::size_t>(lanes, sample_count - at);
    const __mmask32 valid = count == lanes ? ~__mmask32{0} : (__mmask32{1} << count) - 1;
    const __mmask16 bytes = static_cast<__mmask16>((1u << ((count + 1) / 2)) - 1);

    // The codes one to a word, in sample order: high nibble first.
    const __m256i packed = _mm256_cvtepu8_epi16(_mm_maskz_loadu_epi8(bytes, codes + at / 2));
    const __m256i split =
        _mm256_or_si256(_mm256_srli_epi16(packed, 4),
                        _mm256_slli_epi16(_mm256_and_si256(packed, _mm256_set1_epi16(15)), 8));
    const __m512i q = _mm512_cvtepu8_epi16(split);

    // Step indexes: prefix scan of the clamp-adds, applied to the carried one.
    __m512i add = _mm512_permutexvar_epi16(q, adjustment);
    __m512i low = _mm512_setzero_si512();
    __m512i high = _mm512_set1_epi16(max_index);
    for (const int shift : {1, 2, 4, 8, 16}) compose(add, low, high, shift);
    const __m512i after =
        _mm512_min_epi16(_mm512_max_epi16(_mm512_add_epi16(start, add), low), high);
    const __m512i before =
        _mm512_mask_permutexvar_epi16(start, ~__mmask32{1}, previous_word, after);

    // The step in force at each code, and the reconstruction difference.
    const __m512i step =
        _mm512_mask_blend_epi16(_mm512_cmpge_epi16_mask(before, _mm512_set1_epi16(64)),
                                _mm512_permutex2var_epi16(steps_low, before, steps_middle),
                                _mm512_permutexvar_epi16(before, steps_high));
    __m512i vpdiff = _mm512_srli_epi16(step, 3);
    vpdiff = _mm512_mask_add_epi16(vpdiff, has_bit(q, 4), vpdiff, step);
    vpdiff = _mm512_mask_add_epi16(vpdiff, has_bit(q, 2), vpdiff, _mm512_srli_epi16(step, 1));
    vpdiff = _mm512_mask_add_epi16(vpdiff, has_bit(q, 1), vpdiff, _mm512_srli_epi16(step, 2));
    const __mmask32 negative = has_bit(q, 8);

    // Up to 61438 in magnitude: summed in 32 bits, 16 lanes at a time.
    const __m512i zero = _mm512_setzero_si512();
    __m512i first = _mm512_cvtepu16_epi32(_mm512_castsi512_si256(vpdiff));
    __m512i second = _mm512_cvtepu16_epi32(_mm512_extracti64x4_epi64(vpdiff, 1));
    first = _mm512_mask_sub_epi32(first, static_cast<__mmask16>(negative), zero, first);
    second = _mm512_mask_sub_epi32(second, static_cast<__mmask16>(negative >> 16), zero, second);
    first = _mm512_add_epi32(prefix_sum(first), start_predicted);
    second = _mm512_add_epi32(prefix_sum(second), _mm512_permutexvar_epi32(last_dword, first));

    // Any partial sum outside the 16-bit range is where the clamp bites.
    const __mmask32 outside = valid & (outside_int16(first) | outside_int16(second) << 16);
    const __m512i decoded = _mm512_inserti64x4(_mm512_castsi256_si512(_mm512_cvtepi32_epi16(first)),
                                               _mm512_cvtepi32_epi16(second), 1);
    if (outside == 0) [[likely]] {
      _mm512_mask_storeu_epi16(samples + at, valid, decoded);
      const __m512i last = _mm512_set1_epi16(static_cast<short>(count - 1));
      start = _mm512_permutexvar_epi16(last, after);
      start_predicted =
          _mm512_cvtepi16_epi32(_mm512_castsi512_si256(_mm512_permutexvar_epi16(last, decoded)));
      continue;
    }
    // Exact up to the first sample that clamps; the scalar loop from there.
    const unsigned exact = static_cast<unsigned>(__builtin_ctz(outside));
    _mm512_mask_storeu_epi16(samples + at, (__mmask32{1} << exact) - 1, decoded);
    alignas(64) std::array<std::int16_t, lanes> indexes{};
    _mm512_store_si512(indexes.data(), before);
    index = indexes[exact];
    predicted = exact > 0 ? samples[at + exact - 1]
                          : _mm_cvtsi128_si32(_mm512_castsi512_si128(start_predicted));
    for (std::size_t i = at + exact; i < at + count; ++i)
      samples[i] = static_cast<std::int16_t>(apply_code(code_at(codes, i), predicted, index));
    start = _mm512_set1_epi16(static_cast<short>(index));
    start_predicted = _mm512_set1_epi32(predicted);
  }
  state.predicted =
      static_cast<std::int16_t>(_mm_cvtsi128_si32(_mm512_castsi512_si128(start_predicted)));
  state.step_index = static_cast<std::int8_t>(_mm_cvtsi128_si32(_mm512_castsi512_si128(start)));
}

}  // namespace
#endif

namespace {

using Decoder = void (*)(const std::uint8_t*, std::int16_t*, std::size_t, AdpcmState&);

struct DecoderChoice {
  Decoder decoder;
  const char* name;
};

DecoderChoice choose_decoder() {
#if defined(__x86_64__)
  __builtin_cpu_init();
  if (__builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512bw") &&
      __builtin_cpu_supports("avx512vl") && __builtin_cpu_supports("avx512dq") &&
      __builtin_cpu_supports("bmi"))
    return {avx512_decoder, "avx512"};
#endif
  return {portable::adpcm_decoder, "portable"};
}

const DecoderChoice& decoder_choice() {
  static const DecoderChoice chosen = choose_decoder();
  return chosen;
}

}  // namespace

void adpcm_coder(const std::int16_t* samples, std::uint8_t* codes, std::size_t sample_count,
                 AdpcmState& state) {
  portable::adpcm_coder(samples, codes, sample_count, state);
}

void adpcm_decoder(const std::uint8_t* codes, std::int16_t* samples, std::size_t sample_count,
                   AdpcmState& state) {
  decoder_choice().decoder(codes, samples, sample_count, state);
}

const char* adpcm_decoder_path() { return decoder_choice().name; }

}  // namespace voxaria
