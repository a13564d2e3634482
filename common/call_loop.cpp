#include "call_loop.hpp"

#include <sys/select.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <ctime>

#include "adpcm.hpp"
#include "conceal.hpp"
#include "console.hpp"
#include "profile.hpp"
#include "resync.hpp"
#include "squelch.hpp"
#include "transport.hpp"

namespace voxaria {

AudioBlock play_buffer{};

namespace {

int network_fds = 0;  // the call socket's number plus one
timeval zero_timeout{};

// A poll that returns at once; an error counts as something being there,
// so that the receive or the hang-up that follows deals with it.
bool readable(int fd, int nfds) {
  fd_set set;
  FD_ZERO(&set);
  FD_SET(fd, &set);
  timeval timeout = zero_timeout;
  return select(nfds, &set, nullptr, nullptr, &timeout) != 0;
}

bool network_readable() { return readable(profile.call_socket, network_fds); }
bool hang_up_requested() { return readable(STDIN_FILENO, STDIN_FILENO + 1); }

// A side that fails ends the call for its peer too, as a hang-up would.
int terminate() {
  transmit_hang_up();
  message("Terminating..");
  return -1;
}

[[noreturn]] void end_call() {
  close(profile.call_socket);
  if (audio_rd > 0) close(audio_rd);
  if (audio_wr > 0) close(audio_wr);
  message(profile.farewell);
  std::exit(1);
}

// The peer is told, so that its side of the call ends too.
[[noreturn]] void hang_up() {
  transmit_hang_up();
  end_call();
}

void end_if_peer_hung_up() {
  if (!peer_hung_up) return;
  message("The other side hung up.");
  end_call();
}

int collect() {
  while (network_readable())
    if (receive_audio() == -1) return -1;
  return 0;
}

int ready_microphone() {
  if (audio_rd != 0) return 0;
  RECEIVING = 0;
  TRANSMITTING = 1;
  return open_recording();
}

// Sends block after block for as long as the squelch hears speech; the
// block that completes a silence is not sent. What arrives meanwhile is
// queued as it comes, so that the peer's hang-up is heard at once.
int talk() {
  if (record_block(record_buffer) == -1) return -1;
  while (squelch_buffer(static_cast<int>(block_samples)) == 0) {
    resync_coder(record_buffer.data(), compressed_buffer.data(), block_samples, code);
    std::memcpy(transmit_buffer.data(), compressed_buffer.data(),
                static_cast<std::size_t>(compressed_size));
    if (transmit_audio() == -1 || receive_arrived() == -1) return -1;
    if (peer_hung_up) return 0;
    if (record_block(record_buffer) == -1) return -1;
  }
  return 0;
}

// While the card plays, how often the next payload is looked for (in the
// card's time), and how much sound the card must still hold for the block
// that stands in for a lost one to be in time.
constexpr timespec look_interval = {0, 1'000'000};
constexpr int margin_samples = 24;  // 3 ms
// A talk spurt starts to play once its second block has come, and 6 ms
// later: the card then holds a block beyond each block's due time, so that
// the block after a lost one arrives while there is still sound to fill.
constexpr int second_block_looks = 40;
constexpr timespec spurt_cushion = {0, 6'000'000};

enum class Next { payload, none, failure };

// The next payload, waited for a millisecond at a time while the card
// still has more than the margin to play, and never for longer than a
// block's time and the cushion (some OSS layers count their server's
// latency as sound still to play); none when it has not come by then, or
// when standard input asks to hang up.
constexpr int most_looks = 22;

Next next_payload_in_time() {
  for (int looks = 0;; ++looks) {
    if (!isEmpty(headPtr)) return Next::payload;
    if (network_readable()) {
      if (receive_audio() == -1) return Next::failure;
      continue;
    }
    if (looks == most_looks || hang_up_requested() || playback_delay() <= margin_samples)
      return Next::none;
    nanosleep(&look_interval, nullptr);
  }
}

// Holds back the first block of a talk spurt until the second has come.
int cushion() {
  int looks = 0;
  for (; headPtr == tailPtr && looks < second_block_looks; ++looks) {
    if (network_readable()) {
      if (receive_audio() == -1) return -1;
    } else if (hang_up_requested()) {
      return 0;
    } else {
      nanosleep(&look_interval, nullptr);
    }
  }
  if (looks > 0) nanosleep(&spurt_cushion, nullptr);
  return 0;
}

// Decodes and plays the payload in compressed_buffer, blended into the
// block that stood in for a lost one where one did; then collects at most
// one newly arrived payload.
int play_payload() {
  resync_decoder(compressed_buffer.data(), play_buffer.data(), block_samples, decode);
  resume(concealer, play_buffer.data(), block_samples);
  remember_played(concealer, play_buffer.data(), block_samples);
  if (play_block(play_buffer) == -1) return -1;
  if (network_readable() && receive_audio() == -1) return -1;
  return 0;
}

// The talker's last pitch period, played where a block is missing.
int stand_in() {
  conceal(concealer, play_buffer.data(), block_samples);
  remember_played(concealer, play_buffer.data(), block_samples);
  return play_block(play_buffer);
}

// Set once the talker's word has told of a block that never came: from then
// on the card is kept fed where it would otherwise run dry, as it does when
// several blocks in a row are lost. A stream that loses nothing never is.
bool stream_loses = false;
// Stand-ins played in a row before a block comes: with the one played as
// that block tells of the loss, four lost in a row, 64 ms, by when the
// concealment has faded to silence.
constexpr int most_stand_ins = 3;

// The payload in compressed_buffer says that the block before it was lost.
// If that block comes after all (the two were swapped on the way) while
// the card still plays, it is played first; otherwise the talker's last
// pitch period stands in for it.
int fill_gap() {
  const PayloadBuffer held = compressed_buffer;
  const Next next = next_payload_in_time();
  if (next == Next::failure) return -1;
  if (next == Next::payload && follows_on(headPtr->payload.data(), block_samples, decode)) {
    dequeue(&headPtr, &tailPtr);
    if (play_payload() == -1) return -1;
  } else {
    stream_loses = true;
    if (stand_in() == -1) return -1;
  }
  compressed_buffer = held;
  return 0;
}

// Whether the card is about to run dry while the talker of a lossy stream
// was speaking: the quiet blocks that end a talk spurt get no fading end.
// A card that cannot tell what it holds, or whose layer counts its server's
// latency as sound still to play, never seems about to.
bool card_runs_dry(int stand_ins) {
  const bool speaking = !is_quiet(play_buffer.data(), block_samples);
  if (!stream_loses || !speaking || stand_ins == most_stand_ins || hang_up_requested())
    return false;
  const int delay = playback_delay();  // -1 where the card cannot tell
  return delay >= 0 && delay <= margin_samples;
}

// Whether a block the talker's word says was lost still needs a stand-in:
// not where those played while it was awaited have filled its time, as the
// card still holds half a block or more.
bool gap_unfilled(int stand_ins) {
  return stand_ins == 0 || playback_delay() < static_cast<int>(block_samples) / 2;
}

// Plays every queued block, oldest first, and those that come while the
// card still plays.
int play_queue() {
  if (audio_rd > 0) close(audio_rd);
  audio_rd = 0;
  RECEIVING = 1;
  TRANSMITTING = 0;
  if (open_playback() == -1 || cushion() == -1) return -1;
  for (int stand_ins = 0;;) {
    const Next next = next_payload_in_time();
    if (next == Next::failure) return -1;
    if (next == Next::none) {
      if (!card_runs_dry(stand_ins)) break;
      if (stand_in() == -1) return -1;
      ++stand_ins;
      continue;
    }
    dequeue(&headPtr, &tailPtr);
    if (lost_before(compressed_buffer.data(), block_samples, decode) && gap_unfilled(stand_ins) &&
        fill_gap() == -1)
      return -1;
    stand_ins = 0;
    if (play_payload() == -1) return -1;
  }
  concealer.into = 0;  // a fading end is not blended into the next spurt
  close(audio_wr);
  audio_wr = -1;
  return 0;
}

}  // namespace

int run_conversation() {
  network_fds = profile.call_socket + 1;
  zero_timeout = timeval{};
  latch_peer();
  if (threshold() < 0) return terminate();
  message(profile.talk_prompt);
  for (;;) {
    if (collect() == -1) return terminate();
    if (!peer_hung_up) {
      if (ready_microphone() == -1) return terminate();
      if (talk() == -1) return terminate();
      // Hung up while the local talker spoke over the peer: what the peer
      // said meanwhile is not waited for.
      end_if_peer_hung_up();
      if (hang_up_requested()) hang_up();
    }
    // What a listener had not yet heard of the peer is played before the
    // peer's hang-up ends the call.
    if (!isEmpty(headPtr) && play_queue() == -1) return terminate();
    end_if_peer_hung_up();
  }
}

}  // namespace voxaria
