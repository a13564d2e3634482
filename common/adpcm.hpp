// IMA (DVI) ADPCM: 16-bit samples to 4-bit codes and back, four to one.
// Codes are packed two to a byte, the earlier sample in the high nibble; an
// odd count leaves the last low nibble zero.
#pragma once

#include <cstddef>
#include <cstdint>

namespace voxaria {

// The prediction carried from one block to the next of the same stream.
struct AdpcmState {
  std::int16_t predicted = 0;  // the last reconstructed sample
  std::int8_t step_index = 0;  // 0 to 88, into the step-size table
};

// Codes sample_count samples into (sample_count + 1) / 2 bytes.
void adpcm_coder(const std::int16_t* samples, std::uint8_t* codes, std::size_t sample_count,
                 AdpcmState& state);
// Decodes sample_count samples from (sample_count + 1) / 2 bytes.
void adpcm_decoder(const std::uint8_t* codes, std::int16_t* samples, std::size_t sample_count,
                   AdpcmState& state);

// A sample at a time, for a coder that chooses among codes: the code the
// coder makes for this sample, and the state advanced by code q (returns the
// sample it decodes to).
int adpcm_code_for(int sample, const AdpcmState& state);
int adpcm_apply(int q, AdpcmState& state);

// The outgoing stream of a conversation program; never reset.
extern AdpcmState code;

}  // namespace voxaria
