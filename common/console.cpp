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

std::string printable_text(std::string_view received) {
  constexpr std::string_view hex = "0123456789ABCDEF";
  std::string shown;
  shown.reserve(received.size());
  for (const char c : received) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte == '\\') {
      shown += "\\\\";
    } else if (byte >= 0x20 && byte <= 0x7E) {
      shown += c;
    } else {
      shown += "\\x";
      shown += hex[byte >> 4];
      shown += hex[byte & 0x0F];
    }
  }
  return shown;
}

void open_standard_descriptors() {
  // open returns the lowest free descriptor: keep opening /dev/null until it
  // lands above 2, then give that last one back.
  int fd;
  while ((fd = open("/dev/null", O_RDWR)) >= 0 && fd <= 2) {
  }
  if (fd > 2) close(fd);
}

}  // namespace voxaria
