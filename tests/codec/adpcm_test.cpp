// The IMA ADPCM coder and decoder against hand-worked cases, against vectors
// made by an independent implementation (Python's audioop, see
// tests/data/make_adpcm_vectors.py), and against properties that must hold
// for any signal.

#include "adpcm.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <random>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

namespace voxaria {
namespace {

using Samples = std::vector<std::int16_t>;
using Codes = std::vector<std::uint8_t>;

constexpr std::size_t code_bytes(std::size_t sample_count) { return (sample_count + 1) / 2; }

// Codes with one guard byte past the end, so a write beyond it shows.
constexpr std::uint8_t guard = 0xA5;
constexpr std::int16_t guard_sample = 0x5A5A;

Codes code(const Samples& samples, AdpcmState& state) {
  Codes codes(code_bytes(samples.size()) + 1, guard);
  adpcm_coder(samples.data(), codes.data(), samples.size(), state);
  EXPECT_EQ(codes.back(), guard) << "coder wrote past its last byte";
  codes.pop_back();
  return codes;
}

Samples decode(const Codes& codes, std::size_t count, AdpcmState& state) {
  Samples samples(count + 1, guard_sample);
  adpcm_decoder(codes.data(), samples.data(), count, state);
  EXPECT_EQ(samples.back(), guard_sample) << "decoder wrote past its last sample";
  samples.pop_back();
  return samples;
}

// The 4-bit code of sample i, whatever the call boundaries were.
int nibble(const Codes& codes, std::size_t i) {
  return i % 2 == 0 ? codes[i / 2] >> 4 : codes[i / 2] & 0x0F;
}

::testing::AssertionResult same_state(const AdpcmState& actual, const AdpcmState& expected) {
  if (actual.predicted == expected.predicted && actual.step_index == expected.step_index)
    return ::testing::AssertionSuccess();
  return ::testing::AssertionFailure()
         << "state (" << actual.predicted << ", " << int{actual.step_index} << "), expected ("
         << expected.predicted << ", " << int{expected.step_index} << ")";
}

// ---------------------------------------------------------------------------
// Hand-worked cases

TEST(AdpcmHandVectors, CodesAMixedSignalFromTheZeroState) {
  AdpcmState state;
  EXPECT_EQ(code({1000, 1000, -1000, 0}, state), (Codes{0x77, 0xF1}));
  EXPECT_TRUE(same_state(state, {5, 23}));
}

TEST(AdpcmHandVectors, DecodesThoseCodesAndEndsInTheCodersState) {
  AdpcmState state;
  EXPECT_EQ(decode({0x77, 0xF1}, 4, state), (Samples{11, 41, -22, 5}));
  EXPECT_TRUE(same_state(state, {5, 23}));
}

TEST(AdpcmHandVectors, OddCountLeavesTheLastLowNibbleZero) {
  AdpcmState state;
  EXPECT_EQ(code({100, 200, 300}, state), (Codes{0x77, 0x70}));
  EXPECT_TRUE(same_state(state, {104, 24}));  // audioop agrees, last sample included
}

TEST(AdpcmHandVectors, SilenceCodesToZeroBytesAndStaysAtRest) {
  AdpcmState state;
  const Codes codes = code(Samples(257, 0), state);
  EXPECT_TRUE(std::all_of(codes.begin(), codes.end(), [](auto b) { return b == 0; }));
  EXPECT_TRUE(same_state(state, {0, 0}));
}

// A run at a rail must climb straight to it without wrapping round to the
// other side. Code 0 still adds an eighth of a step, so at the bottom rail
// the prediction bobs just above it until the step has shrunk, and then rests
// on it (audioop does the same). Checked after every sample, on both sides
// of the codec.
void expect_run_settles_on(std::int16_t rail) {
  constexpr int largest_bob = 32767 / 8;
  AdpcmState coder;
  AdpcmState decoder;
  bool arrived = false;
  int previous_distance = std::abs(rail);
  for (int i = 0; i < 200; ++i) {
    SCOPED_TRACE("sample " + std::to_string(i));
    const Codes one = code({rail}, coder);
    const int distance = std::abs(rail - coder.predicted);
    if (!arrived) {
      ASSERT_LE(distance, previous_distance)
          << "the prediction moved away before reaching the rail";
    } else {
      ASSERT_LE(distance, largest_bob) << "the prediction left the rail";
    }
    arrived = arrived || distance == 0;
    previous_distance = distance;
    const Samples out = decode(one, 1, decoder);
    ASSERT_EQ(out[0], coder.predicted);
  }
  EXPECT_TRUE(arrived);
  EXPECT_TRUE(same_state(coder, {rail, 0}));
  EXPECT_TRUE(same_state(decoder, coder));
}

TEST(AdpcmHandVectors, RunAtTheTopRailStopsAt32767) { expect_run_settles_on(32767); }

TEST(AdpcmHandVectors, RunAtTheBottomRailStopsAtMinus32768) { expect_run_settles_on(-32768); }

TEST(AdpcmHandVectors, ZeroCountTouchesNothing) {
  const AdpcmState start{-1234, 40};
  AdpcmState state = start;
  const std::int16_t sample = 777;
  std::uint8_t byte = guard;
  adpcm_coder(&sample, &byte, 0, state);
  EXPECT_EQ(byte, guard);
  EXPECT_TRUE(same_state(state, start));

  std::int16_t out = guard_sample;
  adpcm_decoder(&byte, &out, 0, state);
  EXPECT_EQ(out, guard_sample);
  EXPECT_TRUE(same_state(state, start));
}

// ---------------------------------------------------------------------------
// Reference vectors (format described in tests/data/make_adpcm_vectors.py)

struct Vector {
  int line = 0;
  char op = 'C';
  bool carried = false;  // starts from the state the previous line left
  AdpcmState start;
  std::size_t count = 0;
  Samples samples;  // coder input or decoder output
  Codes codes;      // coder output or decoder input
  AdpcmState end;
};

// Fixed-width hexadecimal, two digits a byte; "-" is empty.
template <typename T>
std::vector<T> parse_hex(const std::string& hex) {
  constexpr std::size_t digits = 2 * sizeof(T);
  std::vector<T> out;
  if (hex == "-") return out;
  for (std::size_t i = 0; i + digits <= hex.size(); i += digits)
    out.push_back(static_cast<T>(std::stoul(hex.substr(i, digits), nullptr, 16)));
  return out;
}

AdpcmState parse_state(int predicted, int index) {
  return {static_cast<std::int16_t>(predicted), static_cast<std::int8_t>(index)};
}

Vector parse_vector(const std::string& text, int line) {
  std::istringstream in(text);
  Vector v;
  v.line = line;
  std::string start, input, output;
  int end_predicted = 0, end_index = 0;
  in >> v.op >> start >> v.count >> input >> output >> end_predicted >> end_index;
  if (!in || (v.op != 'C' && v.op != 'D'))
    throw std::runtime_error("bad vector at line " + std::to_string(line));
  v.carried = start == "*";
  if (!v.carried) {
    const auto comma = start.find(',');
    v.start = parse_state(std::stoi(start.substr(0, comma)), std::stoi(start.substr(comma + 1)));
  }
  v.samples = parse_hex<std::int16_t>(v.op == 'C' ? input : output);
  v.codes = parse_hex<std::uint8_t>(v.op == 'C' ? output : input);
  v.end = parse_state(end_predicted, end_index);
  return v;
}

const std::vector<Vector>& reference_vectors() {
  static const std::vector<Vector> vectors = [] {
    std::vector<Vector> out;
    std::ifstream file(VOXARIA_TEST_DATA "/adpcm_vectors.txt");
    std::string text;
    for (int line = 1; std::getline(file, text); ++line)
      if (!text.empty() && text[0] != '#') out.push_back(parse_vector(text, line));
    return out;
  }();
  return vectors;
}

std::string where(const Vector& v) {
  return std::string("adpcm_vectors.txt line ") + std::to_string(v.line) + " (" + v.op + ", " +
         std::to_string(v.count) + " samples)";
}

// Runs every vector of one kind, carrying the state along streams the way a
// call does, and returns how many ran.
template <typename Check>
int run_vectors(char op, Check check) {
  int ran = 0;
  AdpcmState carried;
  for (const Vector& v : reference_vectors()) {
    if (v.op != op) continue;
    SCOPED_TRACE(where(v));
    if (v.samples.size() != v.count || v.codes.size() != code_bytes(v.count)) {
      ADD_FAILURE() << "vector lengths do not match its count";
      continue;
    }
    AdpcmState state = v.carried ? carried : v.start;
    check(v, state);
    EXPECT_TRUE(same_state(state, v.end));
    carried = v.end;  // a mismatch is reported once, not along the whole stream
    ++ran;
  }
  return ran;
}

TEST(AdpcmReference, FileHoldsEveryKindOfVector) {
  const auto& vectors = reference_vectors();
  ASSERT_FALSE(vectors.empty()) << "cannot read " VOXARIA_TEST_DATA "/adpcm_vectors.txt";
  for (const char op : {'C', 'D'}) {
    SCOPED_TRACE(std::string("op ") + op);
    const auto of_op = [op](const Vector& v) { return v.op == op; };
    EXPECT_GE(std::count_if(vectors.begin(), vectors.end(), of_op), 100);
    EXPECT_TRUE(std::any_of(vectors.begin(), vectors.end(),
                            [&](const Vector& v) { return of_op(v) && v.carried; }));
    EXPECT_TRUE(std::any_of(vectors.begin(), vectors.end(),
                            [&](const Vector& v) { return of_op(v) && v.count % 2 == 1; }));
  }
}

TEST(AdpcmReference, CoderMatchesEveryVector) {
  const int ran = run_vectors(
      'C', [](const Vector& v, AdpcmState& state) { EXPECT_EQ(code(v.samples, state), v.codes); });
  EXPECT_GT(ran, 0);
}

TEST(AdpcmReference, DecoderMatchesEveryVector) {
  const int ran = run_vectors('D', [](const Vector& v, AdpcmState& state) {
    EXPECT_EQ(decode(v.codes, v.count, state), v.samples);
  });
  EXPECT_GT(ran, 0);
}

// ---------------------------------------------------------------------------
// Properties on random signals

std::uint32_t test_seed() {
  if (const char* text = std::getenv("VOXARIA_SEED"))
    return static_cast<std::uint32_t>(std::stoul(text));
  return std::random_device{}();
}

// A slow signal: a random walk whose slope changes by a little each sample.
Samples slow_signal(std::mt19937& rng, std::size_t n, int max_slope) {
  std::uniform_int_distribution<int> nudge(-max_slope / 8, max_slope / 8);
  Samples out;
  int value = std::uniform_int_distribution<int>(-8000, 8000)(rng);
  int slope = 0;
  for (std::size_t i = 0; i < n; ++i) {
    slope = std::clamp(slope + nudge(rng), -max_slope, max_slope);
    if (std::abs(value + slope) > 20000) slope = -slope;
    value += slope;
    out.push_back(static_cast<std::int16_t>(value));
  }
  return out;
}

// Splits n samples into calls of random sizes, odd ones included.
std::vector<std::size_t> random_calls(std::mt19937& rng, std::size_t n) {
  std::uniform_int_distribution<std::size_t> size(0, 300);
  std::vector<std::size_t> calls;
  for (std::size_t left = n; left > 0;) {
    calls.push_back(std::min(left, size(rng)));
    left -= calls.back();
  }
  return calls;
}

TEST(AdpcmProperties, DecoderTracksTheCoderAcrossCallsAndFollowsSlowSignals) {
  const std::uint32_t seed = test_seed();
  SCOPED_TRACE("seed " + std::to_string(seed) +
               " (rerun with VOXARIA_SEED=" + std::to_string(seed) + ")");
  std::mt19937 rng(seed);
  std::uniform_int_distribution<int> any_sample(-32768, 32767), any_index(0, 88);
  std::uniform_int_distribution<int> slope(8, 400);

  for (int trial = 0; trial < 200; ++trial) {
    SCOPED_TRACE("trial " + std::to_string(trial));
    const AdpcmState start = parse_state(any_sample(rng), any_index(rng));
    const int max_slope = slope(rng);
    const Samples input = slow_signal(rng, 1200, max_slope);

    // One call for the whole signal ...
    AdpcmState whole = start;
    const Codes all_codes = code(input, whole);

    // ... gives the same codes and the same state as many calls in a row,
    // and the decoder fed those codes call by call stays in step.
    AdpcmState coder = start, decoder = start;
    Samples output;
    std::size_t at = 0;
    for (const std::size_t n : random_calls(rng, input.size())) {
      const Samples part(input.begin() + static_cast<std::ptrdiff_t>(at),
                         input.begin() + static_cast<std::ptrdiff_t>(at + n));
      const Codes codes = code(part, coder);
      for (std::size_t i = 0; i < n; ++i) {
        ASSERT_EQ(nibble(codes, i), nibble(all_codes, at + i)) << "sample " << at + i;
      }
      const Samples decoded = decode(codes, n, decoder);
      ASSERT_TRUE(same_state(decoder, coder)) << "after sample " << at + n;
      if (n > 0) {
        ASSERT_EQ(decoded.back(), coder.predicted);
      }
      output.insert(output.end(), decoded.begin(), decoded.end());
      at += n;
    }
    ASSERT_TRUE(same_state(coder, whole));

    // Once the step has adapted from the random start, the output stays
    // within a few steps of the input; the step follows the slope, so the
    // bound is a small multiple of it.
    constexpr std::size_t settling = 100;
    const int bound = 4 * max_slope + 64;
    for (std::size_t i = settling; i < input.size(); ++i) {
      ASSERT_LE(std::abs(output[i] - input[i]), bound)
          << "sample " << i << " of a signal with slope up to " << max_slope;
    }
  }
}

// A state from outside the step table (the table has 89 steps; an int8_t
// holds more) is taken as the nearest end of it, on both sides of the codec,
// rather than read past the table.
TEST(AdpcmProperties, AStepIndexOutsideTheTableIsTakenAsItsNearestEnd) {
  const std::uint32_t seed = test_seed();
  SCOPED_TRACE("seed " + std::to_string(seed) +
               " (rerun with VOXARIA_SEED=" + std::to_string(seed) + ")");
  std::mt19937 rng(seed);
  std::uniform_int_distribution<int> any_sample(-32768, 32767), any_byte(0, 255);
  for (const int outside : {-128, -1, 89, 100, 127}) {
    SCOPED_TRACE("step index " + std::to_string(outside));
    const int predicted = any_sample(rng);
    const AdpcmState odd = parse_state(predicted, outside);
    const AdpcmState end = parse_state(predicted, outside < 0 ? 0 : 88);
    Samples noise(301);
    for (auto& x : noise) x = static_cast<std::int16_t>(any_sample(rng));
    Codes random_codes(code_bytes(noise.size()));
    for (auto& b : random_codes) b = static_cast<std::uint8_t>(any_byte(rng));

    AdpcmState from_odd = odd, from_end = end;
    EXPECT_EQ(code(noise, from_odd), code(noise, from_end));
    EXPECT_TRUE(same_state(from_odd, from_end));
    from_odd = odd, from_end = end;
    EXPECT_EQ(decode(random_codes, noise.size(), from_odd),
              decode(random_codes, noise.size(), from_end));
    EXPECT_TRUE(same_state(from_odd, from_end));
  }
}

}  // namespace
}  // namespace voxaria
