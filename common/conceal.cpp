#include "conceal.hpp"

#include <algorithm>
#include <cmath>

namespace voxaria {

Concealer concealer;

namespace {

// Full level for the first 10 ms of a run of losses, then down by a fifth
// every 10 ms, silent from 60 ms on.
constexpr std::size_t full_level_samples = 80, fade_samples = 400;

double level(std::size_t t) {
  if (t < full_level_samples) return 1;
  return std::max(0.0, 1 - static_cast<double>(t - full_level_samples) / fade_samples);
}

// The blend at either edge: a quarter of the period.
std::size_t blend_samples(int period) { return static_cast<std::size_t>(std::max(period / 4, 8)); }

std::int16_t to_sample(double x) {
  return static_cast<std::int16_t>(std::clamp(std::lround(x), -32768L, 32767L));
}

// The substitution t samples into the run: the period repeated, faded.
double substitute(const Concealer& c, std::size_t t) {
  const auto p = static_cast<std::size_t>(c.period);
  return level(t) * c.period_samples[t % p];
}

}  // namespace

void remember_played(Concealer& c, const std::int16_t* samples, std::size_t count) {
  const std::size_t kept = count < conceal_history ? conceal_history - count : 0;
  std::copy(c.played.end() - static_cast<long>(kept), c.played.end(), c.played.begin());
  const std::size_t taken = std::min(count, conceal_history);
  std::copy(samples + count - taken, samples + count, c.played.begin() + static_cast<long>(kept));
}

int pitch_period(const Concealer& c) {
  const std::int16_t* end = c.played.data() + conceal_history;
  const std::int16_t* window = end - conceal_window;
  int best = shortest_period;
  double best_score = -1;
  for (int p = shortest_period; p <= longest_period; ++p) {
    double cross = 0, energy = 0;
    for (std::size_t i = 0; i < conceal_window; ++i) {
      const double x = window[i], y = window[static_cast<long>(i) - p];
      cross += x * y;
      energy += y * y;
    }
    const double score = energy > 0 ? cross / std::sqrt(energy) : 0;
    if (score > best_score) best_score = score, best = p;
  }
  return best;
}

void conceal(Concealer& c, std::int16_t* out, std::size_t count) {
  if (c.into == 0) {
    c.period = pitch_period(c);
    const auto p = static_cast<long>(c.period);
    std::copy(c.played.end() - p, c.played.end(), c.period_samples.begin());
    c.last = c.played.back();
  }
  // Blended in from the last sample played: no step where the hole begins.
  const std::size_t blend = blend_samples(c.period);
  for (std::size_t i = 0; i < count; ++i) {
    const std::size_t t = c.into + i;
    double x = substitute(c, t);
    if (t < blend) {
      const double w = static_cast<double>(t + 1) / static_cast<double>(blend + 1);
      x = (1 - w) * level(t) * c.last + w * x;
    }
    out[i] = to_sample(x);
  }
  c.into += count;
}

void resume(Concealer& c, std::int16_t* samples, std::size_t count) {
  if (c.into == 0) return;
  const std::size_t blend = std::min(blend_samples(c.period), count);
  for (std::size_t i = 0; i < blend; ++i) {
    const double w = static_cast<double>(i + 1) / static_cast<double>(blend + 1);
    samples[i] = to_sample((1 - w) * substitute(c, c.into + i) + w * samples[i]);
  }
  c.into = 0;
}

}  // namespace voxaria
