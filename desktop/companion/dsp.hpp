// /dev/dsp served through the sound server: a half-duplex card of the
// fragments the program asks for, one open at a time per process.
#pragma once

#include <cstddef>

namespace desktop {

int dsp_open(int flags);
bool is_dsp(int fd);
long dsp_read(void* buf, std::size_t n);
long dsp_write(const void* buf, std::size_t n);
int dsp_ioctl(unsigned long request, void* arg);
// Drains what is queued for playback and lets the stream go; the caller
// closes the descriptor itself.
void dsp_release();

}  // namespace desktop
