// The OSS requests on /dev/dsp that every stand-in answers alike: they
// depend only on what the stand-in knows of the open device, not on how it
// makes its sound.
#pragma once

namespace interpose::oss {

// How a common request answers, so that a stand-in can report it.
enum class Reply {
  none,    // not a common request: the stand-in's own
  done,    // NONBLOCK, POST: nothing to give back
  number,  // GETFMTS, GETCAPS, GETODELAY: an int
  space,   // GETOSPACE, GETISPACE: an audio_buf_info
};

Reply reply(unsigned long request);

// What a stand-in knows of its open device. The byte counts are asked
// only by the requests that need them, since they may cost a round trip.
struct Device {
  int fd = -1;
  bool playback = false;
  int formats = 0;  // GETFMTS
  int fragment_bytes = 1;
  int fragments = 0;
  // Playback: bytes written and not yet played.
  long (*queued_bytes)(int fd) = nullptr;
  // Bytes a write could queue (playback) or a read take (recording) now.
  long (*space_bytes)(int fd) = nullptr;
};

// Answers a request whose reply() is not `none`: 0, or -1 with errno set.
int answer(const Device& device, unsigned long request, void* arg);

// True if the descriptor is in non-blocking mode.
bool nonblocking(int fd);

}  // namespace interpose::oss
