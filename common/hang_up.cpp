#include "hang_up.hpp"

#include <algorithm>

#include "resync.hpp"

namespace voxaria {

namespace {

constexpr std::size_t settling_bytes = resync_settle_codes / 2;
constexpr std::uint8_t negative_zeros = 0x88;

}  // namespace

void code_hang_up(std::uint8_t* codes, AdpcmState& state) {
  code_settling_to_zero(codes, state);
  // Code 8 at step index 0 moves neither the prediction nor the index.
  std::fill(codes + settling_bytes, codes + hang_up_bytes, negative_zeros);
}

bool is_hang_up(const std::uint8_t* codes) {
  // Magnitudes below 4 have bit 2 of both nibbles clear.
  return std::all_of(codes, codes + settling_bytes,
                     [](std::uint8_t b) { return (b & 0x44) == 0; }) &&
         std::all_of(codes + settling_bytes, codes + hang_up_bytes,
                     [](std::uint8_t b) { return b == negative_zeros; });
}

}  // namespace voxaria
