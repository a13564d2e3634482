#include "squelch.hpp"

#include <unistd.h>

#include <cstdio>
#include <cstdlib>

#include "console.hpp"
#include "profile.hpp"

namespace voxaria {

AudioBlock record_buffer{};
float average_amplitude = 0;
float squelch = 0;
int count = 0;
float cutoff_amplitude = 0;
float total_average_amplitude = 0;
int steps = 0;

namespace {

constexpr double floor_decay = 0.963;
constexpr double floor_gain = 0.03;
constexpr double floor_bias = 1;

// The floor follows the previous block's average; it is computed in double
// and rounded to single precision once, as stored.
void update_noise_floor() {
  squelch = static_cast<float>(static_cast<double>(squelch) * floor_decay +
                               static_cast<double>(average_amplitude) * floor_gain + floor_bias);
}

float block_average(int n) {
  long sum = 0;
  for (int i = 0; i < n; ++i) sum += std::abs(static_cast<int>(record_buffer[i]));
  return static_cast<float>(static_cast<double>(sum) / n);
}

}  // namespace

int squelch_buffer(int n) {
  update_noise_floor();
  average_amplitude = block_average(n);
  if (average_amplitude < squelch || average_amplitude < cutoff_amplitude) ++count;
  if (average_amplitude >= squelch && average_amplitude > cutoff_amplitude) {
    --count;
    if (count < 0) count = 0;
  }
  if (count == quiet_block_limit) {
    count = quiet_block_limit - 1;
    return -1;
  }
  return 0;
}

int threshold() {
  RECEIVING = 0;
  TRANSMITTING = 1;
  if (open_recording() == -1) {
    message(profile.calibration_failure);
    return -1;
  }
  message("Hold on..! Dont start talking.");
  message("Calculating the threshold value for the default audio buffer...");
  // Blocks the squelch takes for silence add nothing, but still count in
  // the mean: the cut-off sits just above the quiet room.
  while (steps < calibration_blocks) {
    if (record_block(record_buffer) == -1) return -1;
    if (squelch_buffer(static_cast<int>(block_samples)) == 0)
      total_average_amplitude += average_amplitude;
    ++steps;
  }
  close(audio_rd);
  audio_rd = 0;
  cutoff_amplitude = total_average_amplitude / static_cast<float>(steps);
  cutoff_amplitude = cutoff_margin + cutoff_amplitude;
  total_average_amplitude = 0;
  steps = 0;
  std::printf("cut-off amplitude is ==>> %f\n", static_cast<double>(cutoff_amplitude));
  std::fflush(stdout);
  return 0;
}

}  // namespace voxaria
