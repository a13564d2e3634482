// /dev/audio: the ring. The process that opens it is usually a shell about
// to exec cat, so no state can live in the library; the sound goes into a
// real pipe whose other end a detached process plays at the card's pace.
#include "ring.hpp"

#include <fcntl.h>
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

// Leaves only the pipe (as descriptor 3) and /dev/null on 0..2, so the
// player keeps neither the writer's end nor anything of its parent's alive;
// the log is opened again when next written.
void isolate(int read_end) {
  const int kept[] = {read_end};
  interpose::isolate(kept, drained_fd);
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
