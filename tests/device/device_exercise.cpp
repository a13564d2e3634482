// Drives the sound device routines the way the programs do, one scenario
// per run, so that a test can load the simulated card with the settings the
// scenario needs and read what was printed.

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string_view>

#include "console.hpp"
#include "standard_descriptors.hpp"
#include "profile.hpp"
#include "sound_device.hpp"
#include "squelch.hpp"

using namespace voxaria;

namespace {

void for_recording() {
  RECEIVING = 0;
  TRANSMITTING = 1;
}
void for_playback() {
  RECEIVING = 1;
  TRANSMITTING = 0;
}

void report(const char* step, int result) {
  std::printf("%s=%d audio_rd=%d audio_wr=%d bits=%d fragments=0x%08x\n", step, result, audio_rd,
              audio_wr, bits_per_sample, static_cast<unsigned>(dma_buffer_size));
  std::fflush(stdout);
}

// Records blocks into a raw file, through the routine the programs use.
int record_to(const char* path, int blocks) {
  std::ofstream out(path, std::ios::binary);
  for (int i = 0; i < blocks; ++i) {
    if (record_block(record_buffer) == -1) return -1;
    out.write(reinterpret_cast<const char*>(record_buffer.data()), block_bytes);
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  open_standard_descriptors();
  profile.calibration_failure = "CALIBRATION FAILED";
  const std::string_view scenario = argc > 1 ? argv[1] : "";
  if (scenario == "check") {
    report("check", Init_Soundcard());
  } else if (scenario == "record") {
    for_recording();
    report("record", open_recording());
  } else if (scenario == "playback") {
    for_playback();
    report("playback", open_playback());
  } else if (scenario == "record-while-playing") {
    for_playback();
    report("playback", open_playback());
    for_recording();
    report("record", open_recording());
  } else if (scenario == "play-while-recording") {
    for_recording();
    report("record", open_recording());
    for_playback();
    report("playback", open_playback());
  } else if (scenario == "no-direction") {
    RECEIVING = 0;
    TRANSMITTING = 0;
    report("record", open_recording());
  } else if (scenario == "both-directions") {
    for_playback();
    report("playback", open_playback());
    TRANSMITTING = 1;
    report("config", DSP_config());
  } else if (scenario == "threshold") {
    report("threshold", threshold());
    std::printf("count=%d squelch=%.9g\n", count, static_cast<double>(squelch));
  } else if (scenario == "record-blocks" && argc == 4) {
    for_recording();
    report("record", open_recording());
    report("blocks", record_to(argv[2], std::atoi(argv[3])));
  } else {
    std::fprintf(stderr, "usage: device_exercise SCENARIO\n");
    return 2;
  }
  return 0;
}
