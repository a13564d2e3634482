// Voice activity: whether the block just recorded is speech, measured
// against a slowly following noise floor and a cut-off amplitude calibrated
// from the room noise.
#pragma once

#include "sound_device.hpp"

namespace voxaria {

extern AudioBlock record_buffer;  // the block last read from the recording handle
extern float average_amplitude;   // mean absolute sample of the last block examined
extern float squelch;             // the noise floor
extern int count;                 // quiet blocks outweighing loud ones, 0 to 15
extern float cutoff_amplitude;
extern float total_average_amplitude;
extern int steps;

inline constexpr int quiet_block_limit = 15;
inline constexpr int calibration_blocks = 200;
// What the cut-off stands above the room's mean block amplitude.
inline constexpr float cutoff_margin = 100;

// 0: treat the first n samples of record_buffer as speech; -1: the talker
// has fallen silent.
int squelch_buffer(int n);

// Measures the room noise over 200 blocks and sets cutoff_amplitude; leaves
// the recording handle closed and marked 0. 0, or -1 after a report.
int threshold();

}  // namespace voxaria
