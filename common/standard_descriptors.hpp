// The three standard descriptors, made sure of at start-up by every program.
#pragma once

namespace voxaria {

// Makes sure descriptors 0, 1 and 2 are open, attaching /dev/null to any
// that is closed, so that no device, socket or probe is ever handed
// descriptor 0, which the programs take for standard input or for "not
// open" (and the daemon's probe for "running").
void open_standard_descriptors();

}  // namespace voxaria
