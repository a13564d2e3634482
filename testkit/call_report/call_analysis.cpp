#include "call_analysis.hpp"

#include <algorithm>
#include <cmath>
#include <limits>

namespace voxaria::report {

namespace {

constexpr double min_match_snr_db = 5;  // below this a played block reproduces nothing spoken

struct Block {
  long position;  // card sample position of its first sample
  std::vector<std::int16_t> samples;
  double energy;  // of the samples, worked out once: every played block is held against it
};

std::vector<std::int16_t> stretch(const std::vector<std::int16_t>& source, long first) {
  std::vector<std::int16_t> samples(block_samples, 0);
  for (std::size_t i = 0; i < block_samples; ++i) {
    const long at = first + static_cast<long>(i);
    if (at >= 0 && at < static_cast<long>(source.size()))
      samples[i] = source[static_cast<std::size_t>(at)];
  }
  return samples;
}

double mean_magnitude(const std::vector<std::int16_t>& samples) {
  double sum = 0;
  for (auto s : samples) sum += std::abs(static_cast<double>(s));
  return sum / static_cast<double>(samples.size());
}

double energy(const std::vector<std::int16_t>& samples) {
  double sum = 0;
  for (auto s : samples) sum += static_cast<double>(s) * s;
  return sum;
}

double error_energy(const std::vector<std::int16_t>& reference,
                    const std::vector<std::int16_t>& copy) {
  double sum = 0;
  for (std::size_t i = 0; i < reference.size(); ++i) {
    const double e = static_cast<double>(copy[i]) - reference[i];
    sum += e * e;
  }
  return sum;
}

double decibels(double signal, double noise) {
  if (noise <= 0) return std::numeric_limits<double>::infinity();
  return 10 * std::log10(signal / noise);
}

Block block_at(const std::vector<std::int16_t>& source, long first, long position) {
  auto samples = stretch(source, first);
  const double e = energy(samples);
  return {position, std::move(samples), e};
}

bool whole_block(const CardEvent& e) {
  return e.number("bytes") == static_cast<long>(block_samples * 2);
}

struct Recorded {
  std::vector<Block> blocks;  // every whole block the talker's card recorded
  std::vector<bool> spoken;
};

// A talker's end sends a block only while it sounds louder than the noise
// floor that the squelch follows, so a block is taken as spoken when it is
// clearly above both that floor (worked out here from the input) and the
// given level. Quieter blocks may rightly be withheld.
Recorded recorded_blocks(const std::vector<std::int16_t>& input, const std::vector<CardEvent>& log,
                         double level) {
  constexpr double clearly_above = 1.1;
  Recorded recorded;
  double floor = 0, previous = 0;
  for (const auto& read : events_of_kind(log, "read")) {
    if (!whole_block(read) || !read.number("in") || !read.number("pos")) continue;
    recorded.blocks.push_back(block_at(input, *read.number("in"), *read.number("pos")));
    const double average = mean_magnitude(recorded.blocks.back().samples);
    floor = floor * 0.963 + previous * 0.03 + 1;
    previous = average;
    recorded.spoken.push_back(average >= level && average >= clearly_above * floor);
  }
  return recorded;
}

std::vector<Block> played_blocks(const std::vector<std::int16_t>& loudspeaker,
                                 const std::vector<CardEvent>& log) {
  std::vector<Block> played;
  for (const auto& write : events_of_kind(log, "write"))
    if (whole_block(write) && write.number("pos"))
      played.push_back(block_at(loudspeaker, *write.number("pos"), *write.number("pos")));
  return played;
}

// Repeats of one clip decode to nearly the same sound, so matches within
// this much of the best are taken as equally good.
constexpr double same_match_db = 3;

// The recorded block that this played block reproduces, if any does. Only
// blocks recorded before it was played can be its source; of those that
// match about equally well (an input that repeats a clip), the first one
// after the previous match is taken, since blocks are played in the order
// they were recorded.
std::optional<std::size_t> best_match(const Block& played, const std::vector<Block>& recorded,
                                      std::optional<std::size_t> previous) {
  std::vector<double> snr(recorded.size(), -std::numeric_limits<double>::infinity());
  std::optional<std::size_t> best;
  for (std::size_t s = 0; s < recorded.size() && recorded[s].position <= played.position; ++s) {
    snr[s] = decibels(recorded[s].energy, error_energy(recorded[s].samples, played.samples));
    if (snr[s] > min_match_snr_db && (!best || snr[s] > snr[*best])) best = s;
  }
  if (!best) return best;
  for (std::size_t s = previous ? *previous + 1 : 0; s < recorded.size(); ++s)
    if (snr[s] > min_match_snr_db && snr[s] >= snr[*best] - same_match_db) return s;
  return best;
}

}  // namespace

Direction analyse(const std::vector<std::int16_t>& talker_input,
                  const std::vector<CardEvent>& talker_log,
                  const std::vector<CardEvent>& listener_log,
                  const std::vector<std::int16_t>& listener_loudspeaker, double spoken_level) {
  Direction d;
  const auto recorded = recorded_blocks(talker_input, talker_log, spoken_level);
  const auto played = played_blocks(listener_loudspeaker, listener_log);
  d.blocks_recorded = recorded.blocks.size();
  d.blocks_played = played.size();
  d.spoken_blocks =
      static_cast<std::size_t>(std::count(recorded.spoken.begin(), recorded.spoken.end(), true));

  std::vector<int> times_heard(recorded.blocks.size(), 0);
  std::vector<double> delays;
  double signal = 0, noise = 0;
  std::optional<std::size_t> latest;
  for (const auto& block : played) {
    const auto match = best_match(block, recorded.blocks, latest);
    if (!match || !recorded.spoken[*match]) continue;
    const Block& said = recorded.blocks[*match];
    if (++times_heard[*match] == 2) ++d.heard_twice;
    if (latest && *match <= *latest) ++d.out_of_order;
    latest = latest ? std::max(*latest, *match) : *match;
    signal += said.energy;
    noise += error_energy(said.samples, block.samples);
    delays.push_back(static_cast<double>(block.position - said.position) * 1000.0 / sample_rate);
  }
  d.spoken_heard = static_cast<std::size_t>(
      std::count_if(times_heard.begin(), times_heard.end(), [](int n) { return n > 0; }));
  d.snr_db = decibels(signal, noise);
  if (!delays.empty()) {
    std::sort(delays.begin(), delays.end());
    d.median_delay_ms = delays[delays.size() / 2];
    d.p90_delay_ms = delays[delays.size() * 9 / 10];
    d.max_delay_ms = delays.back();
  }
  return d;
}

}  // namespace voxaria::report
