#include "resync.hpp"

#include <algorithm>
#include <array>
#include <cstdlib>
#include <optional>
#include <utility>

#include "hang_up.hpp"

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

void put_code(std::uint8_t* codes, std::size_t i, int q) {
  codes[i / 2] = static_cast<std::uint8_t>(i % 2 == 0 ? q << 4 : codes[i / 2] | q);
}

// Advances state by the settling code whose sample lands nearest the
// target, and returns that code.
int settle_toward(int target, AdpcmState& state) {
  int best = 0, best_distance = 1 << 30;
  AdpcmState best_state = state;
  for (int q : settling_codes) {
    AdpcmState trial = state;
    const int distance = std::abs(adpcm_apply(q, trial) - target);
    if (distance < best_distance) best = q, best_distance = distance, best_state = trial;
  }
  state = best_state;
  return best;
}

// Writes the mark into codes and advances state through it; false when the
// prediction does not reach 0 in time.
bool code_mark(const std::int16_t* samples, std::uint8_t* codes, AdpcmState& state) {
  for (std::size_t i = 0; i < resync_settle_codes; ++i) {
    put_code(codes, i, settle_toward(i < follow_codes ? samples[i] : 0, state));
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

// Every block without a mark also says where the talker's coder stood as it
// began: its step index (7 bits) and its prediction to within 128 (9 bits),
// one bit in the parity of the lowest bits of each 8 codes. The coder picks,
// where a group's parity is wrong, the one changed code that costs least
// (often less than the plain codes: one code's choice at a time is not the
// best). A listener takes the word once it has found it true four times
// more than wrong, so it is back in step one block after a loss; a plain
// block's parities match the listener's state by chance once in 65536, so
// a talker that sends no word is not trusted.
constexpr std::size_t word_groups = 16, group_codes = 8;
constexpr std::size_t word_codes = word_groups * group_codes;
// The word: the step index above 9 bits of prediction in steps of 128.
constexpr unsigned index_shift = 9, bucket_width = 128;
constexpr int deepest_index = 88;
// Whitened so that all-even parities, which a stream of one repeated code
// gives, name no step index.
constexpr unsigned whitening = (deepest_index + 2u) << index_shift | 0x0E1;
constexpr int trusted = 4, most_trust = 16;
// Two words in a row that agree with the word before each: a stream without
// words does so by chance about once in 10^8 blocks.
constexpr int agreeing_words = 2;

unsigned state_word(const AdpcmState& state) {
  return static_cast<unsigned>(state.step_index) << index_shift |
         static_cast<unsigned>(state.predicted + 32768) / bucket_width;
}

using Group = std::array<int, group_codes>;

int parity(const Group& q) {
  int p = 0;
  for (int c : q) p ^= c & 1;
  return p;
}

long squared(long e) { return e * e; }

// Codes samples from..7 of a group plainly; returns their squared error.
long code_rest(const std::int16_t* x, std::size_t from, Group& q, AdpcmState& state) {
  long error = 0;
  for (std::size_t i = from; i < group_codes; ++i) {
    q[i] = adpcm_code_for(x[i], state);
    error += squared(adpcm_apply(q[i], state) - x[i]);
  }
  return error;
}

// Codes a group of 8 samples whose codes' lowest bits add up to want: the
// plain codes if they do, else the cheapest with one code changed to one of
// the other parity and the rest coded plainly after it. Never code 8 at step
// index 0: that belongs to marks.
Group code_group(const std::int16_t* x, int want, AdpcmState& state) {
  // The plain codes, with the state and the error so far before each.
  Group plain{};
  std::array<AdpcmState, group_codes + 1> at{};
  std::array<long, group_codes + 1> before{};
  at[0] = state;
  for (std::size_t i = 0; i < group_codes; ++i) {
    at[i + 1] = at[i];
    plain[i] = adpcm_code_for(x[i], at[i]);
    before[i + 1] = before[i] + squared(adpcm_apply(plain[i], at[i + 1]) - x[i]);
  }
  if (parity(plain) == want) {
    state = at[group_codes];
    return plain;
  }
  Group best{};
  long best_error = -1;
  for (std::size_t j = 0; j < group_codes; ++j) {
    for (int q = (plain[j] & 1) ^ 1; q < 16; q += 2) {
      if (q == 8 && at[j].step_index == 0) continue;
      AdpcmState s = at[j];
      const long here = before[j] + squared(adpcm_apply(q, s) - x[j]);
      if (best_error >= 0 && here >= best_error) continue;  // the rest only adds
      Group trial = plain;
      trial[j] = q;
      const long error = here + code_rest(x, j + 1, trial, s);
      if (parity(trial) != want || (best_error >= 0 && error >= best_error)) continue;
      best = trial, best_error = error, state = s;
    }
  }
  return best;
}

void code_with_word(const std::int16_t* samples, std::uint8_t* codes, AdpcmState& state) {
  const unsigned word = state_word(state) ^ whitening;
  for (std::size_t g = 0; g < word_groups; ++g) {
    const Group q = code_group(samples + g * group_codes, static_cast<int>(word >> g & 1), state);
    for (std::size_t i = 0; i < group_codes; ++i) put_code(codes, g * group_codes + i, q[i]);
  }
}

unsigned read_word(const std::uint8_t* codes) {
  unsigned word = 0;
  for (std::size_t g = 0; g < word_groups; ++g) {
    unsigned p = 0;
    for (std::size_t b = 0; b < group_codes / 2; ++b) {
      const std::uint8_t byte = codes[g * group_codes / 2 + b];
      p ^= (byte >> 4 ^ byte) & 1u;
    }
    word |= p << g;
  }
  return word ^ whitening;
}

// Where the codes take a coder that began in the state the word names (its
// prediction at the middle of the word's 128): the step index exactly, the
// prediction within 64, as the codes move both alike.
AdpcmState foresee(const std::uint8_t* codes, std::size_t sample_count, AdpcmState named) {
  for (std::size_t i = 0; i < sample_count; ++i)
    adpcm_apply(i % 2 == 0 ? codes[i / 2] >> 4 : codes[i / 2] & 0x0F, named);
  return named;
}

// Takes the talker's word for where its coder stood, once it has been true
// often enough, or once two words in a row have agreed with the ones before
// them; a wrong step index costs trust, a word naming none all of it.
void follow_word(const std::uint8_t* codes, std::size_t sample_count, Listener& listener) {
  AdpcmState& state = listener.state;
  int& trust = listener.trust;
  const unsigned word = read_word(codes);
  const int index = static_cast<int>(word >> index_shift);
  const int low = static_cast<int>((word & ((1u << index_shift) - 1)) * bucket_width) - 32768;
  const int high = low + static_cast<int>(bucket_width) - 1;
  if (index > deepest_index) {
    trust = 0;
    listener.foresees = false;
    listener.agreeing = 0;
    return;
  }
  const AdpcmState named{static_cast<std::int16_t>(low + static_cast<int>(bucket_width) / 2),
                         static_cast<std::int8_t>(index)};
  const bool agrees = listener.foresees && listener.foreseen.step_index == index &&
                      std::abs(listener.foreseen.predicted - named.predicted) <= int{bucket_width};
  listener.agreeing = agrees ? listener.agreeing + 1 : 0;
  // Words that prove one another prove the talker sends them.
  if (listener.agreeing >= agreeing_words) trust = std::max(trust, trusted);
  listener.foreseen = foresee(codes, sample_count, named);
  listener.foresees = true;
  const bool same_index = index == state.step_index;
  if (same_index && state.predicted >= low && state.predicted <= high) {
    trust = std::min(trust + 1, most_trust);
    return;
  }
  if (trust >= trusted) {
    state.step_index = static_cast<std::int8_t>(index);
    state.predicted = static_cast<std::int16_t>(std::clamp(int{state.predicted}, low, high));
  }
  if (!same_index) trust = std::max(trust - 1, 0);
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

void code_settling_to_zero(std::uint8_t* codes, AdpcmState& state) {
  for (std::size_t i = 0; i < resync_settle_codes; ++i) put_code(codes, i, settle_toward(0, state));
}

bool is_resync_mark(const std::uint8_t* codes, std::size_t sample_count) {
  return find_mark(codes, sample_count) < sample_count;
}

Listener decode;

bool is_quiet(const std::int16_t* samples, std::size_t count) {
  return std::all_of(samples, samples + count,
                     [](std::int16_t s) { return std::abs(s) <= resync_quiet_peak; });
}

bool resync_coder(const std::int16_t* samples, std::uint8_t* codes, std::size_t sample_count,
                  AdpcmState& state) {
  for (std::size_t start : mark_starts) {
    if (start + resync_mark_codes > sample_count || !is_quiet(samples + start, resync_mark_codes))
      continue;
    AdpcmState marked = state;
    adpcm_coder(samples, codes, start, marked);
    if (!code_mark(samples + start, codes + start / 2, marked)) continue;
    const std::size_t end = start + resync_mark_codes;
    adpcm_coder(samples + end, codes + end / 2, sample_count - end, marked);
    // A late mark's settling may, in theory, end in negative zeros: a
    // block of speech must never read as a hang-up.
    if (sample_count == hang_up_bytes * 2 && is_hang_up(codes)) continue;
    state = marked;
    return true;
  }
  if (sample_count < word_codes) {
    adpcm_coder(samples, codes, sample_count, state);
    return false;
  }
  code_with_word(samples, codes, state);
  adpcm_coder(samples + word_codes, codes + word_codes / 2, sample_count - word_codes, state);
  return false;
}

namespace {

// The state the word of an unmarked block names; none where it names none.
std::optional<std::pair<int, int>> named_bucket(const std::uint8_t* codes,
                                                std::size_t sample_count) {
  if (sample_count < word_codes || find_mark(codes, sample_count) < sample_count) return {};
  const unsigned word = read_word(codes);
  const int index = static_cast<int>(word >> index_shift);
  if (index > deepest_index) return {};
  return std::pair{index, static_cast<int>(word & ((1u << index_shift) - 1))};
}

}  // namespace

// Near enough to be the same place in the stream: a listener that took the
// talker's word after a loss keeps an offset below 128 until the next mark,
// which may put its prediction in the next bucket.
bool near(const std::pair<int, int>& named, const AdpcmState& state) {
  const int middle = named.second * static_cast<int>(bucket_width) - 32768 + 64;
  return named.first == state.step_index &&
         std::abs(state.predicted - middle) < 64 + static_cast<int>(bucket_width);
}

bool lost_before(const std::uint8_t* codes, std::size_t sample_count, const Listener& listener) {
  const auto named = named_bucket(codes, sample_count);
  return named && listener.trust >= trusted && !near(*named, listener.state) &&
         !near(*named, listener.began);
}

bool follows_on(const std::uint8_t* codes, std::size_t sample_count, const Listener& listener) {
  const auto named = named_bucket(codes, sample_count);
  return named && near(*named, listener.state);
}

void resync_decoder(const std::uint8_t* codes, std::int16_t* samples, std::size_t sample_count,
                    Listener& listener) {
  AdpcmState& state = listener.state;
  listener.began = state;
  const std::size_t end = find_mark(codes, sample_count) + resync_mark_codes;
  if (end > sample_count) {
    if (sample_count >= word_codes) follow_word(codes, sample_count, listener);
    adpcm_decoder(codes, samples, sample_count, state);
    return;
  }
  listener.foresees = false;
  adpcm_decoder(codes, samples, end, state);
  // The talker's prediction is 0 where the mark ends: what this listener
  // has there is how far off it was, which the samples up to there lose.
  // Nothing changes for a listener in step.
  if (const int off = state.predicted; off != 0)
    for (std::size_t i = 0; i < end; ++i)
      samples[i] = static_cast<std::int16_t>(std::clamp(samples[i] - off, -32768, 32767));
  state.predicted = 0;  // the step index is 0 already, whatever it was
  adpcm_decoder(codes + end / 2, samples + end, sample_count - end, state);
}

}  // namespace voxaria
