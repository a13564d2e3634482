// Raw system calls and diagnostics of the desktop companion. Its own I/O
// goes straight to the kernel so it can never loop back into the functions
// it interposes.
#pragma once

#include <cstddef>

namespace desktop {

namespace sys {
int open(const char* path, int flags, unsigned mode = 0);
long read(int fd, void* buf, std::size_t n);
long write(int fd, const void* buf, std::size_t n);
int close(int fd);
}  // namespace sys

// "voxaria-desktop: <text>" on standard error.
void diagnose(const char* format, ...) __attribute__((format(printf, 1, 2)));

}  // namespace desktop
