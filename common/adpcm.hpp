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

// The fastest paths this CPU runs: the decoder is chosen once, at its first
// call (AVX-512 where the CPU has it, else the portable one below).
// Codes sample_count samples into (sample_count + 1) / 2 bytes.
void adpcm_coder(const std::int16_t* samples, std::uint8_t* codes, std::size_t sample_count,
                 AdpcmState& state);
// Decodes sample_count samples from (sample_count + 1) / 2 bytes.
void adpcm_decoder(const std::uint8_t* codes, std::int16_t* samples, std::size_t sample_count,
                   AdpcmState& state);

// Which decoder adpcm_decoder runs: "avx512" or "portable".
const char* adpcm_decoder_path();

// The fast paths in plain C++, for any CPU.
namespace portable {
void adpcm_coder(const std::int16_t* samples, std::uint8_t* codes, std::size_t sample_count,
                 AdpcmState& state);
void adpcm_decoder(const std::uint8_t* codes, std::int16_t* samples, std::size_t sample_count,
                   AdpcmState& state);
}  // namespace portable

// The straightforward sample-by-sample coder and decoder, bit for bit what
// all the others compute; the tests hold the fast ones against these.
namespace scalar {
void adpcm_coder(const std::int16_t* samples, std::uint8_t* codes, std::size_t sample_count,
                 AdpcmState& state);
void adpcm_decoder(const std::uint8_t* codes, std::int16_t* samples, std::size_t sample_count,
                   AdpcmState& state);
// A sample at a time, for a coder that chooses among codes: the code the
// coder makes for this sample, and the state advanced by code q (returns the
// sample it decodes to).
int code_for(int sample, const AdpcmState& state);
int apply(int q, AdpcmState& state);
}  // namespace scalar

// The outgoing and incoming streams of a conversation program; never reset.
extern AdpcmState code;
extern AdpcmState decode;

}  // namespace voxaria
