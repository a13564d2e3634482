// Console output of the conversation programs.
#pragma once

#include <string_view>

namespace voxaria {

// Prints text and a newline on standard output, pushing every character out
// on its own, so a line appears as it is written even on a pipe.
void message(const char* text);
void message(std::string_view text);

// Makes sure descriptors 0, 1 and 2 are open, attaching /dev/null to any
// that is closed, so that no device or socket is ever handed descriptor 0,
// which the programs take for standard input or for "not open".
void open_standard_descriptors();

}  // namespace voxaria
