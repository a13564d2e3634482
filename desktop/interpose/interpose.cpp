#include "interpose.hpp"

#include <fcntl.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstring>

#include "syscalls.hpp"

namespace interpose {

constinit bool resolving = false;

namespace {

enum class Path { other, dsp, audio };

Path device_path(const char* path) {
  if (path == nullptr) return Path::other;
  if (std::strcmp(path, "/dev/dsp") == 0) return Path::dsp;
  if (std::strcmp(path, "/dev/audio") == 0) return Path::audio;
  return Path::other;
}

bool needs_mode(int flags) { return (flags & O_CREAT) != 0 || (flags & O_TMPFILE) == O_TMPFILE; }

// The mode argument of the open family exists only when the flags need it.
unsigned mode_argument(int flags, va_list args) {
  return needs_mode(flags) ? va_arg(args, unsigned) : 0;
}

// Common body of the open family: `forward` calls the real function and
// answers -2 when there is none.
template <typename Forward>
int open_any(int dirfd, const char* path, int flags, unsigned mode, Forward forward) {
  switch (device_path(path)) {
    case Path::dsp:
      return dsp_open(flags);
    case Path::audio:
      return audio_open(flags);
    case Path::other:
      break;
  }
  const int fd = forward();
  if (fd == -2) return static_cast<int>(syscall(SYS_openat, dirfd, path, flags, mode));
  forget(fd);
  return fd;
}

using OpenPath = int(const char*, int, ...);
using OpenPathChecked = int(const char*, int);
using OpenAt = int(int, const char*, int, ...);
using OpenAtChecked = int(int, const char*, int);
using Read = ssize_t(int, void*, size_t);
using Write = ssize_t(int, const void*, size_t);
using Close = int(int);
using Ioctl = int(int, unsigned long, ...);
using Access = int(const char*, int);
using AccessAt = int(int, const char*, int, int);

constinit OpenPath* real_open = nullptr;
constinit OpenPath* real_open64 = nullptr;
constinit OpenAt* real_openat = nullptr;
constinit OpenAt* real_openat64 = nullptr;
constinit OpenPathChecked* real_open_2 = nullptr;
constinit OpenPathChecked* real_open64_2 = nullptr;
constinit OpenAtChecked* real_openat_2 = nullptr;
constinit OpenAtChecked* real_openat64_2 = nullptr;
constinit Read* real_read = nullptr;
constinit Write* real_write = nullptr;
constinit Close* real_close = nullptr;
constinit Ioctl* real_ioctl = nullptr;
constinit Access* real_access = nullptr;
constinit AccessAt* real_faccessat = nullptr;

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

int open_at(int dirfd, const char* path, int flags, unsigned mode, OpenAt*& slot,
            const char* name) {
  return open_any(dirfd, path, flags, mode, [&] {
    OpenAt* real = next(slot, name);
    return real != nullptr ? real(dirfd, path, flags, mode) : -2;
  });
}

int open_at_checked(int dirfd, const char* path, int flags, OpenAtChecked*& slot,
                    const char* name) {
  return open_any(dirfd, path, flags, 0, [&] {
    OpenAtChecked* real = next(slot, name);
    return real != nullptr ? real(dirfd, path, flags) : -2;
  });
}

// /dev/audio is served for writing only, whether or not the file exists:
// a program asking first (the ring daemon does) must hear so.
int audio_access(int mode) {
  if ((mode & R_OK) == 0) return 0;
  errno = EACCES;
  return -1;
}

}  // namespace
}  // namespace interpose

using namespace interpose;

// The libraries are built with hidden visibility; these are their interface.
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
  return open_at(dirfd, path, flags, mode, real_openat, "openat");
}

int openat64(int dirfd, const char* path, int flags, ...) {
  va_list args;
  va_start(args, flags);
  const unsigned mode = mode_argument(flags, args);
  va_end(args);
  return open_at(dirfd, path, flags, mode, real_openat64, "openat64");
}

int __open_2(const char* path, int flags) {
  return open_path_checked(path, flags, real_open_2, "__open_2");
}

int __open64_2(const char* path, int flags) {
  return open_path_checked(path, flags, real_open64_2, "__open64_2");
}

int __openat_2(int dirfd, const char* path, int flags) {
  return open_at_checked(dirfd, path, flags, real_openat_2, "__openat_2");
}

int __openat64_2(int dirfd, const char* path, int flags) {
  return open_at_checked(dirfd, path, flags, real_openat64_2, "__openat64_2");
}

ssize_t read(int fd, void* buf, size_t n) {
  if (is_dsp(fd)) return dsp_read(fd, buf, n);
  Read* real = next(real_read, "read");
  return real != nullptr ? real(fd, buf, n) : sys::read(fd, buf, n);
}

ssize_t write(int fd, const void* buf, size_t n) {
  if (is_dsp(fd)) return dsp_write(fd, buf, n);
  Write* real = next(real_write, "write");
  return real != nullptr ? real(fd, buf, n) : sys::write(fd, buf, n);
}

int close(int fd) {
  if (is_dsp(fd)) dsp_release(fd);
  if (audio_close(fd)) return 0;
  Close* real = next(real_close, "close");
  return real != nullptr ? real(fd) : sys::close(fd);
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

}  // extern "C"
#pragma GCC visibility pop
