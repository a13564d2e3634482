#include "dsp.hpp"

#include <fcntl.h>
#include <linux/soundcard.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstdint>
#include <cstring>

#include "base.hpp"
#include "oss.hpp"

namespace simcard {
namespace {

constexpr int max_fds = 4096;
constexpr int default_fragment_log2 = 12;
constexpr int default_fragment_count = 16;
constexpr int min_fragment_log2 = 4;
constexpr int max_fragment_log2 = 16;
constexpr int min_fragment_count = 2;
constexpr int max_fragment_count = 0x7fff;
constexpr int max_buffer_bytes = 64 * 1024;
constexpr std::size_t wav_header_bytes = 44;
constexpr std::size_t convert_samples = 512;

struct Device {
  bool open = false;
  bool playback = false;
  int format = AFMT_S16_LE;
  int fragment_log2 = default_fragment_log2;
  int fragment_count = default_fragment_count;
  std::int64_t read_pos = 0;  // recording: position of the next sample handed out
  std::int64_t end = 0;       // playback: position where the queued audio ends
  bool queued = false;
  // The device is a byte stream: a transfer may split a 16-bit sample. The
  // other half waits here (-1: none) for the next read or write.
  int read_half = -1;   // recording: the high byte of a sample already half handed out
  int write_half = -1;  // playback: the low byte of a sample not yet whole
};

constinit std::array<Device, max_fds> devices{};
constinit int open_devices = 0;
constinit std::int64_t bytes_read = 0;
constinit std::int64_t bytes_written = 0;
constinit int output_fd = -1;
constinit bool output_failed = false;

int fail(int error) {
  errno = error;
  return -1;
}

int bytes_per_sample(const Device& d) { return d.format == AFMT_U8 ? 1 : 2; }
std::int64_t capacity_bytes(const Device& d) {
  return std::int64_t{d.fragment_count} << d.fragment_log2;
}
std::int64_t capacity_samples(const Device& d) { return capacity_bytes(d) / bytes_per_sample(d); }

void put_le32(unsigned char* p, std::uint32_t v) {
  for (int i = 0; i < 4; ++i) p[i] = static_cast<unsigned char>(v >> (8 * i));
}

void put_le16(unsigned char* p, std::uint16_t v) {
  p[0] = static_cast<unsigned char>(v);
  p[1] = static_cast<unsigned char>(v >> 8);
}

std::array<unsigned char, wav_header_bytes> wav_header(std::uint32_t data_bytes) {
  std::array<unsigned char, wav_header_bytes> h{};
  std::memcpy(h.data(), "RIFF", 4);
  put_le32(&h[4], 36 + data_bytes);
  std::memcpy(&h[8], "WAVEfmt ", 8);
  put_le32(&h[16], 16);
  put_le16(&h[20], 1);  // PCM
  put_le16(&h[22], 1);  // mono
  put_le32(&h[24], sample_rate);
  put_le32(&h[28], sample_rate * 2);
  put_le16(&h[32], 2);
  put_le16(&h[34], 16);
  std::memcpy(&h[36], "data", 4);
  put_le32(&h[40], data_bytes);
  return h;
}

void output_error(const char* call) {
  if (!output_failed) diagnose_call(call, config().output, errno);
  output_failed = true;
}

// One timeline file per process, truncated the first time it plays.
bool open_output() {
  const char* path = config().output;
  if (output_fd >= 0 || output_failed || path[0] == '\0') return output_fd >= 0;
  output_fd = sys::open(path, O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (output_fd < 0) {
    output_error("open");
    return false;
  }
  const auto header = wav_header(0);
  if (sys::pwrite(output_fd, header.data(), header.size(), 0) < 0) output_error("pwrite");
  return true;
}

// Keeps the header valid after every write, whoever (a forked child
// sharing the file) wrote last: the sizes follow the file's length.
void update_output_header() {
  struct stat st {};
  if (fstat(output_fd, &st) != 0) {
    output_error("fstat");
    return;
  }
  const auto data = static_cast<std::uint32_t>(st.st_size - static_cast<off_t>(wav_header_bytes));
  const auto header = wav_header(data);
  if (sys::pwrite(output_fd, header.data(), header.size(), 0) < 0) output_error("pwrite");
}

std::int16_t decode(const Device& d, const unsigned char* in, std::int64_t i) {
  if (d.format == AFMT_U8) return static_cast<std::int16_t>((in[i] - 128) * 256);
  return static_cast<std::int16_t>(in[2 * i] | in[2 * i + 1] << 8);
}

void encode(const Device& d, std::int16_t sample, unsigned char* out, std::int64_t i) {
  if (d.format == AFMT_U8) {
    out[i] = static_cast<unsigned char>((sample >> 8) + 128);
    return;
  }
  out[2 * i] = static_cast<unsigned char>(sample);
  out[2 * i + 1] = static_cast<unsigned char>(static_cast<std::uint16_t>(sample) >> 8);
}

void write_output(const Device& d, const unsigned char* in, std::int64_t samples,
                  std::int64_t position) {
  if (!open_output()) return;
  std::array<unsigned char, 2 * convert_samples> block{};
  for (std::int64_t done = 0; done < samples;) {
    std::int64_t count = samples - done;
    if (count > static_cast<std::int64_t>(convert_samples)) count = convert_samples;
    std::int64_t skip = 0;  // positions before the timeline starts
    while (position + done + skip < 0 && skip < count) ++skip;
    for (std::int64_t i = skip; i < count; ++i)
      put_le16(&block[2 * (i - skip)], static_cast<std::uint16_t>(decode(d, in, done + i)));
    const std::int64_t offset = wav_header_bytes + 2 * (position + done + skip);
    if (count > skip && sys::pwrite(output_fd, block.data(),
                                    static_cast<std::size_t>(2 * (count - skip)), offset) < 0)
      output_error("pwrite");
    done += count;
  }
  update_output_header();
}

// Trims a transfer so that a byte-count fault hits exactly at its limit.
std::int64_t before_limit(std::int64_t wanted, std::int64_t done, std::int64_t limit) {
  if (limit < 0) return wanted;
  const std::int64_t left = limit - done;
  return left < wanted ? left : wanted;
}

long read_failed(int fd, int error) {
  log_event("read fd=%d error=%s", fd, errno_name(error));
  return fail(error);
}

long write_failed(int fd, int error) {
  log_event("write fd=%d error=%s", fd, errno_name(error));
  return fail(error);
}

// Losing the oldest samples when the reader fell behind the buffer.
void check_overrun(Device& d, int fd) {
  const std::int64_t now = card_position();
  const std::int64_t oldest = now - capacity_samples(d);
  if (d.read_pos >= oldest) return;
  log_event("overrun fd=%d lost=%lld", fd, static_cast<long long>(oldest - d.read_pos));
  d.read_pos = oldest;
}

const char* request_name(unsigned long request) {
  switch (request) {
    case SNDCTL_DSP_SETFMT:
      return "SETFMT";
    case SNDCTL_DSP_SETFRAGMENT:
      return "SETFRAGMENT";
    case SNDCTL_DSP_SPEED:
      return "SPEED";
    case SNDCTL_DSP_CHANNELS:
      return "CHANNELS";
    case SNDCTL_DSP_STEREO:
      return "STEREO";
    case SNDCTL_DSP_GETBLKSIZE:
      return "GETBLKSIZE";
    case SNDCTL_DSP_SYNC:
      return "SYNC";
    case SNDCTL_DSP_RESET:
      return "RESET";
    case SNDCTL_DSP_POST:
      return "POST";
    case SNDCTL_DSP_NONBLOCK:
      return "NONBLOCK";
    case SNDCTL_DSP_GETFMTS:
      return "GETFMTS";
    case SNDCTL_DSP_GETCAPS:
      return "GETCAPS";
    case SNDCTL_DSP_GETODELAY:
      return "GETODELAY";
    case SNDCTL_DSP_GETOSPACE:
      return "GETOSPACE";
    case SNDCTL_DSP_GETISPACE:
      return "GETISPACE";
    default:
      return nullptr;
  }
}

int choose_format(const Device& d, int requested) {
  const int forced = config().forced_format;
  if (forced >= 0) return forced;
  if (requested == AFMT_QUERY) return d.format;
  return requested == AFMT_U8 || requested == AFMT_S16_LE ? requested : AFMT_S16_LE;
}

int clamp(int v, int low, int high) { return v < low ? low : v > high ? high : v; }

// 0xMMMMSSSS: MMMM fragments of 2^SSSS bytes, within the card's limits.
int choose_fragment(Device& d, int requested) {
  const int log2 = clamp(requested & 0xffff, min_fragment_log2, max_fragment_log2);
  int count = (requested >> 16) & 0xffff;
  if (count == 0) count = max_fragment_count;
  count = clamp(count, min_fragment_count, max_fragment_count);
  const int fitting = max_buffer_bytes >> log2;
  if (count > fitting) count = fitting < min_fragment_count ? min_fragment_count : fitting;
  d.fragment_log2 = log2;
  d.fragment_count = count;
  return count << 16 | log2;
}

// Playback: samples queued and not yet played.
std::int64_t queued_samples(const Device& d) {
  const std::int64_t left = d.end - card_position();
  return d.queued && left > 0 ? left : 0;
}

// Playback: bytes a write may add before it would have to wait.
std::int64_t free_bytes(const Device& d) {
  const std::int64_t held = queued_samples(d) * bytes_per_sample(d) + (d.write_half >= 0 ? 1 : 0);
  return held < capacity_bytes(d) ? capacity_bytes(d) - held : 0;
}

// Recording: bytes a read may take without waiting (at most a buffer: the
// older ones are lost).
std::int64_t ready_bytes(const Device& d) {
  std::int64_t samples = card_position() - d.read_pos;
  if (samples > capacity_samples(d)) samples = capacity_samples(d);
  if (samples < 0) samples = 0;
  return samples * bytes_per_sample(d) + (d.read_half >= 0 ? 1 : 0);
}

int supported_formats() {
  const int forced = config().forced_format;
  return forced >= 0 ? forced : AFMT_S16_LE | AFMT_U8;
}

void drain(const Device& d) {
  if (d.playback && d.queued) wait_for_position(d.end);
}

void reset(Device& d) {
  d.queued = false;
  d.read_pos = card_position();
}

int ioctl_failed(int fd, const char* name, unsigned long request, int error) {
  if (name != nullptr)
    log_event("ioctl fd=%d request=%s error=%s", fd, name, errno_name(error));
  else
    log_event("ioctl fd=%d request=0x%lx error=%s", fd, request, errno_name(error));
  return fail(error);
}

long queued_bytes(int fd) {
  const Device& d = devices[fd];
  return static_cast<long>(capacity_bytes(d) - free_bytes(d));
}

long space_bytes(int fd) {
  const Device& d = devices[fd];
  return static_cast<long>(d.playback ? free_bytes(d) : ready_bytes(d));
}

// Logs what a common request gave back.
void log_reply(int fd, const char* name, unsigned long request, const void* arg) {
  switch (interpose::oss::reply(request)) {
    case interpose::oss::Reply::number:
      log_event("ioctl fd=%d request=%s answer=%d", fd, name, *static_cast<const int*>(arg));
      return;
    case interpose::oss::Reply::space: {
      const auto* info = static_cast<const audio_buf_info*>(arg);
      log_event("ioctl fd=%d request=%s fragments=%d fragstotal=%d fragsize=%d bytes=%d", fd,
                name, info->fragments, info->fragstotal, info->fragsize, info->bytes);
      return;
    }
    default:
      log_event("ioctl fd=%d request=%s", fd, name);
      return;
  }
}

// The requests every stand-in answers alike.
int ioctl_common(const Device& d, int fd, const char* name, unsigned long request, void* arg) {
  const interpose::oss::Device known{.fd = fd,
                                     .playback = d.playback,
                                     .formats = supported_formats(),
                                     .fragment_bytes = 1 << d.fragment_log2,
                                     .fragments = d.fragment_count,
                                     .queued_bytes = queued_bytes,
                                     .space_bytes = space_bytes};
  if (interpose::oss::answer(known, request, arg) != 0)
    return ioctl_failed(fd, name, request, errno);
  log_reply(fd, name, request, arg);
  return 0;
}

// Requests that carry an int both ways.
int ioctl_value(Device& d, int fd, const char* name, unsigned long request, int* arg) {
  const int value = *arg;
  int answer = 0;
  switch (request) {
    case SNDCTL_DSP_SETFMT:
      answer = d.format = choose_format(d, value);
      break;
    case SNDCTL_DSP_SETFRAGMENT:
      answer = choose_fragment(d, value);
      log_event("ioctl fd=%d request=%s value=0x%08x answer=0x%08x", fd, name, value, answer);
      *arg = answer;
      return 0;
    case SNDCTL_DSP_SPEED:
      answer = sample_rate;
      break;
    case SNDCTL_DSP_CHANNELS:
      answer = 1;
      break;
    case SNDCTL_DSP_STEREO:
      answer = 0;
      break;
    default:
      answer = 1 << d.fragment_log2;
      break;  // GETBLKSIZE
  }
  log_event("ioctl fd=%d request=%s value=%d answer=%d", fd, name, value, answer);
  *arg = answer;
  return 0;
}

}  // namespace

bool is_dsp(int fd) { return fd >= 0 && fd < max_fds && devices[fd].open; }

void dsp_forget(int fd) {
  if (is_dsp(fd)) {
    devices[fd].open = false;
    --open_devices;
  }
}

int dsp_open(int flags) {
  const int access = flags & O_ACCMODE;
  const char* mode = access == O_RDONLY ? "r" : access == O_WRONLY ? "w" : "rw";
  int error = 0;
  if (config().faults.nocard)
    error = ENOENT;
  else if (access != O_RDONLY && access != O_WRONLY)
    error = EINVAL;  // half duplex
  else if (open_devices > 0)
    error = EBUSY;
  int fd = -1;
  if (error == 0) {
    fd = sys::open("/dev/null", access | (flags & (O_CLOEXEC | O_NONBLOCK)));
    error = fd < 0 ? errno : 0;
  }
  if (error == 0 && fd >= max_fds) {
    sys::close(fd);
    error = EMFILE;
  }
  if (error != 0) {
    log_event("open path=/dev/dsp mode=%s error=%s", mode, errno_name(error));
    return fail(error);
  }
  Device& d = devices[fd];
  d = Device{};
  d.open = true;
  d.playback = access == O_WRONLY;
  d.read_pos = card_position();
  ++open_devices;
  if (d.playback) open_output();
  log_event("open path=/dev/dsp mode=%s fd=%d", mode, fd);
  return fd;
}

// Takes the half sample a previous transfer left, if any.
std::int64_t take_read_half(Device& d, unsigned char* out, std::int64_t wanted) {
  if (d.read_half < 0 || wanted == 0) return 0;
  out[0] = static_cast<unsigned char>(d.read_half);
  d.read_half = -1;
  return 1;
}

long dsp_read(int fd, void* buf, std::size_t n) {
  Device& d = devices[fd];
  if (d.playback) return read_failed(fd, EBADF);
  const Faults& faults = config().faults;
  if (faults.readfail >= 0 && bytes_read >= faults.readfail) return read_failed(fd, EIO);
  if (faults.readeof >= 0 && bytes_read >= faults.readeof) {
    log_event("read fd=%d bytes=0 eof", fd);
    return 0;
  }
  std::int64_t wanted = static_cast<std::int64_t>(n);
  if (config().read_chunk > 0 && wanted > config().read_chunk) wanted = config().read_chunk;
  wanted = before_limit(wanted, bytes_read, faults.readfail);
  wanted = before_limit(wanted, bytes_read, faults.readeof);
  if (wanted > 0 && interpose::oss::nonblocking(fd)) {
    check_overrun(d, fd);
    const std::int64_t ready = ready_bytes(d);
    if (ready == 0) return read_failed(fd, EAGAIN);
    if (wanted > ready) wanted = ready;
  }
  auto* out = static_cast<unsigned char*>(buf);
  const std::int64_t given = take_read_half(d, out, wanted);
  const int size = bytes_per_sample(d);
  const std::int64_t whole = (wanted - given) / size;
  const bool split = (wanted - given) % size != 0;  // the last sample goes out half
  const std::int64_t samples = whole + (split ? 1 : 0);
  if (samples > 0) {
    check_overrun(d, fd);
    if (!wait_for_position(d.read_pos + samples)) return read_failed(fd, EINTR);
  }
  const std::int64_t first = d.read_pos;
  for (std::int64_t i = 0; i < whole; ++i) encode(d, microphone(first + i), out + given, i);
  if (split) {
    std::array<unsigned char, 2> last{};
    encode(d, microphone(first + whole), last.data(), 0);
    out[given + whole * size] = last[0];
    d.read_half = last[1];
  }
  d.read_pos += samples;
  const std::int64_t bytes = wanted;
  bytes_read += bytes;
  log_event("read fd=%d bytes=%lld pos=%lld in=%lld", fd, static_cast<long long>(bytes),
            static_cast<long long>(first), static_cast<long long>(first - config().input_offset));
  return static_cast<long>(bytes);
}

// Queues whole samples after what is already queued, or at the current
// position after an underrun (the gap stays silent).
// Returns the card position of the first sample: the clock is read once, so
// that the position logged is where the samples really went.
std::int64_t queue_samples(Device& d, const unsigned char* in, std::int64_t samples) {
  const std::int64_t now = card_position();
  const std::int64_t at = d.queued && d.end >= now ? d.end : now;
  if (samples == 0) return at;
  d.end = at;
  d.queued = true;
  write_output(d, in, samples, at);
  d.end += samples;
  return at;
}

long dsp_write(int fd, const void* buf, std::size_t n) {
  Device& d = devices[fd];
  if (!d.playback) return write_failed(fd, EBADF);
  const std::int64_t limit = config().faults.writefail;
  if (limit >= 0 && bytes_written >= limit) return write_failed(fd, EIO);
  std::int64_t bytes = before_limit(static_cast<std::int64_t>(n), bytes_written, limit);
  if (bytes == 0) return 0;
  if (interpose::oss::nonblocking(fd)) {
    const std::int64_t room = free_bytes(d);
    if (room == 0) return write_failed(fd, EAGAIN);
    if (bytes > room) bytes = room;
  }
  const auto* in = static_cast<const unsigned char*>(buf);
  std::int64_t start = -1;
  std::int64_t used = 0;
  if (d.write_half >= 0) {  // completes the sample a previous write began
    const std::array<unsigned char, 2> joined{static_cast<unsigned char>(d.write_half), in[0]};
    d.write_half = -1;
    start = queue_samples(d, joined.data(), 1);
    used = 1;
  }
  const int size = bytes_per_sample(d);
  const std::int64_t rest = queue_samples(d, in + used, (bytes - used) / size);
  if (start < 0) start = rest;
  if ((bytes - used) % size != 0) d.write_half = in[bytes - 1];
  bytes_written += bytes;
  // Interrupted, the data stays queued: the next write waits the longer.
  wait_for_position(d.end - capacity_samples(d));
  log_event("write fd=%d bytes=%lld pos=%lld", fd, static_cast<long long>(bytes),
            static_cast<long long>(start));
  return static_cast<long>(bytes);
}

int dsp_ioctl(int fd, unsigned long request, void* arg) {
  Device& d = devices[fd];
  const char* name = request_name(request);
  const Faults& faults = config().faults;
  if (name == nullptr) return ioctl_failed(fd, name, request, EINVAL);
  if ((request == SNDCTL_DSP_SETFMT && faults.setfmt) ||
      (request == SNDCTL_DSP_SETFRAGMENT && faults.setfragment))
    return ioctl_failed(fd, name, request, EINVAL);
  if (interpose::oss::reply(request) != interpose::oss::Reply::none)
    return ioctl_common(d, fd, name, request, arg);
  switch (request) {
    case SNDCTL_DSP_SYNC:
      drain(d);
      break;
    case SNDCTL_DSP_RESET:
      reset(d);
      break;
    default:
      if (arg == nullptr) return ioctl_failed(fd, name, request, EFAULT);
      return ioctl_value(d, fd, name, request, static_cast<int*>(arg));
  }
  log_event("ioctl fd=%d request=%s", fd, name);
  return 0;
}

void dsp_release(int fd) {
  Device& d = devices[fd];
  drain(d);  // what was written gets played before close returns
  d.open = false;
  --open_devices;
  log_event("close fd=%d", fd);
}

}  // namespace simcard
