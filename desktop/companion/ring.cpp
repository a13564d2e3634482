// The player holds the pipe's read end and a listening socket in the
// abstract namespace named after the pipe. A writer that wants to know
// when its sound has played connects to it and reads until the player
// closes the connection. This carries across exec: cat finds the pipe on
// its standard output and the socket by the pipe's name.
#include "ring.hpp"

#include <fcntl.h>
#include <pulse/error.h>
#include <pulse/simple.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "raw.hpp"

namespace desktop {
namespace {

// The sound server's name for a stream's sample format, rate and channels.
using SoundFormat = pa_sample_spec;

constexpr int pipe_bytes = 4096;  // one page: the writer is never far ahead
constexpr std::size_t chunk_bytes = 512;
constexpr int drained_fd = 3;
constexpr int listener_fd = 4;
constexpr int scanned_fds = 10;  // inherited descriptors looked at
constexpr int max_tracked = 4;
constexpr std::size_t max_waiters = 16;

// --- Sun audio files ---------------------------------------------------------

constexpr std::size_t au_header_bytes = 24;
constexpr std::uint32_t au_magic = 0x2e736e64;  // ".snd"
constexpr std::uint32_t au_mulaw = 1;
constexpr std::uint32_t au_linear16 = 3;
constexpr std::uint32_t au_alaw = 27;
constexpr std::uint32_t default_rate = 8000;  // /dev/audio without a header

std::uint32_t big_endian(const unsigned char* p) {
  return (std::uint32_t{p[0]} << 24) | (std::uint32_t{p[1]} << 16) | (std::uint32_t{p[2]} << 8) |
         std::uint32_t{p[3]};
}

// The sound's form from the start of the stream: a .au header, or raw
// mu-law at 8000 Hz mono as /dev/audio plays it. `skip` is the header's
// length; false for an encoding the player does not know.
bool sound_form(const unsigned char* start, std::size_t length, SoundFormat& sound,
                std::size_t& skip) {
  sound = {PA_SAMPLE_ULAW, default_rate, 1};
  skip = 0;
  if (length < au_header_bytes || big_endian(start) != au_magic) return true;
  skip = big_endian(start + 4);
  const std::uint32_t encoding = big_endian(start + 12);
  sound.rate = big_endian(start + 16);
  sound.channels = static_cast<std::uint8_t>(big_endian(start + 20));
  if (encoding == au_mulaw) sound.format = PA_SAMPLE_ULAW;
  else if (encoding == au_alaw) sound.format = PA_SAMPLE_ALAW;
  else if (encoding == au_linear16) sound.format = PA_SAMPLE_S16BE;
  else return false;
  return skip >= au_header_bytes && sound.rate > 0 &&
         sound.rate <= PA_RATE_MAX && sound.channels > 0 && sound.channels <= PA_CHANNELS_MAX;
}

// --- the player --------------------------------------------------------------

void name_of(ino_t pipe, sockaddr_un& address, socklen_t& length) {
  address = {};
  address.sun_family = AF_UNIX;
  // Abstract name: sun_path[0] stays 0.
  const int n = std::snprintf(address.sun_path + 1, sizeof address.sun_path - 1,
                              "voxaria-ring-%llu", static_cast<unsigned long long>(pipe));
  length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 + n);
}

bool pipe_inode(int fd, ino_t& inode) {
  struct stat st {};
  if (fstat(fd, &st) != 0 || !S_ISFIFO(st.st_mode)) return false;
  inode = st.st_ino;
  return true;
}

// Leaves the pipe on 3, the listener on 4, standard error for diagnostics
// and /dev/null on 0 and 1: the player keeps nothing of its parent alive.
void isolate(int read_end, int listener) {
  const int kept[] = {read_end, listener};
  interpose::isolate(kept, STDERR_FILENO);
}

long read_some(unsigned char* buf, std::size_t n) {
  for (;;) {
    const long got = sys::read(drained_fd, buf, n);
    if (got >= 0 || errno != EINTR) return got;
  }
}

struct Player {
  std::array<unsigned char, au_header_bytes> header{};
  std::size_t header_have = 0;
  std::size_t skip = 0;  // header bytes still to drop
  bool failed = false;
  pa_simple* stream = nullptr;
  std::array<int, max_waiters> waiters{};
  std::size_t waiting = 0;
};

constinit Player player{};

bool open_stream(const SoundFormat& sound) {
  int error = 0;
  player.stream = pa_simple_new(nullptr, "Voxaria", PA_STREAM_PLAYBACK, nullptr, "ring", &sound,
                                nullptr, nullptr, &error);
  if (player.stream == nullptr) {
    diagnose("cannot play the ring: pa_simple_new: %s", pa_strerror(error));
    player.failed = true;
  }
  return player.stream != nullptr;
}

void play_bytes(const unsigned char* data, std::size_t n) {
  if (player.stream == nullptr || n == 0) return;
  int error = 0;
  if (pa_simple_write(player.stream, data, n, &error) < 0) {
    diagnose("cannot play the ring: pa_simple_write: %s", pa_strerror(error));
    pa_simple_free(player.stream);
    player.stream = nullptr;
    player.failed = true;
  }
}

// Opens the stream in the form the header says; a stream without one, or
// shorter than one, is raw mu-law.
void start_stream() {
  SoundFormat sound{};
  std::size_t skip = 0;
  if (!sound_form(player.header.data(), player.header_have, sound, skip)) {
    diagnose("cannot play the ring: unknown Sun audio encoding");
    player.failed = true;
    return;
  }
  if (!open_stream(sound)) return;
  if (skip == 0) play_bytes(player.header.data(), player.header_have);
  else player.skip = skip - player.header_have;
}

void feed(const unsigned char* data, std::size_t n) {
  if (player.failed) return;
  if (player.stream == nullptr) {
    const std::size_t take = std::min(n, au_header_bytes - player.header_have);
    std::memcpy(player.header.data() + player.header_have, data, take);
    player.header_have += take;
    data += take;
    n -= take;
    if (player.header_have < au_header_bytes) return;
    start_stream();
  }
  const std::size_t dropped = std::min(n, player.skip);
  player.skip -= dropped;
  play_bytes(data + dropped, n - dropped);
}

void drain() {
  if (player.stream == nullptr && !player.failed && player.header_have > 0) start_stream();
  if (player.stream == nullptr) return;
  int error = 0;
  if (pa_simple_drain(player.stream, &error) < 0)
    diagnose("cannot play the ring: pa_simple_drain: %s", pa_strerror(error));
}

void release_waiters() {
  for (std::size_t i = 0; i < player.waiting; ++i) sys::close(player.waiters[i]);
  player.waiting = 0;
}

bool pipe_empty() {
  int queued = 0;
  return ioctl(drained_fd, FIONREAD, &queued) != 0 || queued == 0;
}

void accept_waiter() {
  const int fd = accept4(listener_fd, nullptr, nullptr, SOCK_CLOEXEC);
  if (fd < 0) return;
  if (player.waiting == player.waiters.size()) {
    sys::close(fd);  // too many at once: this one returns early
    return;
  }
  player.waiters[player.waiting++] = fd;
}

// Plays the pipe until its last writer has gone. A writer that has written
// its sound and wants to know when it has been heard connects to the
// listener: it is let go, by closing its connection, once the pipe is empty
// and the stream has drained. The shell may keep its own write end until
// cat has exited, so cat cannot wait for the end of the pipe.
void play_stream() {
  std::array<unsigned char, chunk_bytes> chunk{};
  for (;;) {
    std::array<pollfd, 2> watched{{{drained_fd, POLLIN, 0}, {listener_fd, POLLIN, 0}}};
    if (poll(watched.data(), watched.size(), -1) < 0) {
      if (errno == EINTR) continue;
      diagnose("poll on the ring pipe: %s", std::strerror(errno));
      return;
    }
    if ((watched[1].revents & POLLIN) != 0) accept_waiter();
    if ((watched[0].revents & (POLLIN | POLLHUP)) != 0) {
      const long got = read_some(chunk.data(), chunk.size());
      if (got <= 0) return;
      feed(chunk.data(), static_cast<std::size_t>(got));
    }
    if (player.waiting > 0 && pipe_empty()) {
      drain();
      release_waiters();
    }
  }
}

[[noreturn]] void play(int read_end, int listener) {
  isolate(read_end, listener);
  play_stream();
  drain();
  if (player.stream != nullptr) pa_simple_free(player.stream);
  // Closing the listener also wakes those still waiting to be accepted.
  sys::close(listener_fd);
  release_waiters();
  std::array<unsigned char, chunk_bytes> chunk{};
  while (read_some(chunk.data(), chunk.size()) > 0) {
  }
  _exit(0);
}

int make_listener(ino_t pipe) {
  const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  sockaddr_un address{};
  socklen_t length = 0;
  name_of(pipe, address, length);
  if (bind(fd, reinterpret_cast<sockaddr*>(&address), length) != 0 || listen(fd, SOMAXCONN) != 0) {
    const int error = errno;
    sys::close(fd);
    errno = error;
    return -1;
  }
  return fd;
}

// --- the writer's side ---------------------------------------------------------

struct Tracked {
  int fd = -1;
  ino_t pipe = 0;
};

constinit std::array<Tracked, max_tracked> tracked{};

void track(int fd, ino_t pipe) {
  for (Tracked& t : tracked) {
    if (t.fd >= 0) continue;
    t = {fd, pipe};
    return;
  }
}

// Returns once what was written to the pipe has been played; at once if no
// player serves it (a pipe that is not a ring, or a player that is done).
void wait_until_played(ino_t pipe) {
  const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return;
  sockaddr_un address{};
  socklen_t length = 0;
  name_of(pipe, address, length);
  if (connect(fd, reinterpret_cast<sockaddr*>(&address), length) == 0) {
    char byte = 0;
    while (sys::read(fd, &byte, 1) < 0 && errno == EINTR) {
    }
  }
  sys::close(fd);
}

}  // namespace

