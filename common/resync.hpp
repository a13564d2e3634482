// Bringing the listener's decoder back into step after a lost, repeated or
// reordered voice datagram. IMA ADPCM never forgets: a decoder that missed a
// block stays off the talker's coder for good, its step index apart (a wrong
// gain) and its prediction apart (an offset as large as speech). So in a
// quiet block the talker sends a mark instead of the plain codes: 88 codes
// of magnitude below 4, which take any step index down to 0 where it
// clamps, steered so that the talker's prediction ends at exactly 0; then
// 16 codes of "minus nothing", which no coder makes at that step. Any
// decoder is back at the talker's step index after the mark; ours, seeing
// the mark, also sets its prediction to 0 there. Every other block carries,
// in the parities of its codes, the talker's word for where its coder stood
// as the block began; a listener that has found the word true takes it, and
// is back in step (gain exact, offset below 128) one block after a loss.
// The stream stays plain IMA ADPCM, and a call that loses nothing plays
// exactly the decode of what was sent, as before.
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
// Whether no sample of these is further from 0 than that.
bool is_quiet(const std::int16_t* samples, std::size_t count);

// Codes sample_count samples (at least resync_mark_codes) as a mark followed
// by plain codes when the block is quiet and the prediction can be brought
// to 0 in time, and plainly otherwise; returns whether it made a mark.
bool resync_coder(const std::int16_t* samples, std::uint8_t* codes, std::size_t sample_count,
                  AdpcmState& state);

// What a listener keeps of one incoming stream from block to block: its
// decoder's state, and its trust, what it has learnt of the talker's word
// for that state (0 at first).
struct Listener {
  AdpcmState state;
  int trust = 0;
  // Where the last block's word and codes say the next block begins, and in
  // how many received blocks in a row the talker's word agreed with the one
  // before it: words that prove one another, whatever this listener's own
  // state, as after a loss before trust has been earned.
  AdpcmState foreseen{};
  bool foresees = false;
  int agreeing = 0;
  AdpcmState began{};  // as the last block decoded began
};

// Whether the talker's word in these codes says that a block was lost just
// before them: the listener trusts the word, and it names neither the
// state the listener is in (nothing was lost) nor the one it was in as the
// last block began (that block came twice). Marked blocks carry no word.
bool lost_before(const std::uint8_t* codes, std::size_t sample_count, const Listener& listener);

// Whether the word in these codes names the state the listener is in.
bool follows_on(const std::uint8_t* codes, std::size_t sample_count, const Listener& listener);

// Decodes sample_count samples as adpcm_decoder does; where the codes hold
// a mark, the prediction is set to the talker's, 0, at its end, and where
// they do not, the talker's word for its state is taken once the listener's
// trust is high enough.
void resync_decoder(const std::uint8_t* codes, std::int16_t* samples, std::size_t sample_count,
                    Listener& listener);

// The incoming stream of a conversation program; never reset.
extern Listener decode;

bool is_resync_mark(const std::uint8_t* codes, std::size_t sample_count);

// Codes resync_settle_codes codes of magnitude below 4 into codes, each the
// one that brings the prediction nearest 0: any step index ends at 0.
void code_settling_to_zero(std::uint8_t* codes, AdpcmState& state);

}  // namespace voxaria
