// What a block that stands in for a lost one costs: the pitch period found
// in what was played, the period repeated over 128 samples, and the blend
// into the block that comes next.
#include <benchmark/benchmark.h>

#include <array>
#include <cmath>
#include <cstdint>
#include <numbers>

#include "conceal.hpp"

namespace {

constexpr std::size_t block = 128;

void concealed_block(benchmark::State& bench) {
  voxaria::Concealer c;
  std::array<std::int16_t, voxaria::conceal_history> voice{};
  for (std::size_t i = 0; i < voice.size(); ++i) {
    const double t = 2 * std::numbers::pi * 131.0 * static_cast<double>(i) / 8000;
    voice[i] = static_cast<std::int16_t>(5000 * (std::sin(t) + 0.5 * std::sin(2 * t + 0.3)));
  }
  voxaria::remember_played(c, voice.data(), voice.size());
  std::array<std::int16_t, block> filled{}, next{};
  for (auto _ : bench) {
    voxaria::conceal(c, filled.data(), block);
    voxaria::resume(c, next.data(), block);
    benchmark::DoNotOptimize(filled.data());
    benchmark::DoNotOptimize(next.data());
    benchmark::ClobberMemory();
  }
  bench.SetItemsProcessed(bench.iterations());
}
BENCHMARK(concealed_block);

}  // namespace

BENCHMARK_MAIN();
