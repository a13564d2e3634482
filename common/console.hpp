// Console output of the conversation programs.
#pragma once

#include <string_view>

namespace voxaria {

// Prints text and a newline on standard output, pushing every character out
// on its own, so a line appears as it is written even on a pipe.
void message(const char* text);
void message(std::string_view text);

}  // namespace voxaria
