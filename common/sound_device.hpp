// The half-duplex sound card behind /dev/dsp: open in one direction at a
// time, 16-bit samples, a device buffer of one block.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

namespace voxaria {

inline constexpr std::size_t block_samples = 128;  // 16 ms at 8000 samples per second
inline constexpr std::size_t block_bytes = block_samples * sizeof(std::int16_t);
using AudioBlock = std::array<std::int16_t, block_samples>;

inline constexpr char dsp_path[] = "/dev/dsp";

// Recording handle: 0 marks it closed (to be reopened by the call loop).
extern int audio_rd;
// Playback handle: -1 marks it closed.
extern int audio_wr;
// Which handle the next DSP_config applies to: RECEIVING the playback one,
// TRANSMITTING the recording one.
extern int RECEIVING;
extern int TRANSMITTING;
// Passed to the driver by reference; whatever it writes back is kept.
extern int bits_per_sample;
extern int dma_buffer_size;

int Init_Soundcard();
int open_recording();
int open_playback();
int DSP_config();

// Reads one whole block from the recording handle, completing the short
// reads some OSS layers hand out. A card that fails or runs dry is reported
// and gives -1: a stale block must never be taken for new sound.
int record_block(AudioBlock& block);
// Writes one whole block to the playback handle; -1 after a report when the
// card fails.
int play_block(const AudioBlock& block);
// The samples written to the playback handle and not yet played; -1 where
// the device cannot tell.
int playback_delay();

}  // namespace voxaria
