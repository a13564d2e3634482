#include "loss_recovery.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdlib>
#include <limits>

namespace voxaria {

namespace {

constexpr int index_count = 89;
constexpr std::size_t block = 128;

std::int16_t clamp_sample(int value) {
  return static_cast<std::int16_t>(std::clamp(value, -32768, 32767));
}

// Levels are counted in steps of the step-size table (a factor of about 1.1
// each), so that a level difference reads as a step-index difference.
const double step_ratio_log = std::log(1.1);
double level_of(const std::int16_t* samples, double& mean) {
  double sum = 0;
  for (std::size_t i = 0; i < block; ++i) sum += samples[i];
  mean = sum / block;
  double power = 0;
  for (std::size_t i = 0; i < block; ++i) power += (samples[i] - mean) * (samples[i] - mean);
  return std::log(std::max(power / block, 1.0)) / (2 * step_ratio_log);
}

// What the talker's sound is known to be, learnt from blocks decoded in step.
double floor_level = std::numeric_limits<double>::infinity();  // their room, in pauses
constexpr double floor_rise = 0.02;  // per block: the floor follows a louder room slowly
double ceiling_level = -std::numeric_limits<double>::infinity();  // their loudest
constexpr double ceiling_fall = 0.005;
// Sound is heard around zero: a sound card takes out its microphone's own
// offset, and what the decoder learns of the mean may itself be shifted by
// a loss before it.
constexpr double talker_mean = 0;
double last_level = 0;    // the block before a gap
bool pause_seen = false;  // the squelch paused since the gap: the room was heard
bool confirmed = false;   // the sound showed the decoder out of step
int blocks_learnt = 0;
bool room_heard = false;  // the squelch paused once: the floor is the room's
// Enough to judge a block by: a quarter of a second of the talker, and the
// end of one of their talk spurts.
constexpr int blocks_to_learn = 16;
bool learnt() { return room_heard && blocks_learnt >= blocks_to_learn; }

// The talker's squelch, followed from their blocks: it leaves a block unsent
// only when its quiet count reaches the limit, which needs the count at the
// limit less one before it, and a loud block lowers the count. So a gap
// after a run that brought the count down for certain cannot be the squelch:
// it is a lost datagram. Loud here means loud beyond doubt, above the
// squelch's following floor and its cut-off as the talker's card measures
// them, with margins for what this side can only estimate.
constexpr double floor_decay = 0.963;  // as the talker's squelch follows its floor
constexpr double floor_gain = 0.03;
constexpr double floor_bias = 1;
constexpr double cutoff_margin = 100;      // above the mean room sample
constexpr double loud_margin = 1.1;        // the decode is the talker's sound
constexpr double recovering_margin = 1.5;  // it is the best guess at it
constexpr int quiet_limit = 15;
double squelch_floor = 0;           // the talker's floor, as it may at most be
double room_average = 1e9;          // mean absolute sample in their pauses
int quiet_count = quiet_limit - 1;  // their quiet count, as it may at most be

double mean_absolute(const std::int16_t* samples) {
  double sum = 0;
  for (std::size_t i = 0; i < block; ++i) sum += std::abs(samples[i]);
  return sum / block;
}

// The last blocks decoded, newest first: a gap is known only a few blocks
// after it, once the arrivals that follow show that it was not a late
// datagram.
struct Past {
  double level = 0;
  double floor_before = std::numeric_limits<double>::infinity();
  int quiet_count_before = quiet_limit - 1;
  bool loud = false;
};
constexpr int remembered = max_gap_blocks_ago + 1;
std::array<Past, remembered> past{};

bool count_quiet(bool loud) {
  quiet_count = loud ? std::max(quiet_count - 1, 0) : std::min(quiet_count + 1, quiet_limit - 1);
  return loud;
}

void follow_squelch(const std::int16_t* samples, double level, double floor_before) {
  const double average = mean_absolute(samples);
  room_average = std::min(room_average * 1.002, average);
  const double margin = recovering() ? recovering_margin : loud_margin;
  const int before = quiet_count;
  const bool loud = count_quiet(average > margin * squelch_floor &&
                                average > margin * (cutoff_margin + room_average));
  squelch_floor = squelch_floor * floor_decay + average * floor_gain + floor_bias;
  for (int i = remembered - 1; i > 0; --i)
    past[static_cast<std::size_t>(i)] = past[static_cast<std::size_t>(i - 1)];
  past[0] = Past{level, floor_before, before, loud};
}

// Over a pause the squelch's count stays at the limit less one, and its floor
// moves towards the room: it is at most where it was or where it settles in
// the talker's room, whichever is higher. Re-counts the blocks since.
void squelch_paused(int blocks_ago) {
  if (recovering()) pause_seen = true;
  room_heard = room_heard || blocks_learnt > 0;
  quiet_count = quiet_limit - 1;
  squelch_floor =
      std::max(squelch_floor, (room_average * floor_gain + floor_bias) / (1 - floor_decay));
  for (int i = blocks_ago - 1; i >= 0; --i) count_quiet(past[static_cast<std::size_t>(i)].loud);
}

// Whether the squelch may have left out the block before the one decoded
// blocks_ago blocks back.
bool squelch_may_have_paused(int blocks_ago) {
  return past[static_cast<std::size_t>(blocks_ago - 1)].quiet_count_before >= quiet_limit - 1;
}

// After a recovery the step index may still be a step or two off, and then
// the decoder's reconstruction differs from the coder's by a little at every
// sample, which adds up to a wandering offset: from then on the prediction is
// drawn back towards zero, slowly enough (a quarter of a second)
// to leave speech alone.
bool in_doubt = false;
constexpr int servo_blocks = 16;

void hold_offset(const std::int16_t* samples) {
  double mean = 0;
  for (std::size_t i = 0; i < block; ++i) mean += samples[i];
  mean /= block;
  const int shift = static_cast<int>(std::lround((mean - talker_mean) / servo_blocks));
  decode.predicted = clamp_sample(decode.predicted - shift);
}

double learn(const std::int16_t* samples) {
  double mean = 0;
  const double level = level_of(samples, mean);
  floor_level = std::min(floor_level + floor_rise, level);
  ceiling_level = std::max(ceiling_level - ceiling_fall, level);
  ++blocks_learnt;
  return level;
}

// The recovery under way: one decoder per step index the coder could have
// had after the lost block, all fed the same codes since the gap.
struct Candidate {
  AdpcmState state;
  double first_level = 0;
  double lowest_level = 0;
  double highest_level = 0;
  double sum = 0;  // of every sample decoded since the gap
};
std::array<Candidate, index_count> candidates{};
bool under_way = false;
int blocks_weighed = 0;
int index_before_gap = 0;
constexpr int weighing_blocks = 31;  // half a second

// How much each kind of evidence counts, as the spread (in steps) that the
// truth is expected to keep from it.
constexpr double continuity_spread = 8;  // level of the blocks either side of the gap
constexpr double prior_spread = 6;       // the step index before the gap
constexpr double bound_spread = 0.7;     // no block quieter than the room, none louder than ever
constexpr double floor_margin = 2;
constexpr double ceiling_margin = 3;
constexpr double pause_spread = 1.5;  // the quietest block is the room

double cost(const Candidate& c, int start_index) {
  auto square = [](double x) { return x * x; };
  double total = square((c.first_level - last_level) / continuity_spread) +
                 square((start_index - index_before_gap) / prior_spread);
  const double lowest_allowed = floor_level - floor_margin;
  if (c.lowest_level < lowest_allowed)
    total += square((c.lowest_level - lowest_allowed) / bound_spread);
  const double highest_allowed = ceiling_level + ceiling_margin;
  if (c.highest_level > highest_allowed)
    total += square((c.highest_level - highest_allowed) / bound_spread);
  if (pause_seen) total += square((c.lowest_level - floor_level) / pause_spread);
  return total;
}

// Whether the decoder, run on as it was, sounds as no talker can: shifted
// from their mean by more than speech moves it over a few blocks. (Quieter
// than their room is no sign: a room falls silent when a sound layer's
// source stops.)
constexpr int blocks_for_offset = 4;
constexpr double offset_gate = 800;

bool out_of_step(const Candidate& unchanged) {
  if (blocks_weighed < blocks_for_offset) return false;
  return std::abs(unchanged.sum / (blocks_weighed * static_cast<double>(block)) - talker_mean) >
         offset_gate;
}

void start_recovery(int blocks_ago) {
  confirmed = false;
  last_level = past[static_cast<std::size_t>(blocks_ago)].level;
  // What was learnt from the blocks decoded out of step is forgotten.
  floor_level = past[static_cast<std::size_t>(blocks_ago - 1)].floor_before;
  index_before_gap = decode.step_index;
  for (int i = 0; i < index_count; ++i)
    candidates[static_cast<std::size_t>(i)] =
        Candidate{AdpcmState{decode.predicted, static_cast<std::int8_t>(i)}, 0, 0, 0, 0};
  blocks_weighed = 0;
  pause_seen = false;
  under_way = true;
}

// Decodes the block with every candidate; plays the best one, less its offset
// from zero, and hands its state, shifted alike, to the stream's
// decoder.
std::array<std::array<std::int16_t, block>, index_count> decoded{};

void weigh(const std::uint8_t* codes, std::int16_t* samples) {
  ++blocks_weighed;
  int best = 0;
  double best_cost = std::numeric_limits<double>::infinity();
  for (int i = 0; i < index_count; ++i) {
    Candidate& c = candidates[static_cast<std::size_t>(i)];
    auto& out = decoded[static_cast<std::size_t>(i)];
    scalar::adpcm_decoder(codes, out.data(), block, c.state);
    double mean = 0;
    const double level = level_of(out.data(), mean);
    c.sum += mean * block;
    c.lowest_level = blocks_weighed == 1 ? level : std::min(c.lowest_level, level);
    c.highest_level = blocks_weighed == 1 ? level : std::max(c.highest_level, level);
    if (blocks_weighed == 1) c.first_level = level;
    const double this_cost = cost(c, i);
    if (this_cost < best_cost) best_cost = this_cost, best = i;
  }
  const Candidate& unchanged = candidates[static_cast<std::size_t>(index_before_gap)];
  if (!confirmed) confirmed = out_of_step(unchanged);
  if (!confirmed) {
    // Until the sound shows the decoder out of step, it plays what it would
    // have played anyway: a talker's card or sound layer can skip a block
    // of time without a datagram going missing.
    std::copy_n(decoded[static_cast<std::size_t>(index_before_gap)].begin(), block, samples);
    decode = unchanged.state;
    if (blocks_weighed >= weighing_blocks) under_way = false;
    return;
  }
  const Candidate& chosen = candidates[static_cast<std::size_t>(best)];
  const double offset = chosen.sum / (blocks_weighed * static_cast<double>(block)) - talker_mean;
  const int shift = static_cast<int>(std::lround(offset));
  const auto& out = decoded[static_cast<std::size_t>(best)];
  for (std::size_t i = 0; i < block; ++i) samples[i] = clamp_sample(out[i] - shift);
  decode = AdpcmState{clamp_sample(chosen.state.predicted - shift), chosen.state.step_index};
  if (blocks_weighed >= weighing_blocks) under_way = false;
  in_doubt = true;
}

}  // namespace

void decode_received(const std::uint8_t* codes, std::int16_t* samples, int gap_blocks_ago) {
  if (gap_blocks_ago > 0 && gap_blocks_ago <= max_gap_blocks_ago) {
    if (squelch_may_have_paused(gap_blocks_ago))
      squelch_paused(gap_blocks_ago);
    else if (learnt())
      start_recovery(gap_blocks_ago);
  }
  double level = 0;
  const double floor_before = floor_level;
  if (recovering()) {
    weigh(codes, samples);
    double mean = 0;
    level = level_of(samples, mean);
  } else {
    adpcm_decoder(codes, samples, block, decode);
    level = learn(samples);
    if (in_doubt) hold_offset(samples);
  }
  follow_squelch(samples, level, floor_before);
}

namespace {

constexpr std::size_t paces_kept = 15;
constexpr double pace_fraction_for_repeat = 0.25;
std::array<double, paces_kept> intervals{};  // between the last arrivals
std::size_t intervals_seen = 0;
std::size_t arrivals_seen = 0;
double last_arrival_noted = 0;
bool gap_pending = false;  // a datagram came late: a gap, or a stalled talker?
int since_gap = 0;         // datagrams since the first one after it
double before_gap = 0;     // when the one before it came
std::array<std::uint8_t, 128> last_payload{};
double last_arrival = -1;

double pace() {
  std::array<double, paces_kept> sorted = intervals;
  std::nth_element(sorted.begin(), sorted.begin() + paces_kept / 2, sorted.end());
  return sorted[paces_kept / 2];
}

// Whether the talker's datagrams came at an even pace of late: a sound
// layer that hands out several blocks at once makes them come in bursts,
// and then their times tell nothing.
bool paced(double p) {
  constexpr std::size_t even_enough = paces_kept * 4 / 5;
  const auto even = std::count_if(intervals.begin(), intervals.end(),
                                  [p](double i) { return i > 0.75 * p && i < 1.25 * p; });
  return p > 0 && static_cast<std::size_t>(even) >= even_enough;
}

}  // namespace

int note_arrival(double seconds) {
  const double interval = seconds - last_arrival_noted;
  last_arrival_noted = seconds;
  if (++arrivals_seen < 2) return 0;
  intervals[intervals_seen++ % paces_kept] = interval;
  if (intervals_seen < paces_kept) return 0;
  const double p = pace();
  if (!gap_pending) {
    if (interval >= 1.5 * p && paced(p)) {
      gap_pending = true;
      since_gap = 0;
      before_gap = seconds - interval;
    }
    return 0;
  }
  ++since_gap;
  // A talker that stalled sends what it recorded meanwhile in a burst: wait
  // for the burst to end, then count the blocks its pace allowed for.
  if (since_gap < gap_confirmed_after || interval < 0.5 * p) {
    if (since_gap >= max_gap_blocks_ago) gap_pending = false;
    return 0;
  }
  gap_pending = false;
  return seconds - before_gap >= (since_gap + 1.5) * p ? since_gap : 0;
}

// Whether any code of the payload is a large one: a stream of digital
// silence repeats its payload (all codes the least), speech or a room never.
bool has_large_code(const std::uint8_t* payload, std::size_t size) {
  return std::any_of(payload, payload + size,
                     [](std::uint8_t byte) { return (byte & 0x40) != 0 || (byte & 0x04) != 0; });
}

bool repeats_last(const std::uint8_t* payload, std::size_t size, double seconds) {
  size = std::min(size, last_payload.size());
  const double p = pace();
  const bool repeat =
      last_arrival >= 0 && paced(p) && seconds - last_arrival < pace_fraction_for_repeat * p &&
      has_large_code(payload, size) && std::equal(payload, payload + size, last_payload.begin());
  std::copy_n(payload, size, last_payload.begin());
  last_arrival = seconds;
  return repeat;
}

void reset_loss_recovery() {
  intervals = {};
  intervals_seen = 0;
  arrivals_seen = 0;
  gap_pending = false;
  last_arrival = -1;
  floor_level = std::numeric_limits<double>::infinity();
  ceiling_level = -std::numeric_limits<double>::infinity();
  last_level = 0;
  blocks_learnt = 0;
  room_heard = false;
  in_doubt = false;
  under_way = false;
  squelch_floor = 0;
  room_average = 1e9;
  quiet_count = quiet_limit - 1;
  past = {};
}

bool recovering() { return under_way; }

}  // namespace voxaria
