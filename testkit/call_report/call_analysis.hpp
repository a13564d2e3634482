// How well one direction of a call came across: the talker's card says
// which stretches of the input it recorded, the listener's card what it
// played and when. Each played block is matched to the spoken block it
// reproduces, by signal-to-noise ratio.
#pragma once

#include <cstdint>
#include <vector>

#include "card_record.hpp"

namespace voxaria::report {

struct Direction {
  std::size_t blocks_recorded = 0;  // reads of whole blocks at the talker
  std::size_t blocks_played = 0;    // writes of whole blocks at the listener
  std::size_t spoken_blocks = 0;    // recorded blocks loud enough to be speech
  std::size_t spoken_heard = 0;     // of those, heard at least once
  std::size_t heard_twice = 0;      // spoken blocks played more than once
  std::size_t out_of_order = 0;     // played after a block recorded later
  double snr_db = 0;                // over the spoken blocks heard
  double median_delay_ms = 0;       // from the mouth to the ear
  double p90_delay_ms = 0;
  double max_delay_ms = 0;
};

// talker_input: the samples the talker's card took as microphone input
// (its SIMCARD_INPUT); a block is spoken when its mean absolute sample there
// reaches spoken_level and stands clearly above the noise floor a squelch
// would follow. Both cards must share one clock (SIMCARD_EPOCH).
Direction analyse(const std::vector<std::int16_t>& talker_input,
                  const std::vector<CardEvent>& talker_log,
                  const std::vector<CardEvent>& listener_log,
                  const std::vector<std::int16_t>& listener_loudspeaker, double spoken_level = 300);

}  // namespace voxaria::report
