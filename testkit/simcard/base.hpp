// Foundations of the simulated sound card: its settings, its clock and the
// event log. Nothing here allocates through C++ or depends on static
// constructors, because the library can be entered from any program before
// its own initialisation has run.
#pragma once

#include <cstddef>
#include <cstdint>

#include "syscalls.hpp"

namespace simcard {

inline constexpr int sample_rate = 8000;
inline constexpr std::size_t path_capacity = 4096;

struct Faults {
  bool nocard = false;
  bool setfmt = false;
  bool setfragment = false;
  std::int64_t readfail = -1;  // byte counts; negative = fault off
  std::int64_t readeof = -1;
  std::int64_t writefail = -1;
};

struct Config {
  double speed = 1.0;
  const unsigned char* input = nullptr;  // 16-bit little-endian samples
  std::int64_t input_samples = 0;
  std::int64_t input_offset = 0;  // card position of input sample 0
  double noise = 0.0;
  std::uint64_t seed = 1;
  int forced_format = -1;       // SIMCARD_FORMAT; negative = ordinary card
  std::int64_t read_chunk = 0;  // 0 = whole request
  Faults faults;
  char output[path_capacity] = {};
  char ring[path_capacity] = {};
  char log[path_capacity] = {};
};

// Reads the environment once; later calls return at once.
void initialise();
const Config& config();

// The library's own I/O goes straight to the kernel so it can never loop
// back into the interposed functions.
namespace sys = interpose::sys;

// Card clock.
double card_seconds();
std::int64_t card_position();
// Sleeps until the card position reaches `position`; false if a signal
// interrupted the wait.
bool wait_for_position(std::int64_t position);
// Real nanoseconds that `card_ns` card nanoseconds take.
std::int64_t real_duration_ns(std::int64_t card_ns);

// Recorded signal at a card position: input, then noise, clamped.
std::int16_t microphone(std::int64_t position);

// One event line in SIMCARD_LOG: "<card time> <pid> <text>".
void log_event(const char* format, ...) __attribute__((format(printf, 1, 2)));
// Forgets the log descriptor (after a forked helper closed it).
void forget_log();

// "simcard: ..." on stderr.
void diagnose(const char* format, ...) __attribute__((format(printf, 1, 2)));
// "simcard: <call> <what>: <error text>".
void diagnose_call(const char* call, const char* what, int error);

const char* errno_name(int error);

}  // namespace simcard
