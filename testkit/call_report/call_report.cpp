// call_report: how one direction of a call on the simulated cards came
// across, from the talker's input and card log and the listener's card log
// and loudspeaker file.

#include <cstdio>

#include "call_analysis.hpp"

int main(int argc, char** argv) {
  using namespace voxaria::report;
  if (argc != 5) {
    std::fprintf(stderr,
                 "usage: call_report TALKER_INPUT.wav TALKER.log LISTENER.log LISTENER.wav\n");
    return 2;
  }
  const auto input = read_wav(argv[1]);
  const auto loudspeaker = read_wav(argv[4]);
  if (input.empty()) {
    std::fprintf(stderr, "call_report: %s is not a 16-bit mono WAV file\n", argv[1]);
    return 1;
  }
  const Direction d = analyse(input, read_card_log(argv[2]), read_card_log(argv[3]), loudspeaker);
  std::printf("%zu blocks recorded, %zu played; %zu of %zu spoken blocks heard", d.blocks_recorded,
              d.blocks_played, d.spoken_heard, d.spoken_blocks);
  if (d.heard_twice || d.out_of_order)
    std::printf(" (%zu twice, %zu out of order)", d.heard_twice, d.out_of_order);
  if (d.spoken_heard > 0)
    std::printf("; SNR %.1f dB; mouth to ear %.0f ms median, %.0f ms p90, %.0f ms at most",
                d.snr_db, d.median_delay_ms, d.p90_delay_ms, d.max_delay_ms);
  std::printf("\n");
  return 0;
}
