// The conversation, the same at both ends: talk while the local talker
// speaks, play what arrived meanwhile once they fall silent.
#pragma once

#include "sound_device.hpp"

namespace voxaria {

extern AudioBlock play_buffer;  // the decoded block being played

// Calibrates, then converses until a failure (-1, after "Terminating..") or
// until input on standard input hangs up or the peer hangs up, either of
// which ends the process with status 1. A failure and a hang-up here are
// told to the peer, whose call ends too. Reads the
// program profile, which must be filled.
int run_conversation();

}  // namespace voxaria
