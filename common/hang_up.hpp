// Hanging up inside the voice stream. A call has no datagram of its own to
// end it, so the side that hangs up sends a voice payload that no coder
// makes: 88 codes of magnitude below 4, which take any decoder's step index
// down to 0 while steering the prediction toward 0, then nothing but
// "minus nothing" (code 8), which at step index 0 no coder makes, since no
// whole difference lies between -7/4 and 0. A listener that does not know
// it plays it as what it is, a fade to near silence, and after that as a
// resynchronising mark; a second copy, sent in case one is lost, is
// silence.
#pragma once

#include <cstddef>
#include <cstdint>

#include "adpcm.hpp"

namespace voxaria {

inline constexpr std::size_t hang_up_bytes = 64;  // one voice payload
inline constexpr int hang_up_copies = 2;          // one may be lost

// Codes the hang-up payload into codes (hang_up_bytes) from the talker's
// state, which it advances as any block does.
void code_hang_up(std::uint8_t* codes, AdpcmState& state);

// Whether a whole voice payload is a hang-up.
bool is_hang_up(const std::uint8_t* codes);

}  // namespace voxaria
