// The interposed C library functions. Only the two device paths and the
// descriptors the card handed out are simulated; everything else goes to
// the next definition (libc's, or a sanitizer's) untouched.
#include <dlfcn.h>
#include <fcntl.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstdint>
#include <cstring>
#include <ctime>

#include "base.hpp"
#include "dsp.hpp"
#include "ring.hpp"

namespace simcard {
namespace {

constexpr std::int64_t ns_per_second = 1'000'000'000;

enum class Path { other, dsp, audio };

Path device_path(const char* path) {
  if (path == nullptr) return Path::other;
  if (std::strcmp(path, "/dev/dsp") == 0) return Path::dsp;
  if (std::strcmp(path, "/dev/audio") == 0) return Path::audio;
  return Path::other;
}

// Set while dlsym runs: it may itself open or read, and those calls must
// not wait for the symbol being looked up.
constinit bool resolving = false;

template <typename Function>
Function* next(Function*& slot, const char* name) {
  if (slot == nullptr && !resolving) {
    resolving = true;
    slot = reinterpret_cast<Function*>(dlsym(RTLD_NEXT, name));
    resolving = false;
  }
  return slot;
}

int fail_with(int error) {
  errno = error;
  return -1;
}

bool needs_mode(int flags) { return (flags & O_CREAT) != 0 || (flags & O_TMPFILE) == O_TMPFILE; }

int open_audio(int flags) {
  const bool reading = (flags & O_ACCMODE) == O_RDONLY;
  const int fd = reading ? -1 : open_ring(flags);
  const int error = reading ? EINVAL : errno;
  if (fd < 0) {
    log_event("open path=/dev/audio mode=%s error=%s", reading ? "r" : "w", errno_name(error));
    errno = error;
    return -1;
  }
  log_event("open path=/dev/audio mode=w fd=%d", fd);
  return fd;
}

// The mode argument of the open family exists only when the flags need it.
unsigned mode_argument(int flags, va_list args) {
  return needs_mode(flags) ? va_arg(args, unsigned) : 0;
}

using OpenAt = int(int, const char*, int, ...);
using OpenAtChecked = int(int, const char*, int);

// Common body of the open family: `forward` calls the real function.
template <typename Forward>
int open_any(int dirfd, const char* path, int flags, unsigned mode, Forward forward) {
  switch (device_path(path)) {
    case Path::dsp:
      return dsp_open(flags);
    case Path::audio:
      return open_audio(flags);
    case Path::other:
      break;
  }
  const int fd = forward();
  if (fd < 0 && fd != -1)  // no next definition found
    return static_cast<int>(syscall(SYS_openat, dirfd, path, flags, mode));
  dsp_forget(fd);
  return fd;
}

int open_plain(int dirfd, const char* path, int flags, unsigned mode, OpenAt*& slot,
               const char* name) {
  return open_any(dirfd, path, flags, mode, [&] {
    OpenAt* real = next(slot, name);
    return real != nullptr ? real(dirfd, path, flags, mode) : -2;
  });
}

int open_checked(int dirfd, const char* path, int flags, OpenAtChecked*& slot, const char* name) {
  return open_any(dirfd, path, flags, 0, [&] {
    OpenAtChecked* real = next(slot, name);
    return real != nullptr ? real(dirfd, path, flags) : -2;
  });
}

using OpenPath = int(const char*, int, ...);
using OpenPathChecked = int(const char*, int);

int open_path(const char* path, int flags, unsigned mode, OpenPath*& slot, const char* name) {
  return open_any(AT_FDCWD, path, flags, mode, [&] {
    OpenPath* real = next(slot, name);
    return real != nullptr ? real(path, flags, mode) : -2;
  });
}

int open_path_checked(const char* path, int flags, OpenPathChecked*& slot, const char* name) {
  return open_any(AT_FDCWD, path, flags, 0, [&] {
    OpenPathChecked* real = next(slot, name);
    return real != nullptr ? real(path, flags) : -2;
  });
}

constinit OpenPath* real_open = nullptr;
constinit OpenPath* real_open64 = nullptr;
constinit OpenAt* real_openat = nullptr;
constinit OpenAt* real_openat64 = nullptr;
constinit OpenPathChecked* real_open_2 = nullptr;
constinit OpenPathChecked* real_open64_2 = nullptr;
constinit OpenAtChecked* real_openat_2 = nullptr;
constinit OpenAtChecked* real_openat64_2 = nullptr;

using Read = ssize_t(int, void*, size_t);
using Write = ssize_t(int, const void*, size_t);
using Close = int(int);
using Ioctl = int(int, unsigned long, ...);
using Nanosleep = int(const timespec*, timespec*);
using Access = int(const char*, int);
using AccessAt = int(int, const char*, int, int);

constinit Read* real_read = nullptr;
constinit Write* real_write = nullptr;
constinit Close* real_close = nullptr;
constinit Ioctl* real_ioctl = nullptr;
constinit Nanosleep* real_nanosleep = nullptr;
constinit Access* real_access = nullptr;
constinit AccessAt* real_faccessat = nullptr;

// /dev/audio is served for writing only, whether or not the file exists:
// a program asking first (the ring daemon does) must hear so.
int audio_access(int mode) {
  if ((mode & R_OK) != 0) return fail_with(EACCES);
  return 0;
}

std::int64_t to_ns(const timespec& t) { return t.tv_sec * ns_per_second + t.tv_nsec; }
timespec from_ns(std::int64_t ns) {
  return {static_cast<time_t>(ns / ns_per_second), ns % ns_per_second};
}

// Sleeps a card duration: 1/SIMCARD_SPEED of it in real time. On an
// interruption `remaining` gets the card time left.
int card_sleep(std::int64_t card_ns, timespec* remaining) {
  log_event("sleep seconds=%.6f", static_cast<double>(card_ns) / ns_per_second);
  const timespec real = from_ns(real_duration_ns(card_ns));
  timespec left{};
  Nanosleep* sleeper = next(real_nanosleep, "nanosleep");
  const int result = sleeper != nullptr ? sleeper(&real, &left)
                                        : static_cast<int>(syscall(SYS_nanosleep, &real, &left));
  if (result != 0 && errno == EINTR && remaining != nullptr) {
    const int error = errno;
    *remaining =
        from_ns(static_cast<std::int64_t>(static_cast<double>(to_ns(left)) * config().speed));
    errno = error;
  }
  return result;
}

__attribute__((constructor)) void start() { initialise(); }

}  // namespace
}  // namespace simcard

