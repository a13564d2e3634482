// card_reader SECONDS: records from /dev/dsp for SECONDS of sound and
// throws the blocks away. It opens and configures the device with the
// conversation programs' own code, so that it costs what their card costs
// and nothing else: the baseline of the cost of a call.

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "console.hpp"
#include "standard_descriptors.hpp"
#include "sound_device.hpp"

namespace {

constexpr double blocks_per_second = 8000.0 / voxaria::block_samples;
constexpr double max_seconds = 24 * 3600;

// Whole blocks in the given seconds; 0 for anything that is not a number of
// seconds up to a day.
long blocks_in(const char* text) {
  char* end = nullptr;
  errno = 0;
  const double seconds = std::strtod(text, &end);
  if (end == text || *end != '\0' || errno != 0 || !(seconds > 0) || seconds > max_seconds)
    return 0;
  return std::lround(seconds * blocks_per_second);
}

}  // namespace

int main(int argc, char** argv) {
  using namespace voxaria;
  const long blocks = argc == 2 ? blocks_in(argv[1]) : 0;
  if (blocks <= 0) {
    std::fprintf(stderr, "usage: card_reader SECONDS (at least one 16 ms block, at most a day)\n");
    return 2;
  }
  open_standard_descriptors();
  RECEIVING = 0;
  TRANSMITTING = 1;
  if (open_recording() == -1) {
    const int error = errno;
    std::fprintf(stderr, "card_reader: open and configure %s for recording: %s\n", dsp_path,
                 std::strerror(error));
    return 1;
  }
  AudioBlock block{};
  for (long i = 0; i < blocks; ++i)
    if (record_block(block) == -1) return 1;
  return 0;
}
