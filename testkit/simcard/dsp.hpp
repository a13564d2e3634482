// /dev/dsp: a half-duplex card, one per process, modelled from the clock.
#pragma once

#include <cstddef>

namespace simcard {

bool is_dsp(int fd);
// Each returns like the system call it stands for, errno set last.
int dsp_open(int flags);
long dsp_read(int fd, void* buf, std::size_t n);
long dsp_write(int fd, const void* buf, std::size_t n);
int dsp_ioctl(int fd, unsigned long request, void* arg);
// Drains playback and releases the descriptor; the caller closes it.
void dsp_release(int fd);
// A descriptor number came back from a real open: any card state left on
// it (closed behind the library's back) is stale.
void dsp_forget(int fd);

}  // namespace simcard