using namespace simcard;

// The library is built with hidden visibility; these are its interface.
#pragma GCC visibility push(default)
extern "C" {

int open(const char* path, int flags, ...) {
  va_list args;
  va_start(args, flags);
  const unsigned mode = mode_argument(flags, args);
  va_end(args);
  return open_path(path, flags, mode, real_open, "open");
}

int open64(const char* path, int flags, ...) {
  va_list args;
  va_start(args, flags);
  const unsigned mode = mode_argument(flags, args);
  va_end(args);
  return open_path(path, flags, mode, real_open64, "open64");
}

int openat(int dirfd, const char* path, int flags, ...) {
  va_list args;
  va_start(args, flags);
  const unsigned mode = mode_argument(flags, args);
  va_end(args);
  return open_plain(dirfd, path, flags, mode, real_openat, "openat");
}

int openat64(int dirfd, const char* path, int flags, ...) {
  va_list args;
  va_start(args, flags);
  const unsigned mode = mode_argument(flags, args);
  va_end(args);
  return open_plain(dirfd, path, flags, mode, real_openat64, "openat64");
}

int __open_2(const char* path, int flags) {
  return open_path_checked(path, flags, real_open_2, "__open_2");
}

int __open64_2(const char* path, int flags) {
  return open_path_checked(path, flags, real_open64_2, "__open64_2");
}

int __openat_2(int dirfd, const char* path, int flags) {
  return open_checked(dirfd, path, flags, real_openat_2, "__openat_2");
}

int __openat64_2(int dirfd, const char* path, int flags) {
  return open_checked(dirfd, path, flags, real_openat64_2, "__openat64_2");
}

ssize_t read(int fd, void* buf, size_t n) {
  if (is_dsp(fd)) return dsp_read(fd, buf, n);
  Read* real = next(real_read, "read");
  return real != nullptr ? real(fd, buf, n) : syscall(SYS_read, fd, buf, n);
}

ssize_t write(int fd, const void* buf, size_t n) {
  if (is_dsp(fd)) return dsp_write(fd, buf, n);
  Write* real = next(real_write, "write");
  return real != nullptr ? real(fd, buf, n) : syscall(SYS_write, fd, buf, n);
}

int close(int fd) {
  if (is_dsp(fd)) dsp_release(fd);
  Close* real = next(real_close, "close");
  return real != nullptr ? real(fd) : static_cast<int>(syscall(SYS_close, fd));
}

int ioctl(int fd, unsigned long request, ...) noexcept {
  va_list args;
  va_start(args, request);
  void* arg = va_arg(args, void*);
  va_end(args);
  if (is_dsp(fd)) return dsp_ioctl(fd, request, arg);
  Ioctl* real = next(real_ioctl, "ioctl");
  return real != nullptr ? real(fd, request, arg)
                         : static_cast<int>(syscall(SYS_ioctl, fd, request, arg));
}

int nanosleep(const timespec* request, timespec* remaining) {
  if (request == nullptr || request->tv_nsec < 0 || request->tv_nsec >= ns_per_second ||
      request->tv_sec < 0) {
    Nanosleep* real = next(real_nanosleep, "nanosleep");
    return real != nullptr ? real(request, remaining)
                           : static_cast<int>(syscall(SYS_nanosleep, request, remaining));
  }
  return card_sleep(to_ns(*request), remaining);
}

int access(const char* path, int mode) {
  if (device_path(path) == Path::audio) return audio_access(mode);
  Access* real = next(real_access, "access");
  return real != nullptr ? real(path, mode)
                         : static_cast<int>(syscall(SYS_faccessat, AT_FDCWD, path, mode));
}

int faccessat(int dirfd, const char* path, int mode, int flags) {
  if (device_path(path) == Path::audio) return audio_access(mode);
  AccessAt* real = next(real_faccessat, "faccessat");
  return real != nullptr ? real(dirfd, path, mode, flags)
                         : static_cast<int>(syscall(SYS_faccessat, dirfd, path, mode));
}

unsigned sleep(unsigned seconds) {
  timespec left{};
  if (card_sleep(std::int64_t{seconds} * ns_per_second, &left) == 0) return 0;
  return static_cast<unsigned>(left.tv_sec + (left.tv_nsec > 0 ? 1 : 0));
}

int usleep(useconds_t microseconds) {
  constexpr std::int64_t ns_per_us = 1000;
  return card_sleep(std::int64_t{microseconds} * ns_per_us, nullptr);
}

}  // extern "C"
#pragma GCC visibility pop
