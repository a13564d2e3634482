#include "oss.hpp"

#include <fcntl.h>
#include <sys/soundcard.h>

#include <cerrno>

namespace interpose::oss {
namespace {

constexpr int half_duplex_caps = 1;  // revision 1: half duplex, no trigger, no mmap

int fail(int error) {
  errno = error;
  return -1;
}

int give(void* arg, long value) {
  *static_cast<int*>(arg) = static_cast<int>(value);
  return 0;
}

// GETOSPACE and GETISPACE: what a transfer could move without waiting.
int give_space(const Device& d, bool output, void* arg) {
  if (d.playback != output) return fail(EINVAL);
  const auto bytes = static_cast<int>(d.space_bytes(d.fd));
  *static_cast<audio_buf_info*>(arg) =
      audio_buf_info{bytes / d.fragment_bytes, d.fragments, d.fragment_bytes, bytes};
  return 0;
}

int set_nonblocking(int fd) {
  return fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK) != 0 ? -1 : 0;
}

}  // namespace

Reply reply(unsigned long request) {
  switch (request) {
    case SNDCTL_DSP_NONBLOCK:
    case SNDCTL_DSP_POST:
      return Reply::done;
    case SNDCTL_DSP_GETFMTS:
    case SNDCTL_DSP_GETCAPS:
    case SNDCTL_DSP_GETODELAY:
      return Reply::number;
    case SNDCTL_DSP_GETOSPACE:
    case SNDCTL_DSP_GETISPACE:
      return Reply::space;
    default:
      return Reply::none;
  }
}

int answer(const Device& d, unsigned long request, void* arg) {
  switch (request) {
    case SNDCTL_DSP_NONBLOCK:
      return set_nonblocking(d.fd);
    case SNDCTL_DSP_POST:  // playback starts with the first write anyway
      return 0;
    default:
      break;
  }
  if (arg == nullptr) return fail(EFAULT);
  switch (request) {
    case SNDCTL_DSP_GETFMTS:
      return give(arg, d.formats);
    case SNDCTL_DSP_GETCAPS:
      return give(arg, half_duplex_caps);
    case SNDCTL_DSP_GETODELAY:
      return d.playback ? give(arg, d.queued_bytes(d.fd)) : fail(EINVAL);
    case SNDCTL_DSP_GETOSPACE:
    case SNDCTL_DSP_GETISPACE:
      return give_space(d, request == SNDCTL_DSP_GETOSPACE, arg);
    default:
      return fail(EINVAL);
  }
}

bool nonblocking(int fd) {
  const int flags = fcntl(fd, F_GETFL);
  return flags >= 0 && (flags & O_NONBLOCK) != 0;
}

}  // namespace interpose::oss
