#include "standard_descriptors.hpp"

#include <fcntl.h>
#include <unistd.h>

namespace voxaria {

void open_standard_descriptors() {
  // open returns the lowest free descriptor: keep opening /dev/null until it
  // lands above 2, then give that last one back.
  int fd;
  while ((fd = open("/dev/null", O_RDWR)) >= 0 && fd <= 2) {
  }
  if (fd > 2) close(fd);
}

}  // namespace voxaria
