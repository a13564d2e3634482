#include "resync.hpp"

#include <algorithm>
#include <array>
#include <cstdlib>

namespace voxaria {

namespace {

// Code 8, a "negative zero", at step index 0 leaves the prediction where it
// is; a coder never makes it there, since no whole difference lies between
// -7/4 and 0, so no stream but a mark holds it after 88 settling codes.
constexpr std::uint8_t mark_byte = 0x88;
constexpr std::size_t mark_first_byte = resync_settle_codes / 2;
constexpr std::size_t mark_end_byte = resync_mark_codes / 2;
// Codes of magnitude below 4 take the step index down by one each.
constexpr std::array<int, 8> settling_codes = {0, 1, 2, 3, 8, 9, 10, 11};
// The settling codes follow the room's sound this far, then steer to 0:
// at step index 0 they move the prediction by up to 4 a sample, so the 40
// left reach 0 from anything a quiet block leaves.
constexpr std::size_t follow_codes = 48;

int apply(int q, AdpcmState& state) {
  const auto byte = static_cast<std::uint8_t>(q << 4);
  std::int16_t sample = 0;
  scalar::adpcm_decoder(&byte, &sample, 1, state);
  return sample;
}

bool quiet(const std::int16_t* samples, std::size_t count) {
  return std::all_of(samples, samples + count,
                     [](std::int16_t s) { return std::abs(s) <= resync_quiet_peak; });
}

// Advances state by the settling code whose sample lands nearest the
// target, and returns that code.
int settle_toward(int target, AdpcmState& state) {
  int best = 0, best_distance = 1 << 30;
  AdpcmState best_state = state;
  for (int q : settling_codes) {
    AdpcmState trial = state;
    const int distance = std::abs(apply(q, trial) - target);
    if (distance < best_distance) best = q, best_distance = distance, best_state = trial;
  }
  state = best_state;
  return best;
}

// Writes the mark into codes and advances state through it; false when the
// prediction does not reach 0 in time.
bool code_mark(const std::int16_t* samples, std::uint8_t* codes, AdpcmState& state) {
  for (std::size_t i = 0; i < resync_settle_codes; ++i) {
    const int q = settle_toward(i < follow_codes ? samples[i] : 0, state);
    codes[i / 2] = static_cast<std::uint8_t>(i % 2 == 0 ? q << 4 : codes[i / 2] | q);
  }
  if (state.predicted != 0 || state.step_index != 0) return false;
  std::fill(codes + mark_first_byte, codes + mark_end_byte, mark_byte);
  return true;  // the negative zeros leave the state at (0, 0)
}

bool mark_at(const std::uint8_t* codes) {
  return std::all_of(codes, codes + mark_first_byte,
                     [](std::uint8_t b) { return (b & 0x44) == 0; }) &&
         std::all_of(codes + mark_first_byte, codes + mark_end_byte,
                     [](std::uint8_t b) { return b == mark_byte; });
}

// Where a block's mark may begin: a quiet stretch need not start the block.
constexpr std::array<std::size_t, 4> mark_starts = {0, 8, 16, 24};

// Where in the block a mark begins; sample_count when there is none.
std::size_t find_mark(const std::uint8_t* codes, std::size_t sample_count) {
  for (std::size_t start : mark_starts)
    if (start + resync_mark_codes <= sample_count && mark_at(codes + start / 2)) return start;
  return sample_count;
}

}  // namespace

bool is_resync_mark(const std::uint8_t* codes, std::size_t sample_count) {
  return find_mark(codes, sample_count) < sample_count;
}

bool resync_coder(const std::int16_t* samples, std::uint8_t* codes, std::size_t sample_count,
                  AdpcmState& state) {
  for (std::size_t start : mark_starts) {
    if (start + resync_mark_codes > sample_count || !quiet(samples + start, resync_mark_codes))
      continue;
    AdpcmState marked = state;
    adpcm_coder(samples, codes, start, marked);
    if (!code_mark(samples + start, codes + start / 2, marked)) continue;
    state = marked;
    const std::size_t end = start + resync_mark_codes;
    adpcm_coder(samples + end, codes + end / 2, sample_count - end, state);
    return true;
  }
  adpcm_coder(samples, codes, sample_count, state);
  return false;
}

void resync_decoder(const std::uint8_t* codes, std::int16_t* samples, std::size_t sample_count,
                    AdpcmState& state) {
  const std::size_t end = find_mark(codes, sample_count) + resync_mark_codes;
  if (end > sample_count) {
    adpcm_decoder(codes, samples, sample_count, state);
    return;
  }
  adpcm_decoder(codes, samples, end, state);
  state.predicted = 0;  // the step index is 0 already, whatever it was
  adpcm_decoder(codes + end / 2, samples + end, sample_count - end, state);
}

}  // namespace voxaria
