// Console output of the conversation programs.
#pragma once

#include <string>
#include <string_view>

namespace voxaria {

// Prints text and a newline on standard output, pushing every character out
// on its own, so a line appears as it is written even on a pipe.
void message(const char* text);
void message(std::string_view text);

// Text that came from the network, made safe to show on a terminal: printable
// ASCII stays as it is, a backslash becomes "\\" and every other byte
// (control and escape characters, anything above 0x7E) becomes "\xHH".
std::string printable_text(std::string_view received);

// Makes sure descriptors 0, 1 and 2 are open, attaching /dev/null to any
// that is closed, so that no device or socket is ever handed descriptor 0,
// which the programs take for standard input or for "not open".
void open_standard_descriptors();

}  // namespace voxaria
