#include "base.hpp"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

namespace simcard {
namespace {

constexpr std::int64_t ns_per_second = 1'000'000'000;
constexpr std::size_t wav_header_min = 12;
constexpr std::size_t line_capacity = 512;

constinit Config settings{};
constinit bool initialised = false;
constinit bool initialising = false;
constinit std::int64_t epoch_ns = 0;  // CLOCK_MONOTONIC
constinit int log_fd = -1;

std::int64_t clock_ns(clockid_t clock) {
  timespec ts{};
  clock_gettime(clock, &ts);
  return ts.tv_sec * ns_per_second + ts.tv_nsec;
}

// "seconds[.fraction]" as printed by date +%s.%N; false if malformed.
bool parse_instant(const char* text, std::int64_t& ns) {
  char* end = nullptr;
  errno = 0;
  const long long seconds = std::strtoll(text, &end, 10);
  if (end == text || errno != 0 || seconds < 0) return false;
  std::int64_t fraction = 0;
  if (*end == '.') {
    std::int64_t scale = ns_per_second / 10;
    for (++end; *end >= '0' && *end <= '9'; ++end, scale /= 10) fraction += (*end - '0') * scale;
  }
  if (*end != '\0') return false;
  ns = seconds * ns_per_second + fraction;
  return true;
}

void set_epoch() {
  const std::int64_t mono = clock_ns(CLOCK_MONOTONIC);
  const std::int64_t real = clock_ns(CLOCK_REALTIME);
  const char* text = std::getenv("SIMCARD_EPOCH");
  std::int64_t instant = 0;
  if (text != nullptr && parse_instant(text, instant)) {
    epoch_ns = mono - (real - instant);
    return;
  }
  if (text != nullptr) diagnose("SIMCARD_EPOCH=%s is not seconds since 1970; using now", text);
  // Children (the shell behind system(), cat) share this timeline.
  epoch_ns = mono;
  char value[48];
  std::snprintf(value, sizeof value, "%lld.%09lld", static_cast<long long>(real / ns_per_second),
                static_cast<long long>(real % ns_per_second));
  setenv("SIMCARD_EPOCH", value, 1);
}

double env_number(const char* name, double fallback, double minimum) {
  const char* text = std::getenv(name);
  if (text == nullptr || *text == '\0') return fallback;
  char* end = nullptr;
  const double value = std::strtod(text, &end);
  if (*end != '\0' || !std::isfinite(value) || value < minimum) {
    diagnose("%s=%s is not a number >= %g; using %g", name, text, minimum, fallback);
    return fallback;
  }
  return value;
}

void env_path(const char* name, char (&path)[path_capacity]) {
  const char* text = std::getenv(name);
  if (text == nullptr || *text == '\0') return;
  if (std::strlen(text) >= path_capacity) {
    diagnose("%s is too long; ignored", name);
    return;
  }
  std::strcpy(path, text);
}

bool parse_count(const char* text, std::int64_t& value) {
  char* end = nullptr;
  errno = 0;
  const long long parsed = std::strtoll(text, &end, 10);
  if (end == text || (*end != '\0' && *end != ',') || errno != 0 || parsed < 0) return false;
  value = parsed;
  return true;
}

bool starts_with(const char* text, const char* prefix) {
  return std::strncmp(text, prefix, std::strlen(prefix)) == 0;
}

bool parse_fault(const char* item, std::size_t length, Faults& faults) {
  const auto is = [&](const char* name) {
    return std::strlen(name) == length && std::strncmp(item, name, length) == 0;
  };
  if (is("nocard")) return faults.nocard = true;
  if (is("setfmt")) return faults.setfmt = true;
  if (is("setfragment")) return faults.setfragment = true;
  if (starts_with(item, "readfail=")) return parse_count(item + 9, faults.readfail);
  if (starts_with(item, "readeof=")) return parse_count(item + 8, faults.readeof);
  if (starts_with(item, "writefail=")) return parse_count(item + 10, faults.writefail);
  return false;
}

void parse_faults(Faults& faults) {
  const char* text = std::getenv("SIMCARD_FAULTS");
  if (text == nullptr) return;
  while (*text != '\0') {
    const std::size_t length = std::strcspn(text, ",");
    if (length > 0 && !parse_fault(text, length, faults))
      diagnose("unknown fault '%.*s' in SIMCARD_FAULTS", static_cast<int>(length), text);
    text += length;
    if (*text == ',') ++text;
  }
}

std::uint32_t le32(const unsigned char* p) {
  return p[0] | p[1] << 8 | p[2] << 16 | static_cast<std::uint32_t>(p[3]) << 24;
}

std::uint16_t le16(const unsigned char* p) { return static_cast<std::uint16_t>(p[0] | p[1] << 8); }

// Finds the samples of a PCM 16-bit mono 8000 Hz WAV file; false otherwise.
bool wav_samples(const unsigned char* file, std::size_t size, const unsigned char*& data,
                 std::size_t& bytes) {
  if (size < wav_header_min || std::memcmp(file + 8, "WAVE", 4) != 0) return false;
  bool format_ok = false;
  for (std::size_t at = wav_header_min; at + 8 <= size;) {
    const unsigned char* chunk = file + at;
    const std::size_t length = le32(chunk + 4);
    const std::size_t available = size - at - 8;
    if (std::memcmp(chunk, "fmt ", 4) == 0) {
      if (length < 16 || available < 16) return false;
      format_ok = le16(chunk + 8) == 1 && le16(chunk + 10) == 1 &&
                  le32(chunk + 12) == sample_rate && le16(chunk + 22) == 16;
      if (!format_ok) return false;
    } else if (std::memcmp(chunk, "data", 4) == 0) {
      data = chunk + 8;
      bytes = length < available ? length : available;
      return format_ok;
    }
    if (length > available) return false;
    at += 8 + length + (length & 1);
  }
  return false;
}

void load_input() {
  const char* path = std::getenv("SIMCARD_INPUT");
  if (path == nullptr || *path == '\0') return;
  const int fd = sys::open(path, O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    diagnose_call("open", path, errno);
    return;
  }
  struct stat st {};
  void* map = MAP_FAILED;
  if (fstat(fd, &st) != 0)
    diagnose_call("fstat", path, errno);
  else if (st.st_size > 0 && (map = mmap(nullptr, static_cast<std::size_t>(st.st_size), PROT_READ,
                                         MAP_PRIVATE, fd, 0)) == MAP_FAILED)
    diagnose_call("mmap", path, errno);
  sys::close(fd);
  if (map == MAP_FAILED) return;
  const auto* bytes = static_cast<const unsigned char*>(map);
  const auto size = static_cast<std::size_t>(st.st_size);
  const unsigned char* data = bytes;
  std::size_t length = size;
  if (size >= 4 && std::memcmp(bytes, "RIFF", 4) == 0 && !wav_samples(bytes, size, data, length)) {
    diagnose("SIMCARD_INPUT %s is not a PCM 16-bit mono 8000 Hz WAV file; no input", path);
    munmap(map, size);
    return;
  }
  settings.input = data;
  settings.input_samples = static_cast<std::int64_t>(length / 2);
}

void read_environment() {
  settings.speed = env_number("SIMCARD_SPEED", 1.0, 0.0);
  if (settings.speed <= 0.0) {
    diagnose("SIMCARD_SPEED must be positive; using 1");
    settings.speed = 1.0;
  }
  settings.input_offset = std::llround(env_number("SIMCARD_INPUT_AT", 0.0, -1e12) * sample_rate);
  settings.noise = env_number("SIMCARD_NOISE", 0.0, 0.0);
  settings.seed = static_cast<std::uint64_t>(env_number("SIMCARD_SEED", 1.0, 0.0));
  settings.read_chunk = static_cast<std::int64_t>(env_number("SIMCARD_READ_CHUNK", 0.0, 0.0));
  if (const char* format = std::getenv("SIMCARD_FORMAT"); format != nullptr && *format != '\0')
    settings.forced_format = static_cast<int>(std::strtol(format, nullptr, 0));
  env_path("SIMCARD_OUTPUT", settings.output);
  env_path("SIMCARD_RING", settings.ring);
  env_path("SIMCARD_LOG", settings.log);
  parse_faults(settings.faults);
  load_input();
}

std::uint64_t mix(std::uint64_t x) {
  x += 0x9E3779B97F4A7C15ULL;
  x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9ULL;
  x = (x ^ (x >> 27)) * 0x94D049BB133111EBULL;
  return x ^ (x >> 31);
}

// Standard normal deviate that depends only on the position and the seed,
// so any read pattern sees the same noise at the same place.
double gaussian(std::int64_t position, std::uint64_t seed) {
  const std::uint64_t key = mix(seed) + 2 * static_cast<std::uint64_t>(position);
  const double u1 = static_cast<double>((mix(key) >> 11) + 1) * 0x1p-53;
  const double u2 = static_cast<double>(mix(key + 1) >> 11) * 0x1p-53;
  constexpr double two_pi = 6.283185307179586;
  return std::sqrt(-2.0 * std::log(u1)) * std::cos(two_pi * u2);
}

}  // namespace

void initialise() {
  if (initialised || initialising) return;
  initialising = true;
  set_epoch();
  read_environment();
  initialised = true;
  initialising = false;
}

const Config& config() {
  initialise();
  return settings;
}

double card_seconds() {
  initialise();
  return static_cast<double>(clock_ns(CLOCK_MONOTONIC) - epoch_ns) * 1e-9 * settings.speed;
}

std::int64_t card_position() {
  return static_cast<std::int64_t>(std::floor(card_seconds() * sample_rate));
}

std::int64_t real_duration_ns(std::int64_t card_ns) {
  initialise();
  return static_cast<std::int64_t>(std::ceil(static_cast<double>(card_ns) / settings.speed));
}

bool wait_for_position(std::int64_t position) {
  initialise();
  const double card_ns = static_cast<double>(position) * ns_per_second / sample_rate;
  std::int64_t target = epoch_ns + static_cast<std::int64_t>(std::ceil(card_ns / settings.speed));
  while (card_position() < position) {
    const timespec until{static_cast<time_t>(target / ns_per_second), target % ns_per_second};
    if (syscall(SYS_clock_nanosleep, CLOCK_MONOTONIC, TIMER_ABSTIME, &until, nullptr) != 0 &&
        errno == EINTR)
      return false;
    ++target;  // rounding may leave us a hair short
  }
  return true;
}

std::int16_t microphone(std::int64_t position) {
  const Config& cfg = config();
  double value = 0.0;
  const std::int64_t index = position - cfg.input_offset;
  if (index >= 0 && index < cfg.input_samples)
    value = static_cast<std::int16_t>(le16(cfg.input + 2 * index));
  if (cfg.noise > 0.0) value += std::nearbyint(cfg.noise * gaussian(position, cfg.seed));
  constexpr double low = -32768.0;
  constexpr double high = 32767.0;
  return static_cast<std::int16_t>(value < low ? low : value > high ? high : value);
}

void log_event(const char* format, ...) {
  const Config& cfg = config();
  if (cfg.log[0] == '\0') return;
  const int saved = errno;
  const double now = card_seconds();  // the event's time, not the log's
  if (log_fd < 0) {
    log_fd = sys::open(cfg.log, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    if (log_fd < 0) {
      diagnose_call("open", cfg.log, errno);
      errno = saved;
      return;
    }
  }
  char line[line_capacity];
  int used = std::snprintf(line, sizeof line, "%.6f %d ", now, static_cast<int>(getpid()));
  va_list args;
  va_start(args, format);
  used += std::vsnprintf(line + used, sizeof line - static_cast<std::size_t>(used), format, args);
  va_end(args);
  if (used > static_cast<int>(sizeof line) - 2) used = sizeof line - 2;
  line[used++] = '\n';
  // One write per line: processes sharing the log never interleave.
  sys::write(log_fd, line, static_cast<std::size_t>(used));
  errno = saved;
}

void forget_log() { log_fd = -1; }

void diagnose(const char* format, ...) {
  const int saved = errno;
  char line[line_capacity] = "simcard: ";
  constexpr int prefix = 9;
  va_list args;
  va_start(args, format);
  int used = prefix + std::vsnprintf(line + prefix, sizeof line - prefix, format, args);
  va_end(args);
  if (used > static_cast<int>(sizeof line) - 2) used = sizeof line - 2;
  line[used++] = '\n';
  sys::write(STDERR_FILENO, line, static_cast<std::size_t>(used));
  errno = saved;
}

void diagnose_call(const char* call, const char* what, int error) {
  diagnose("%s %s: %s", call, what, std::strerror(error));
}

const char* errno_name(int error) {
  const char* name = strerrorname_np(error);
  return name != nullptr ? name : "EUNKNOWN";
}

}  // namespace simcard
