// The companion's side of the shared C library interposition: /dev/dsp and
// /dev/audio go to the sound server; the sound server library's own files
// and sockets go to the C library untouched.
#include <fcntl.h>

#include <cerrno>

#include "dsp.hpp"
#include "interpose.hpp"
#include "ring.hpp"

namespace desktop {
namespace {

__attribute__((constructor)) void start() { ring_adopt(); }
__attribute__((destructor)) void finish() { ring_finish(); }

}  // namespace
}  // namespace desktop

namespace interpose {

int dsp_open(int flags) { return desktop::dsp_open(flags); }
bool is_dsp(int fd) { return desktop::is_dsp(fd); }
long dsp_read(int, void* buf, std::size_t n) { return desktop::dsp_read(buf, n); }
long dsp_write(int, const void* buf, std::size_t n) { return desktop::dsp_write(buf, n); }
int dsp_ioctl(int, unsigned long request, void* arg) { return desktop::dsp_ioctl(request, arg); }
void dsp_release(int) { desktop::dsp_release(); }
// One device per process, known by its descriptor until released.
void forget(int) {}

int audio_open(int flags) {
  if ((flags & O_ACCMODE) != O_RDONLY) return desktop::ring_open(flags);
  errno = EINVAL;
  return -1;
}

bool audio_close(int fd) { return desktop::ring_close(fd); }

}  // namespace interpose
