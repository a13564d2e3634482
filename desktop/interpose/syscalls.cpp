#include "syscalls.hpp"

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>

namespace interpose {

namespace sys {
int open(const char* path, int flags, unsigned mode) {
  return static_cast<int>(syscall(SYS_openat, AT_FDCWD, path, flags, mode));
}
long read(int fd, void* buf, std::size_t n) { return syscall(SYS_read, fd, buf, n); }
long write(int fd, const void* buf, std::size_t n) { return syscall(SYS_write, fd, buf, n); }
long pwrite(int fd, const void* buf, std::size_t n, std::int64_t offset) {
  return syscall(SYS_pwrite64, fd, buf, n, offset);
}
int close(int fd) { return static_cast<int>(syscall(SYS_close, fd)); }

bool write_all(int fd, const void* buf, std::size_t n) {
  const auto* p = static_cast<const char*>(buf);
  while (n > 0) {
    const long done = write(fd, p, n);
    if (done < 0 && errno == EINTR) continue;
    if (done <= 0) return false;
    p += done;
    n -= static_cast<std::size_t>(done);
  }
  return true;
}
}  // namespace sys

namespace {

constexpr int first_kept_fd = 3;
constexpr unsigned fallback_fd_limit = 65536;

// Without close_range (kernels before 5.9), one close per possible number.
void close_from(unsigned first) {
  if (syscall(SYS_close_range, first, ~0U, 0) == 0) return;
  rlimit limit{};
  unsigned last = fallback_fd_limit;
  if (getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur < last)
    last = static_cast<unsigned>(limit.rlim_cur);
  for (unsigned fd = first; fd < last; ++fd) sys::close(static_cast<int>(fd));
}

}  // namespace

void isolate(std::span<const int> kept, int null_below) {
  int target = first_kept_fd;
  for (const int fd : kept) dup2(fd, target++);
  const int null = sys::open("/dev/null", O_RDWR);
  for (int fd = 0; fd < null_below; ++fd)
    if (null >= 0 && null != fd) dup2(null, fd);
  close_from(static_cast<unsigned>(target));
}

}  // namespace interpose
