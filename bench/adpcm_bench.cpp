// Speed of the ADPCM coder and decoder on 60 s signals, in 128-sample blocks
// as a call codes them, the state carried from block to block: plainly
// ("plain"), and the way a call does it ("call": the marks and the talker's
// word for its state). The plain decoder also runs one second per call, as
// bench/compare-codec sets it beside Python's audioop.
//
//   adpcm_bench [--signal=NAME:FILE.raw ...] [Google Benchmark flags]
//
// Each FILE is raw signed 16-bit little-endian mono (bench/compare-codec
// writes the ones it also feeds Python's audioop). Without any, a built-in
// random walk is measured.

#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "adpcm.hpp"
#include "resync.hpp"

namespace {

using voxaria::AdpcmState;
using Samples = std::vector<std::int16_t>;
using Codes = std::vector<std::uint8_t>;

constexpr std::size_t sample_rate = 8000;
constexpr std::size_t block = 128;

using Coder = void (*)(const std::int16_t*, std::uint8_t*, std::size_t, AdpcmState&);
using Decoder = void (*)(const std::uint8_t*, std::int16_t*, std::size_t, AdpcmState&);

// A random walk whose steps are a few hundred in size, well inside the rails.
Samples random_walk(std::size_t n) {
  std::uint32_t seed = 0x2545F491;
  int value = 0;
  Samples out(n);
  for (auto& sample : out) {
    seed ^= seed << 13;
    seed ^= seed >> 17;
    seed ^= seed << 5;
    value = std::clamp(value + static_cast<int>(seed >> 23) - 256, -20000, 20000);
    sample = static_cast<std::int16_t>(value);
  }
  return out;
}

Samples read_raw(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  const std::string bytes{std::istreambuf_iterator<char>(in), {}};
  Samples out(bytes.size() / 2);
  std::memcpy(out.data(), bytes.data(), out.size() * 2);
  return out;
}

// The whole signal coded from the zero state: the codes the decoder
// benchmarks feed, each pass from that same zero state.
Codes coded(const Samples& samples) {
  Codes codes((samples.size() + 1) / 2);
  AdpcmState state;
  voxaria::adpcm_coder(samples.data(), codes.data(), samples.size(), state);
  return codes;
}

// Walks the signal in calls of `chunk` samples with the state carried; at
// the end of the signal the state goes back to zero, the state the codes
// were made from, so every pass decodes codes that belong to its state.
void run_coder(benchmark::State& bench, const Samples& samples, std::size_t chunk, Coder coder) {
  Codes codes(chunk / 2);
  AdpcmState state;
  std::size_t at = 0;
  for (auto _ : bench) {
    coder(samples.data() + at, codes.data(), chunk, state);
    benchmark::DoNotOptimize(codes.data());
    benchmark::ClobberMemory();
    at += chunk;
    if (at + chunk > samples.size()) at = 0, state = {};
  }
  bench.SetItemsProcessed(bench.iterations() * static_cast<std::int64_t>(chunk));
}

void run_decoder(benchmark::State& bench, const Codes& codes, std::size_t chunk, Decoder decoder) {
  Samples samples(chunk);
  AdpcmState state;
  std::size_t at = 0;  // in samples
  for (auto _ : bench) {
    decoder(codes.data() + at / 2, samples.data(), chunk, state);
    benchmark::DoNotOptimize(samples.data());
    benchmark::ClobberMemory();
    at += chunk;
    if (at + chunk > 2 * codes.size()) at = 0, state = {};
  }
  bench.SetItemsProcessed(bench.iterations() * static_cast<std::int64_t>(chunk));
}

void call_coder(const std::int16_t* samples, std::uint8_t* codes, std::size_t count,
                AdpcmState& state) {
  voxaria::resync_coder(samples, codes, count, state);
}

// The listener's trust is carried through the whole run, its state from
// run_decoder's.
void call_decoder(const std::uint8_t* codes, std::int16_t* samples, std::size_t count,
                  AdpcmState& state) {
  static voxaria::Listener listener;
  listener.state = state;
  voxaria::resync_decoder(codes, samples, count, listener);
  state = listener.state;
}

struct Signal {
  std::string name;
  Samples samples;
  Codes codes;
};

void register_signal(const Signal& s) {
  struct Way {
    const char* name;
    Coder coder;
    Decoder decoder;
  };
  const Way ways[] = {{"plain", voxaria::adpcm_coder, voxaria::adpcm_decoder},
                      {"call", call_coder, call_decoder}};
  for (const Way& way : ways) {
    const std::string tail = "/" + s.name + "/block128/" + way.name;
    benchmark::RegisterBenchmark(("coder" + tail).c_str(), [&s, way](auto& b) {
      run_coder(b, s.samples, block, way.coder);
    });
    benchmark::RegisterBenchmark(("decoder" + tail).c_str(), [&s, way](auto& b) {
      run_decoder(b, s.codes, block, way.decoder);
    });
  }
  benchmark::RegisterBenchmark(("decoder/" + s.name + "/second/plain").c_str(), [&s](auto& b) {
    run_decoder(b, s.codes, sample_rate, voxaria::adpcm_decoder);
  });
}

}  // namespace

int main(int argc, char** argv) {
  static std::vector<Signal> signals;  // the benchmarks refer to them until exit
  signals.reserve(static_cast<std::size_t>(argc));
  std::vector<char*> rest;
  for (int i = 0; i < argc; ++i) {
    const std::string arg = argv[i];
    const std::string flag = "--signal=";
    if (arg.rfind(flag, 0) != 0) {
      rest.push_back(argv[i]);
      continue;
    }
    const auto colon = arg.find(':', flag.size());
    if (colon == std::string::npos) {
      std::fprintf(stderr, "adpcm_bench: expected --signal=NAME:FILE, got %s\n", argv[i]);
      return 2;
    }
    Samples samples = read_raw(arg.substr(colon + 1));
    if (samples.size() < sample_rate) {
      std::fprintf(stderr, "adpcm_bench: %s holds less than one second of samples\n",
                   arg.c_str() + colon + 1);
      return 2;
    }
    signals.push_back({arg.substr(flag.size(), colon - flag.size()), samples, coded(samples)});
  }
  if (signals.empty()) {
    Samples walk = random_walk(60 * sample_rate);
    signals.push_back({"walk", walk, coded(walk)});
  }
  for (const Signal& s : signals) register_signal(s);
  int count = static_cast<int>(rest.size());
  benchmark::Initialize(&count, rest.data());
  if (benchmark::ReportUnrecognizedArguments(count, rest.data())) return 2;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
