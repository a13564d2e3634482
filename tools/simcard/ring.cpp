// /dev/audio: the ring. The process that opens it is usually a shell about
// to exec cat, so no state can live in the library; the sound goes into a
// real pipe whose other end a detached process plays at the card's pace.
#include "ring.hpp"

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <cerrno>

#include "base.hpp"

namespace simcard {
namespace {

constexpr int pipe_bytes = 4096;  // the kernel's minimum: one page
constexpr std::size_t chunk_bytes = 128;
constexpr int drained_fd = 3;
constexpr unsigned first_closed_fd = 4;
constexpr unsigned fallback_fd_limit = 65536;

// Leaves only the pipe (as descriptor 3) and /dev/null on 0..2, so the
// player keeps neither the writer's end nor anything of its parent's
// (sockets, the caller's pipes) alive.
void isolate(int read_end) {
  if (read_end != drained_fd) {
    dup2(read_end, drained_fd);
  }
  const int null = sys::open("/dev/null", O_RDWR);
  for (int fd = 0; fd < drained_fd; ++fd)
    if (null >= 0 && null != fd) dup2(null, fd);
  if (syscall(SYS_close_range, first_closed_fd, ~0U, 0) != 0) {
    rlimit limit{};
    unsigned last = fallback_fd_limit;
    if (getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur < last)
      last = static_cast<unsigned>(limit.rlim_cur);
    for (unsigned fd = first_closed_fd; fd < last; ++fd) sys::close(static_cast<int>(fd));
  }
  forget_log();
}

int open_ring_file() {
  const char* path = config().ring;
  if (path[0] == '\0') return -1;
  const int fd = sys::open(path, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
  if (fd < 0) diagnose_call("open", path, errno);
  return fd;
}

// Plays the pipe at 8000 bytes per card second, one byte per sample.
[[noreturn]] void play(int read_end) {
  isolate(read_end);
  log_event("audio-open");
  const int ring = open_ring_file();
  std::array<char, chunk_bytes> chunk{};
  std::int64_t total = 0;
  std::int64_t end = 0;
  for (;;) {
    const long got = sys::read(drained_fd, chunk.data(), chunk.size());
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) break;
    if (ring >= 0 && !sys::write_all(ring, chunk.data(), static_cast<std::size_t>(got)))
      diagnose_call("write", config().ring, errno);
    total += got;
    const std::int64_t now = card_position();
    end = (end < now ? now : end) + got;
    wait_for_position(end);
  }
  log_event("audio-close bytes=%lld", static_cast<long long>(total));
  _exit(0);
}

}  // namespace

int open_ring(int flags) {
  std::array<int, 2> ends{};
  if (syscall(SYS_pipe2, ends.data(), O_CLOEXEC) != 0) return -1;
  if (fcntl(ends[1], F_SETPIPE_SZ, pipe_bytes) < 0) diagnose_call("fcntl", "F_SETPIPE_SZ", errno);
  if ((flags & O_CLOEXEC) == 0) fcntl(ends[1], F_SETFD, 0);
  const pid_t child = fork();
  if (child < 0) {
    const int error = errno;
    sys::close(ends[0]);
    sys::close(ends[1]);
    errno = error;
    return -1;
  }
  if (child == 0) {
    // Double fork: the player is nobody's child to reap.
    const pid_t player = fork();
    if (player == 0) play(ends[0]);
    if (player < 0) diagnose_call("fork", "ring player", errno);
    _exit(player < 0 ? 1 : 0);
  }
  sys::close(ends[0]);
  while (waitpid(child, nullptr, 0) < 0 && errno == EINTR) {
  }
  return ends[1];
}

}  // namespace simcard
