// The decoder on arbitrary codes from arbitrary states, step indices out of
// range included, must end within the step table; and the coder on
// arbitrary samples: a decoder started from the coder's state must end where
// the coder's own prediction ended, with and without the marks and words
// that bring a listener back into step; and a listener that trusts its
// talker fully, fed arbitrary blocks, stays within the step table.

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "adpcm.hpp"
#include "resync.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace voxaria;
  if (size < 3) return 0;
  AdpcmState start;
  start.predicted = static_cast<std::int16_t>(data[0] | data[1] << 8);
  start.step_index = static_cast<std::int8_t>(data[2]);
  data += 3;
  size -= 3;

  const std::size_t samples = std::min<std::size_t>(size * 2, 4096);
  std::array<std::int16_t, 4096> decoded{};
  AdpcmState arbitrary = start;
  adpcm_decoder(data, decoded.data(), samples, arbitrary);
  if (samples > 0 && (arbitrary.step_index < 0 || arbitrary.step_index > 88)) std::abort();

  // The same bytes as blocks to a listener that takes every word it reads.
  Listener trusting{start, 0};
  trusting.state.step_index = 0;
  for (std::size_t at = 0; at + 64 <= size; at += 64) {
    trusting.trust = 16;
    resync_decoder(data + at, decoded.data(), 128, trusting);
    if (trusting.state.step_index < 0 || trusting.state.step_index > 88) std::abort();
  }

  // The same bytes as samples through the coder.
  const std::size_t count = std::min<std::size_t>(size / 2, 4096);
  std::array<std::int16_t, 4096> input{};
  std::memcpy(input.data(), data, count * 2);
  std::array<std::uint8_t, 2048> codes{};
  AdpcmState coder = start, decoder = start;
  adpcm_coder(input.data(), codes.data(), count, coder);
  adpcm_decoder(codes.data(), decoded.data(), count, decoder);
  if (coder.predicted != decoder.predicted || coder.step_index != decoder.step_index) std::abort();

  // Block by block with marks where the samples are quiet, as a call sends.
  constexpr std::size_t block = 128;
  coder = start;
  Listener listener{start, 0};
  for (std::size_t at = 0; at + block <= count; at += block) {
    resync_coder(input.data() + at, codes.data(), block, coder);
    resync_decoder(codes.data(), decoded.data(), block, listener);
    if (coder.predicted != listener.state.predicted ||
        coder.step_index != listener.state.step_index)
      std::abort();
  }
  return 0;
}
