// The interposed C library functions. Only the two device paths and the
// descriptors handed out for them are served; everything else, including
// the sound server library's own files and sockets, goes to the next
// definition untouched.
#include <dlfcn.h>
#include <fcntl.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstring>

#include "dsp.hpp"
#include "raw.hpp"
#include "ring.hpp"

namespace desktop {
namespace {

enum class Path { other, dsp, audio };

Path device_path(const char* path) {
  if (path == nullptr) return Path::other;
  if (std::strcmp(path, "/dev/dsp") == 0) return Path::dsp;
  if (std::strcmp(path, "/dev/audio") == 0) return Path::audio;
  return Path::other;
}

// Set while dlsym runs: it may itself open or read.
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

unsigned mode_argument(int flags, va_list args) {
  return needs_mode(flags) ? va_arg(args, unsigned) : 0;
}

int open_audio(int flags) {
  if ((flags & O_ACCMODE) == O_RDONLY) return fail_with(EINVAL);
  return ring_open(flags);
}

// Common body of the open family: `forward` calls the real function and
// answers -2 when there is none.
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
  if (fd == -2) return static_cast<int>(syscall(SYS_openat, dirfd, path, flags, mode));
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

// /dev/audio is served for writing whether or not the file exists: the
// ring daemon asks before it rings.
int audio_access(int mode) { return (mode & R_OK) != 0 ? fail_with(EACCES) : 0; }

__attribute__((constructor)) void start() { ring_adopt(); }
__attribute__((destructor)) void finish() { ring_finish(); }

}  // namespace
}  // namespace desktop

using namespace desktop;

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
  if (is_dsp(fd)) return dsp_read(buf, n);
  Read* real = next(real_read, "read");
  return real != nullptr ? real(fd, buf, n) : syscall(SYS_read, fd, buf, n);
}

ssize_t write(int fd, const void* buf, size_t n) {
  if (is_dsp(fd)) return dsp_write(buf, n);
  Write* real = next(real_write, "write");
  return real != nullptr ? real(fd, buf, n) : syscall(SYS_write, fd, buf, n);
}

int close(int fd) {
  if (is_dsp(fd)) dsp_release();
  if (ring_close(fd)) return 0;
  Close* real = next(real_close, "close");
  return real != nullptr ? real(fd) : static_cast<int>(syscall(SYS_close, fd));
}

int ioctl(int fd, unsigned long request, ...) noexcept {
  va_list args;
  va_start(args, request);
  void* arg = va_arg(args, void*);
  va_end(args);
  if (is_dsp(fd)) return dsp_ioctl(request, arg);
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
