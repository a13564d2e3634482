// The decoder on arbitrary codes from arbitrary states, step indices out of
// range included, and the coder on arbitrary samples: a decoder started from
// the coder's state must end where the coder's own prediction ended, with
// and without the marks that bring a listener back into step.

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
  std::array<std::int16_t, 4096> scalar_decoded{};
  AdpcmState fast = start, plain = start;
  adpcm_decoder(data, decoded.data(), samples, fast);
  scalar::adpcm_decoder(data, scalar_decoded.data(), samples, plain);
  if (samples > 0 && (fast.step_index < 0 || fast.step_index > 88)) std::abort();
  if (decoded != scalar_decoded || fast.predicted != plain.predicted ||
      fast.step_index != plain.step_index)
    std::abort();

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
  coder = decoder = start;
  for (std::size_t at = 0; at + block <= count; at += block) {
    resync_coder(input.data() + at, codes.data(), block, coder);
    resync_decoder(codes.data(), decoded.data(), block, decoder);
    if (coder.predicted != decoder.predicted || coder.step_index != decoder.step_index)
      std::abort();
  }
  return 0;
}
