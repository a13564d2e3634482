// The C library interposition shared by the preloaded stand-ins (the
// simulated card and the desktop companion). It takes over the open family,
// read, write, close, ioctl, access and faccessat; only /dev/dsp, /dev/audio
// and the descriptors handed out for them go to the library's device
// functions below, everything else to the next definition (libc's, or a
// sanitizer's) untouched, or straight to the kernel when there is none.
#pragma once

#include <dlfcn.h>

#include <cstddef>

namespace interpose {

// Set while dlsym runs: it may itself open or read, and those calls must
// not wait for the symbol being looked up.
extern bool resolving;

// The next definition of `name` after the library's own, looked up once;
// nullptr while a lookup is under way.
template <typename Function>
Function* next(Function*& slot, const char* name) {
  if (slot == nullptr && !resolving) {
    resolving = true;
    slot = reinterpret_cast<Function*>(dlsym(RTLD_NEXT, name));
    resolving = false;
  }
  return slot;
}

// Supplied by each library. Each returns like the system call it stands
// for, errno set last.
int dsp_open(int flags);
bool is_dsp(int fd);
long dsp_read(int fd, void* buf, std::size_t n);
long dsp_write(int fd, const void* buf, std::size_t n);
int dsp_ioctl(int fd, unsigned long request, void* arg);
// Before a card descriptor is closed: drains playback and lets it go.
void dsp_release(int fd);
// A descriptor number came back from a real open: any device state left
// on it (closed behind the library's back) is stale.
void forget(int fd);
// /dev/audio opened: served for writing only (a read-only open fails with
// EINVAL).
int audio_open(int flags);
// Before a descriptor is closed: true if it was the ring's and the library
// closed it itself.
bool audio_close(int fd);

}  // namespace interpose