int ring_open(int flags) {
  std::array<int, 2> ends{};
  if (syscall(SYS_pipe2, ends.data(), O_CLOEXEC) != 0) return -1;
  fcntl(ends[1], F_SETPIPE_SZ, pipe_bytes);
  ino_t pipe = 0;
  const int listener = pipe_inode(ends[1], pipe) ? make_listener(pipe) : -1;
  const int error = errno;
  pid_t child = listener < 0 ? -1 : fork();
  if (child < 0) {
    const int cause = listener < 0 ? error : errno;
    sys::close(ends[0]);
    sys::close(ends[1]);
    if (listener >= 0) sys::close(listener);
    errno = cause;
    return -1;
  }
  if (child == 0) {
    // Double fork: the player is nobody's child to reap.
    const pid_t player = fork();
    if (player == 0) play(ends[0], listener);
    _exit(player < 0 ? 1 : 0);
  }
  sys::close(ends[0]);
  sys::close(listener);
  while (waitpid(child, nullptr, 0) < 0 && errno == EINTR) {
  }
  if ((flags & O_CLOEXEC) == 0) fcntl(ends[1], F_SETFD, 0);
  track(ends[1], pipe);
  return ends[1];
}

// Another descriptor of this process on the same pipe (the shell's dup2
// onto standard output before it closes the one it opened), or -1.
int other_end(int fd, ino_t pipe) {
  for (int other = 0; other < scanned_fds; ++other) {
    ino_t inode = 0;
    if (other != fd && pipe_inode(other, inode) && inode == pipe) return other;
  }
  return -1;
}

