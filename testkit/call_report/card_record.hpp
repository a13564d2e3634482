// Reading what the simulated sound card recorded of a call: its event log
// and its loudspeaker file, and WAV files in general.
#pragma once

#include <cstdint>
#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace voxaria::report {

inline constexpr int sample_rate = 8000;
inline constexpr std::size_t block_samples = 128;

// One line of the card's event log: time, process, event, key=value fields.
struct CardEvent {
  double time = 0;  // card seconds
  long pid = 0;
  std::string kind;
  std::map<std::string, std::string> fields;

  std::optional<long> number(const std::string& key) const;
  bool has(const std::string& key, const std::string& value) const;
};

std::vector<CardEvent> read_card_log(const std::filesystem::path& path);
std::vector<CardEvent> events_of_kind(const std::vector<CardEvent>& events,
                                      const std::string& kind);

// The samples of a 16-bit mono PCM WAV file; empty when it is not one.
std::vector<std::int16_t> read_wav(const std::filesystem::path& path);
void write_wav(const std::filesystem::path& path, const std::vector<std::int16_t>& samples);

}  // namespace voxaria::report
