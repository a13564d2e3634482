#include "console.hpp"

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

}  // namespace voxaria
