// /dev/audio served through the sound server. The process that opens it is
// usually a shell about to exec cat, so the sound goes into a real pipe
// whose other end a detached player plays; the writer waits at the end
// until the player has played everything.
#pragma once

namespace desktop {

// The write end of a fresh ring pipe, or -1 with errno set.
int ring_open(int flags);
// Called before a descriptor is closed: if it is a ring pipe's write end,
// closes it and waits until the ring has played. True if it did so.
bool ring_close(int fd);
// At start-up: notes inherited ring pipes (the shell's redirection before
// exec); at exit: closes them and waits for their player.
void ring_adopt();
void ring_finish();

}  // namespace desktop
