// The stream is made at the first read or write, when the program has
// said which format and fragments it wants: a stream made at open would
// start in the card's default 8-bit format and deliver samples the program
// never asked for.
//
// Blocking is close to that of a card with the requested fragments:
// playback keeps at most twice the fragments' bytes queued (a write returns
// once no more are), close drains only that, and recording keeps at most a few buffers, so a
// reader that falls behind loses old sound instead of collecting delay.
#include "dsp.hpp"

#include <fcntl.h>
#include <pulse/error.h>
#include <pulse/simple.h>
#include <sys/soundcard.h>

#include <cerrno>
#include <cstdint>

#include "oss.hpp"
#include "raw.hpp"

namespace desktop {
namespace {

// The sound server's name for a stream's sample format, rate and channels.
using SoundFormat = pa_sample_spec;

constexpr unsigned rate = 8000;
constexpr int default_fragment_bits = 12;  // an OSS card's usual 4 KiB ...
constexpr int default_fragments = 2;       // ... twice, until told otherwise
constexpr int min_fragment_bits = 4;
constexpr int max_fragment_bits = 16;
constexpr int max_fragments = 0x7fff;
constexpr std::size_t recording_buffers = 8;  // kept before old sound is dropped
// The server takes a whole quantum at a time: a stream holding only the two
// fragments runs dry between quanta, and on pipewire-pulse a block is then
// now and then lost; twice that keeps every block for 16 ms more delay.
constexpr std::uint32_t playback_margin = 2;
constexpr const char* application = "Voxaria";

struct Device {
  int fd = -1;
  bool playback = false;
  int format = AFMT_U8;
  int fragment_bits = default_fragment_bits;
  int fragments = default_fragments;
  pa_simple* stream = nullptr;
};

constinit Device device{};

std::size_t buffer_bytes() {
  return (std::size_t{1} << device.fragment_bits) * static_cast<std::size_t>(device.fragments);
}

pa_sample_format_t sample_format() {
  return device.format == AFMT_S16_LE ? PA_SAMPLE_S16LE : PA_SAMPLE_U8;
}

void drop_stream() {
  if (device.stream == nullptr) return;
  if (device.playback) pa_simple_drain(device.stream, nullptr);
  pa_simple_free(device.stream);
  device.stream = nullptr;
}

bool ensure_stream() {
  if (device.stream != nullptr) return true;
  const SoundFormat sound{sample_format(), rate, 1};
  const auto bytes = static_cast<std::uint32_t>(buffer_bytes());
  const auto fragment = static_cast<std::uint32_t>(std::size_t{1} << device.fragment_bits);
  pa_buffer_attr attr{};
  attr.fragsize = fragment;
  attr.tlength = bytes * playback_margin;
  attr.prebuf = static_cast<std::uint32_t>(-1);
  attr.minreq = static_cast<std::uint32_t>(-1);
  attr.maxlength = device.playback ? static_cast<std::uint32_t>(-1)
                                   : static_cast<std::uint32_t>(bytes * recording_buffers);
  int error = 0;
  device.stream = pa_simple_new(nullptr, application,
                                device.playback ? PA_STREAM_PLAYBACK : PA_STREAM_RECORD, nullptr,
                                device.playback ? "playback" : "recording", &sound, nullptr, &attr,
                                &error);
  if (device.stream == nullptr) {
    diagnose("pa_simple_new for %s: %s", device.playback ? "playback" : "recording",
             pa_strerror(error));
    errno = EIO;
    return false;
  }
  return true;
}

int set_fragment(int* value) {
  int bits = *value & 0xffff;
  int count = (*value >> 16) & 0xffff;
  if (bits < min_fragment_bits) bits = min_fragment_bits;
  if (bits > max_fragment_bits) bits = max_fragment_bits;
  if (count < 2) count = 2;
  if (count > max_fragments) count = max_fragments;
  drop_stream();
  device.fragment_bits = bits;
  device.fragments = count;
  *value = (count << 16) | bits;
  return 0;
}

int set_format(int* value) {
  const int wanted = *value == AFMT_QUERY ? device.format : *value;
  const int granted = wanted == AFMT_U8 ? AFMT_U8 : AFMT_S16_LE;
  if (granted != device.format) drop_stream();
  device.format = granted;
  *value = granted;
  return 0;
}

int fail(int error) {
  errno = error;
  return -1;
}

// --- Requests and non-blocking transfers: what the stream holds is
// estimated from the server's latency report, as pa_simple tells no more.

std::size_t fragment_bytes() { return std::size_t{1} << device.fragment_bits; }

// Bytes the server holds for us: played within that long, or recorded and
// not yet read (the recording side counts the source's own latency too,
// so it is taken in whole fragments less one).
std::size_t held_bytes() {
  if (device.stream == nullptr) return 0;
  int error = 0;
  const pa_usec_t latency = pa_simple_get_latency(device.stream, &error);
  if (latency == static_cast<pa_usec_t>(-1)) return 0;
  const std::size_t sample = device.format == AFMT_S16_LE ? 2 : 1;
  std::size_t bytes = static_cast<std::size_t>(latency * rate / 1'000'000) * sample;
  if (!device.playback) {
    const std::size_t fragments = bytes / fragment_bytes();
    bytes = fragments > 1 ? (fragments - 1) * fragment_bytes() : 0;
  }
  return bytes < buffer_bytes() ? bytes : buffer_bytes();
}

// What a write could queue, or a read take, without waiting.
std::size_t space_bytes() { return device.playback ? buffer_bytes() - held_bytes() : held_bytes(); }

long queued_bytes(int) { return static_cast<long>(held_bytes()); }
long free_or_ready_bytes(int) { return static_cast<long>(space_bytes()); }

// The requests every stand-in answers alike.
int common_request(unsigned long request, void* arg) {
  const interpose::oss::Device known{.fd = device.fd,
                                     .playback = device.playback,
                                     .formats = AFMT_U8 | AFMT_S16_LE,
                                     .fragment_bytes = static_cast<int>(fragment_bytes()),
                                     .fragments = device.fragments,
                                     .queued_bytes = queued_bytes,
                                     .space_bytes = free_or_ready_bytes};
  return interpose::oss::answer(known, request, arg);
}

// A non-blocking transfer of `n` bytes: how many to move now, 0 with
// errno EAGAIN when none.
std::size_t transfer_now(std::size_t n) {
  if (!interpose::oss::nonblocking(device.fd)) return n;
  const std::size_t space = space_bytes();
  if (space == 0) errno = EAGAIN;
  return n < space ? n : space;
}

}  // namespace

int dsp_open(int flags) {
  const int mode = flags & O_ACCMODE;
  if (mode == O_RDWR) return fail(EINVAL);
  if (device.fd >= 0) return fail(EBUSY);
  // A real descriptor, so select, fstat and close work on it.
  const int fd = sys::open("/dev/null", mode | (flags & (O_CLOEXEC | O_NONBLOCK)));
  if (fd < 0) return -1;
  device = Device{};
  device.fd = fd;
  device.playback = mode == O_WRONLY;
  return fd;
}

bool is_dsp(int fd) { return fd >= 0 && fd == device.fd; }

long dsp_read(void* buf, std::size_t n) {
  if (device.playback) return fail(EBADF);
  if (n == 0) return 0;
  if (!ensure_stream()) return -1;
  n = transfer_now(n);
  if (n == 0) return -1;
  int error = 0;
  if (pa_simple_read(device.stream, buf, n, &error) < 0) {
    diagnose("pa_simple_read: %s", pa_strerror(error));
    return fail(EIO);
  }
  return static_cast<long>(n);
}

long dsp_write(const void* buf, std::size_t n) {
  if (!device.playback) return fail(EBADF);
  if (n == 0) return 0;
  if (!ensure_stream()) return -1;
  n = transfer_now(n);
  if (n == 0) return -1;
  int error = 0;
  if (pa_simple_write(device.stream, buf, n, &error) < 0) {
    diagnose("pa_simple_write: %s", pa_strerror(error));
    return fail(EIO);
  }
  return static_cast<long>(n);
}

int dsp_ioctl(unsigned long request, void* arg) {
  int* value = static_cast<int*>(arg);
  switch (request) {
    case SNDCTL_DSP_SETFMT:
      return set_format(value);
    case SNDCTL_DSP_SETFRAGMENT:
      return set_fragment(value);
    case SNDCTL_DSP_SPEED:
      *value = static_cast<int>(rate);
      return 0;
    case SNDCTL_DSP_CHANNELS:
      *value = 1;
      return 0;
    case SNDCTL_DSP_STEREO:
      *value = 0;
      return 0;
    case SNDCTL_DSP_GETBLKSIZE:
      *value = 1 << device.fragment_bits;
      return 0;
    case SNDCTL_DSP_SYNC:
      if (device.stream != nullptr && device.playback) pa_simple_drain(device.stream, nullptr);
      return 0;
    case SNDCTL_DSP_RESET:
      if (device.stream != nullptr) pa_simple_flush(device.stream, nullptr);
      return 0;
    default:
      if (interpose::oss::reply(request) != interpose::oss::Reply::none)
        return common_request(request, arg);
      return fail(EINVAL);
  }
}

void dsp_release() {
  drop_stream();
  device = Device{};
}

}  // namespace desktop
