// A block that never came, concealed: the talker's last pitch period
// repeated in its place, blended in from the last sample played and out
// into the block that comes after it, fading after 10 ms of losses in a row
// and silent after 60 ms, so that a loss is heard as a little more of the
// same voice rather than as a hole.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

namespace voxaria {

// Pitch periods of 66 to 200 Hz at 8000 samples a second.
inline constexpr int shortest_period = 40, longest_period = 120;
// What is remembered of the sound played: the window the period is found
// in, a longest period before it to compare it with, and one to repeat.
inline constexpr std::size_t conceal_window = 160;
inline constexpr std::size_t conceal_history = conceal_window + 2 * longest_period;

struct Concealer {
  std::array<std::int16_t, conceal_history> played{};  // oldest first
  std::array<std::int16_t, longest_period> period_samples{};
  int period = 0;        // of the run of losses under way
  std::size_t into = 0;  // samples concealed in it so far; 0 when none is
  std::int16_t last = 0;  // the last sample played before the run
};

// Remembers samples as played, the concealed ones included.
void remember_played(Concealer& c, const std::int16_t* samples, std::size_t count);

// The pitch period of what was played last, in samples.
int pitch_period(const Concealer& c);

// Fills count samples to stand for a lost block (one more of a run).
void conceal(Concealer& c, std::int16_t* out, std::size_t count);

// Blends the start of the first block that came after a run of losses with
// the concealment's own continuation, and ends the run.
void resume(Concealer& c, std::int16_t* samples, std::size_t count);

// The concealer of the incoming stream of a conversation program.
extern Concealer concealer;

}  // namespace voxaria