bool ring_close(int fd) {
  for (Tracked& t : tracked) {
    if (t.fd != fd || fd < 0) continue;
    const int moved = other_end(fd, t.pipe);
    if (moved >= 0) {
      t.fd = moved;
      return false;
    }
    const ino_t pipe = t.pipe;
    t = Tracked{};
    sys::close(fd);
    wait_until_played(pipe);
    return true;
  }
  return false;
}

void ring_adopt() {
  for (int fd = 0; fd < scanned_fds; ++fd) {
    const int flags = fcntl(fd, F_GETFL);
    ino_t pipe = 0;
    if (flags >= 0 && (flags & O_ACCMODE) == O_WRONLY && pipe_inode(fd, pipe)) track(fd, pipe);
  }
}

// The descriptors stay open: this runs before the C library flushes its
// streams at exit, and a program's standard output, a pipe or not, is
// the C library's to flush and close. What stdio still holds is flushed
// first, so that the wait covers it too.
void ring_finish() {
  bool flushed = false;
  for (Tracked& t : tracked) {
    if (t.fd < 0) continue;
    if (!flushed) std::fflush(nullptr);
    flushed = true;
    const ino_t pipe = t.pipe;
    t = Tracked{};
    wait_until_played(pipe);
  }
}

}  // namespace desktop
