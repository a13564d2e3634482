#include "card_record.hpp"

#include <cstring>
#include <fstream>
#include <sstream>

namespace voxaria::report {

namespace {

std::uint32_t little_endian(const std::vector<char>& bytes, std::size_t at, std::size_t size) {
  std::uint32_t value = 0;
  for (std::size_t i = 0; i < size; ++i)
    value |= static_cast<std::uint32_t>(static_cast<unsigned char>(bytes[at + i])) << (8 * i);
  return value;
}

void put_little_endian(std::string& out, std::uint32_t value, std::size_t size) {
  for (std::size_t i = 0; i < size; ++i)
    out.push_back(static_cast<char>((value >> (8 * i)) & 0xFF));
}

}  // namespace

std::optional<long> CardEvent::number(const std::string& key) const {
  const auto found = fields.find(key);
  if (found == fields.end()) return std::nullopt;
  return std::stol(found->second, nullptr, 0);
}

bool CardEvent::has(const std::string& key, const std::string& value) const {
  const auto found = fields.find(key);
  return found != fields.end() && found->second == value;
}

std::vector<CardEvent> read_card_log(const std::filesystem::path& path) {
  std::vector<CardEvent> events;
  std::ifstream in(path);
  std::string line;
  while (std::getline(in, line)) {
    if (in.eof()) break;  // a last line without its newline is still being written
    std::istringstream words(line);
    CardEvent event;
    if (!(words >> event.time >> event.pid >> event.kind)) continue;
    std::string field;
    while (words >> field) {
      const auto equals = field.find('=');
      if (equals != std::string::npos)
        event.fields[field.substr(0, equals)] = field.substr(equals + 1);
    }
    events.push_back(std::move(event));
  }
  return events;
}

std::vector<CardEvent> events_of_kind(const std::vector<CardEvent>& events,
                                      const std::string& kind) {
  std::vector<CardEvent> chosen;
  for (const auto& e : events)
    if (e.kind == kind) chosen.push_back(e);
  return chosen;
}

std::vector<std::int16_t> read_wav(const std::filesystem::path& path) {
  // Read whole in one go: an hour's recording is tens of megabytes.
  std::error_code error;
  const auto file_size = std::filesystem::file_size(path, error);
  std::ifstream in(path, std::ios::binary);
  std::vector<char> bytes(error ? 0 : file_size);
  in.read(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  bytes.resize(static_cast<std::size_t>(in.gcount()));
  if (bytes.size() < 12 || std::memcmp(bytes.data(), "RIFF", 4) != 0 ||
      std::memcmp(bytes.data() + 8, "WAVE", 4) != 0)
    return {};
  bool pcm16_mono = false;
  for (std::size_t at = 12; at + 8 <= bytes.size();) {
    const std::string id(bytes.data() + at, 4);
    const std::size_t size = little_endian(bytes, at + 4, 4);
    const std::size_t body = at + 8;
    if (id == "fmt " && size >= 16 && body + 16 <= bytes.size())
      pcm16_mono =
          little_endian(bytes, body + 2, 2) == 1 && little_endian(bytes, body + 14, 2) == 16;
    if (id == "data" && pcm16_mono) {
      const std::size_t available = std::min(size, bytes.size() - body);
      std::vector<std::int16_t> samples(available / 2);
      for (std::size_t i = 0; i < samples.size(); ++i)
        samples[i] = static_cast<std::int16_t>(little_endian(bytes, body + 2 * i, 2));
      return samples;
    }
    at = body + size + (size & 1);
  }
  return {};
}

void write_wav(const std::filesystem::path& path, const std::vector<std::int16_t>& samples) {
  const auto data_size = static_cast<std::uint32_t>(samples.size() * 2);
  std::string header = "RIFF";
  put_little_endian(header, 36 + data_size, 4);
  header += "WAVEfmt ";
  put_little_endian(header, 16, 4);
  put_little_endian(header, 1, 2);  // PCM
  put_little_endian(header, 1, 2);  // mono
  put_little_endian(header, sample_rate, 4);
  put_little_endian(header, sample_rate * 2, 4);
  put_little_endian(header, 2, 2);
  put_little_endian(header, 16, 2);
  header += "data";
  put_little_endian(header, data_size, 4);
  for (const std::int16_t sample : samples)
    put_little_endian(header, static_cast<std::uint16_t>(sample), 2);
  std::ofstream out(path, std::ios::binary);
  out << header;
}

}  // namespace voxaria::report
