#include "console.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <cstdio>

namespace voxaria {

void message(std::string_view text) {
  for (char c : text) {
    std::printf("%c", c);
    std::fflush(stdout);
  }
  std::printf("\n");
  std::fflush(stdout);
}

void message(const char* text) { message(std::string_view(text)); }

void open_standard_descriptors() {
  // open returns the lowest free descriptor: keep opening /dev/null until it
  // lands above 2, then give that last one back.
  int fd;
  while ((fd = open("/dev/null", O_RDWR)) >= 0 && fd <= 2) {
  }
  if (fd > 2) close(fd);
}

}  // namespace voxaria
