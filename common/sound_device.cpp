#include "sound_device.hpp"

#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/soundcard.h>
#include <unistd.h>

#include <bit>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <string>

#include "console.hpp"

namespace voxaria {

int audio_rd = -1;
int audio_wr = -1;
int RECEIVING = 0;
int TRANSMITTING = 0;
int bits_per_sample = AFMT_S16_LE;
int dma_buffer_size = 0x00020007;  // at most 2 fragments of 2^7 bytes: one block

static_assert(AFMT_S16_LE == 16);
static_assert(SNDCTL_DSP_SETFMT == 0xC0045005);
static_assert(SNDCTL_DSP_SETFRAGMENT == 0xC004500A);

namespace {

struct DirectionTexts {
  const char* format_failed;
  const char* buffer_failed;
};

constexpr DirectionTexts playback_texts = {
    "Error: cannot set the half duplex card to play at 16bits/sample.",
    "Error: cannot set the DMA buffer to play 16msec worth of audio."};
constexpr DirectionTexts recording_texts = {
    "Error: cannot set the half duplex card to record at 16bits/sample",
    "Error: cannot set the DMA buffer to record 16msec worth of audio."};

// Constant flags, not a variable: wrappers that catch only plain open (and
// not the fortified variants) must still see the device being opened.
int open_for_recording() { return open(dsp_path, O_RDONLY); }
int open_for_playback() { return open(dsp_path, O_WRONLY); }

int configure(int handle, const DirectionTexts& texts) {
  if (ioctl(handle, SNDCTL_DSP_SETFMT, &bits_per_sample) == -1) {
    message(texts.format_failed);
    return -1;
  }
  if (ioctl(handle, SNDCTL_DSP_SETFRAGMENT, &dma_buffer_size) == -1) {
    message(texts.buffer_failed);
    return -1;
  }
  return 0;
}

// The card's samples are signed 16-bit little-endian, whatever the host's
// byte order: they are put in the host's order where they cross the device
// (nothing to do on a little-endian host).
constexpr std::int16_t swapped(std::int16_t sample) {
  const auto bits = static_cast<std::uint16_t>(sample);
  return static_cast<std::int16_t>(static_cast<std::uint16_t>(bits << 8 | bits >> 8));
}
static_assert(swapped(0x1234) == 0x3412 && swapped(-2) == static_cast<std::int16_t>(0xFEFF));

void between_device_and_host_order(AudioBlock& block) {
  if constexpr (std::endian::native == std::endian::big)
    for (auto& sample : block) sample = swapped(sample);
}

void report_device_failure(const char* call, ssize_t result) {
  const std::string reason = result == 0 ? "the device delivered no data" : std::strerror(errno);
  message("Error: " + std::string(call) + " " + dsp_path + " failed: " + reason);
}

}  // namespace

int Init_Soundcard() {
  audio_rd = open_for_recording();
  if (audio_rd <= 0) {
    message("Error: Program failed to detect a sound card.");
    return -1;
  }
  message("Detected one half duplex sound card.");
  close(audio_rd);
  audio_rd = 0;
  return 0;
}

int open_recording() {
  audio_rd = open_for_recording();
  if (audio_rd == -1) {
    // The card may still be playing for us: give that up and try again.
    if (audio_wr > 0) close(audio_wr);
    audio_wr = -1;
    audio_rd = open_for_recording();
    if (audio_rd == -1) {
      message("Cannot open /dev/dsp for recording");
      return -1;
    }
  }
  if (DSP_config() < 0) {
    message("Error setting the sampling parameters.");
    return -1;
  }
  return 0;
}

int open_playback() {
  audio_wr = open_for_playback();
  if (audio_wr == -1) {
    if (audio_rd > 0) close(audio_rd);
    audio_rd = 0;
    audio_wr = open_for_playback();
    if (audio_wr == -1) {
      message("Error: Cannot open /dev/dsp for playback");
      return -1;
    }
  }
  if (DSP_config() < 0) {
    message("Error setting the sampling parameter for playback.");
    return -1;
  }
  return 0;
}

int DSP_config() {
  if (RECEIVING) return configure(audio_wr, playback_texts);
  if (TRANSMITTING) return configure(audio_rd, recording_texts);
  return 0;
}

int record_block(AudioBlock& block) {
  auto* bytes = reinterpret_cast<char*>(block.data());
  std::size_t done = 0;
  while (done < block_bytes) {
    const ssize_t got = read(audio_rd, bytes + done, block_bytes - done);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) {
      report_device_failure("read from", got);
      return -1;
    }
    done += static_cast<std::size_t>(got);
  }
  between_device_and_host_order(block);
  return 0;
}

int play_block(const AudioBlock& block) {
  AudioBlock device_order = block;
  between_device_and_host_order(device_order);
  const auto* bytes = reinterpret_cast<const char*>(device_order.data());
  std::size_t done = 0;
  while (done < block_bytes) {
    const ssize_t put = write(audio_wr, bytes + done, block_bytes - done);
    if (put < 0 && errno == EINTR) continue;
    if (put <= 0) {
      report_device_failure("write to", put);
      return -1;
    }
    done += static_cast<std::size_t>(put);
  }
  return 0;
}

int playback_delay() {
  int bytes = 0;
  if (ioctl(audio_wr, SNDCTL_DSP_GETODELAY, &bytes) < 0) return -1;
  return bytes / static_cast<int>(sizeof(std::int16_t));
}

}  // namespace voxaria
