// Raw system calls and process set-up shared by the preloaded stand-ins.
// Their own I/O goes straight to the kernel so it can never loop back into
// the functions they interpose.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

namespace interpose {

namespace sys {
int open(const char* path, int flags, unsigned mode = 0);
long read(int fd, void* buf, std::size_t n);
long write(int fd, const void* buf, std::size_t n);
long pwrite(int fd, const void* buf, std::size_t n, std::int64_t offset);
int close(int fd);
// Writes all of `buf`, again after a signal; false on an error.
bool write_all(int fd, const void* buf, std::size_t n);
}  // namespace sys

// In a freshly forked ring player: moves `kept` to descriptors 3, 4, ... in
// order, puts /dev/null on those below `null_below`, and closes all the
// rest, so the player keeps nothing of its parent (sockets, the caller's
// pipes, the writer's end of its own pipe) alive.
void isolate(std::span<const int> kept, int null_below);

}  // namespace interpose
