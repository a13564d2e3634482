#include "raw.hpp"

#include <unistd.h>

#include <cstdarg>
#include <cstdio>

namespace desktop {

void diagnose(const char* format, ...) {
  constexpr std::size_t line_capacity = 512;
  char line[line_capacity];
  const int prefix = std::snprintf(line, sizeof line, "voxaria-desktop: ");
  va_list args;
  va_start(args, format);
  const int body = std::vsnprintf(line + prefix, sizeof line - prefix - 1, format, args);
  va_end(args);
  std::size_t length = static_cast<std::size_t>(prefix) +
                       (body < 0 ? 0 : static_cast<std::size_t>(body));
  if (length > sizeof line - 2) length = sizeof line - 2;
  line[length++] = '\n';
  sys::write(STDERR_FILENO, line, length);
}

}  // namespace desktop
