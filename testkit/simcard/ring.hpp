#pragma once

namespace simcard {

// Opens the ring device for writing: returns the write end of a pipe that
// a detached player drains at the card's pace, or -1 with errno set.
int open_ring(int flags);

}  // namespace simcard
