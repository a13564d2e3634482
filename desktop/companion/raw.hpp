// Raw system calls and diagnostics of the desktop companion. Its own I/O
// goes straight to the kernel so it can never loop back into the functions
// it interposes.
#pragma once

#include "syscalls.hpp"

namespace desktop {

namespace sys = interpose::sys;

// "voxaria-desktop: <text>" on standard error.
void diagnose(const char* format, ...) __attribute__((format(printf, 1, 2)));

}  // namespace desktop
