// Bringing the listener's decoder back into step after a lost, repeated or
// reordered voice datagram. IMA ADPCM never forgets: a decoder that missed a
// block stays off the talker's coder for good, its step index apart (a wrong
// gain) and its prediction apart (an offset as large as speech). So in a
// quiet block the talker sends a mark instead of the plain codes: 88 codes
// of magnitude below 4, which take any step index down to 0 where it
// clamps, steered so that the talker's prediction ends at exactly 0; then
// 16 codes of "minus nothing", which no coder makes at that step. Any
// decoder is back at the talker's step index after the mark; ours, seeing
// the mark, also sets its prediction to 0 there. The stream stays plain IMA
// ADPCM, and a call that loses nothing plays exactly the decode of what was
// sent, as before.
#pragma once

#include <cstddef>
#include <cstdint>

#include "adpcm.hpp"

namespace voxaria {

constexpr std::size_t resync_settle_codes = 88;  // the deepest step index
constexpr std::size_t resync_mark_codes = resync_settle_codes + 16;
// A block is quiet enough for a mark when no sample is further from 0: the
// 13 ms of it that the mark replaces are then below -42 dB of full scale.
constexpr int resync_quiet_peak = 512;

// Codes sample_count samples (at least resync_mark_codes) as a mark followed
// by plain codes when the block is quiet and the prediction can be brought
// to 0 in time, and plainly otherwise; returns whether it made a mark.
bool resync_coder(const std::int16_t* samples, std::uint8_t* codes, std::size_t sample_count,
                  AdpcmState& state);

// Decodes sample_count samples as adpcm_decoder does; where the codes begin
// with a mark, the prediction is set to the talker's, 0, at its end.
void resync_decoder(const std::uint8_t* codes, std::int16_t* samples, std::size_t sample_count,
                    AdpcmState& state);

bool is_resync_mark(const std::uint8_t* codes, std::size_t sample_count);

}  // namespace voxaria
