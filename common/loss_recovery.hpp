// Bringing the incoming stream's decoder back into step with the talker's
// coder after a voice datagram went missing. A lost block leaves the decoder
// with the step index and prediction it had before it, while the coder moved
// on; from there every block is heard scaled and shifted until a clamp
// brings the two together again, which in a room with noise can take the
// rest of the call. After a detected gap the decoder runs every step index
// the coder could have reached side by side, keeps the one whose sound fits
// what the talker's sound is known to be (never quieter than their room,
// continuous with what came before the gap, zero-mean), and takes out the
// offset. A stream without gaps is decoded exactly as adpcm_decoder does.
#pragma once

#include <cstddef>
#include <cstdint>

#include "adpcm.hpp"

namespace voxaria {

// Decodes one received block with the incoming stream's state (decode).
// gap_blocks_ago: 0, or up to max_gap_blocks_ago when the arrivals showed
// that the talker sent
// nothing for at least one block before the block decoded that many blocks
// back (this one is 0 back): the squelch paused there, or a datagram was
// lost, which this tells apart. Without a gap, and when none is being
// recovered from, this is adpcm_decoder bit for bit.
inline constexpr int gap_confirmed_after = 2;  // blocks at the least
inline constexpr int max_gap_blocks_ago = 7;
void decode_received(const std::uint8_t* codes, std::int16_t* samples, int gap_blocks_ago);

// Telling a lost datagram from the talker's pace. In a talk spurt the
// talker's card paces the datagrams, one a block; the kernel stamps each on
// arrival. A datagram that comes half a block or more later than its pace
// allows is a gap only once at least two more have come and the last of
// them came at the pace, not in a burst, and still a block later than the
// count of datagrams since allows: a talker that stalled catches up in a
// burst, a lost datagram is never made up for. Returns 0, or n when a gap
// lies before the datagram that arrived n datagrams back (at least
// gap_confirmed_after, at most max_gap_blocks_ago); 0 while the pace is not
// yet known.
int note_arrival(double seconds);

// Whether a payload arriving at this time is the one before once more
// (a duplicated datagram), which is then best not played at all; a payload
// of digital silence, which a talker sends over and over, never counts.
bool repeats_last(const std::uint8_t* payload, std::size_t size, double seconds);

// Forgets everything learnt about the talker (for a fresh stream).
void reset_loss_recovery();

// Whether a recovery is running (blocks are still being weighed).
bool recovering();

}  // namespace voxaria
