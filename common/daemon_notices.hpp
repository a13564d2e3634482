// What the ring daemon prints while it rings, and the file by which it sees
// the answering program run: the desktop notifier reads the one and probes
// the other, so both take them from here.
#pragma once

namespace voxaria::notices {

// "\n\nThe host NAME is trying to contact you by Voxaria.\n", then the
// second line, at every ring.
inline constexpr char ring_head[] = "The host ";
inline constexpr char ring_tail[] = " is trying to contact you by Voxaria.";
inline constexpr char ring_second_line[] = "Please launch your Voxaria application.";
// Once the caller is taken as gone: its host refused a reply, or nobody
// answered for a minute.
inline constexpr char caller_gone[] = "Connection closed by client.";
// Relative to the daemon's directory: running while it is executed.
inline constexpr char answering_program[] = "./voxaria_server";

}  // namespace voxaria::notices
