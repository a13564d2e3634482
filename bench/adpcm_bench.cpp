// Speed of the ADPCM coder and decoder: 128-sample blocks with the state
// carried, as a call codes them, and long runs of 1 s and 60 s. The input is
// the same speech-like signal bench/audioop_bench.py feeds Python's audioop,
// so the figures can be set side by side.

#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdint>
#include <vector>

#include "adpcm.hpp"

namespace {

using voxaria::AdpcmState;

constexpr int sample_rate = 8000;
constexpr std::size_t block = 128;

// A smoothed random walk in integer arithmetic (xorshift32 noise, floor
// shifts), bit for bit the one audioop_bench.py makes.
std::vector<std::int16_t> speech_like(std::size_t n) {
  std::uint32_t seed = 0x12345678;
  std::int32_t slope = 0, value = 0;
  std::vector<std::int16_t> out(n);
  for (auto& sample : out) {
    seed ^= seed << 13;
    seed ^= seed >> 17;
    seed ^= seed << 5;
    const std::int32_t noise = static_cast<std::int32_t>(seed >> 22) - 512;
    slope += noise - (slope >> 3);
    value += slope - (value >> 5);
    sample = static_cast<std::int16_t>(std::clamp(value >> 2, -32768, 32767));
  }
  return out;
}

std::vector<std::uint8_t> coded(const std::vector<std::int16_t>& samples) {
  std::vector<std::uint8_t> codes((samples.size() + 1) / 2);
  AdpcmState state;
  voxaria::adpcm_coder(samples.data(), codes.data(), samples.size(), state);
  return codes;
}

// One 128-sample block per iteration, walking through 60 s of signal.
void BM_CoderBlock(benchmark::State& bench) {
  const auto samples = speech_like(60 * sample_rate);
  std::vector<std::uint8_t> codes(block / 2);
  AdpcmState state;
  std::size_t at = 0;
  for (auto _ : bench) {
    voxaria::adpcm_coder(samples.data() + at, codes.data(), block, state);
    benchmark::DoNotOptimize(codes.data());
    at = (at + block) % samples.size();
  }
  bench.SetItemsProcessed(bench.iterations() * static_cast<std::int64_t>(block));
}

void BM_DecoderBlock(benchmark::State& bench) {
  const auto codes = coded(speech_like(60 * sample_rate));
  std::vector<std::int16_t> samples(block);
  AdpcmState state;
  std::size_t at = 0;
  for (auto _ : bench) {
    voxaria::adpcm_decoder(codes.data() + at, samples.data(), block, state);
    benchmark::DoNotOptimize(samples.data());
    at = (at + block / 2) % codes.size();
  }
  bench.SetItemsProcessed(bench.iterations() * static_cast<std::int64_t>(block));
}

// The whole signal of range(0) seconds in one call per iteration.
void BM_CoderLong(benchmark::State& bench) {
  const auto samples = speech_like(static_cast<std::size_t>(bench.range(0)) * sample_rate);
  std::vector<std::uint8_t> codes((samples.size() + 1) / 2);
  for (auto _ : bench) {
    AdpcmState state;
    voxaria::adpcm_coder(samples.data(), codes.data(), samples.size(), state);
    benchmark::DoNotOptimize(codes.data());
  }
  bench.SetItemsProcessed(bench.iterations() * static_cast<std::int64_t>(samples.size()));
}

void BM_DecoderLong(benchmark::State& bench) {
  const std::size_t n = static_cast<std::size_t>(bench.range(0)) * sample_rate;
  const auto codes = coded(speech_like(n));
  std::vector<std::int16_t> samples(n);
  for (auto _ : bench) {
    AdpcmState state;
    voxaria::adpcm_decoder(codes.data(), samples.data(), n, state);
    benchmark::DoNotOptimize(samples.data());
  }
  bench.SetItemsProcessed(bench.iterations() * static_cast<std::int64_t>(n));
}

BENCHMARK(BM_CoderBlock);
BENCHMARK(BM_DecoderBlock);
BENCHMARK(BM_CoderLong)->Arg(1)->Arg(60)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_DecoderLong)->Arg(1)->Arg(60)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
