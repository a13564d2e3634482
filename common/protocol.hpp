// The wire protocol shared by the caller, the answering program and the ring
// daemon: ports, the exact bytes of every set-up datagram, the voice payload
// size and how much each side accepts of a datagram.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string_view>

namespace voxaria::protocol {

inline constexpr std::uint16_t daemon_port = 7000;
inline constexpr std::uint16_t call_port = 5000;

// Text datagrams carry their text and one terminating NUL, counted in their
// length: sizeof of each literal is its datagram's length.
inline constexpr char knock[] = "knock knock..";
inline constexpr char greeting[] =
    "Connected to the party's daemon. Waiting for the party to launch Voxaria...";
inline constexpr char call_opening[] = "Connection established to the client.";
inline constexpr char call_answer[] = "Connection established to the server.";
static_assert(sizeof knock == 14);
static_assert(sizeof greeting == 76);
static_assert(sizeof call_opening == 38);
static_assert(sizeof call_answer == 38);

// Ring status replies are 40 bytes: "no" zero-padded to 16 bytes or "yes"
// zero-padded to 24, zeros up to the end. The caller compares only the first
// 16 bytes, as a NUL-terminated string, with "no".
inline constexpr std::size_t ring_status_size = 40;
inline constexpr std::size_t ring_status_compared = 16;
inline constexpr std::string_view ring_no = "no";
inline constexpr std::size_t ring_no_padded = 16;
inline constexpr std::string_view ring_yes = "yes";
inline constexpr std::size_t ring_yes_padded = 24;

using RingStatus = std::array<char, ring_status_size>;

constexpr RingStatus ring_status(std::string_view word, std::size_t padded) {
  RingStatus reply{};
  for (std::size_t i = 0; i < word.size() && i < padded; ++i) reply[i] = word[i];
  return reply;
}
inline constexpr RingStatus ring_status_no = ring_status(ring_no, ring_no_padded);
inline constexpr RingStatus ring_status_yes = ring_status(ring_yes, ring_yes_padded);

// One voice datagram: the IMA ADPCM codes of one 128-sample block, no header.
inline constexpr std::size_t voice_payload_size = 64;

// How many bytes each receive accepts; the rest of a longer datagram is lost.
inline constexpr std::size_t greeting_limit = 2048;
inline constexpr std::size_t ring_status_limit = 40;
inline constexpr std::size_t call_answer_limit = 1024;
inline constexpr std::size_t call_opening_limit = 1024;
inline constexpr std::size_t knock_limit = 1024;

// The printable text of a received datagram: its bytes up to the first NUL,
// never beyond what arrived.
constexpr std::string_view received_text(const char* data, std::ptrdiff_t received) {
  if (received <= 0) return {};
  std::string_view bytes(data, static_cast<std::size_t>(received));
  return bytes.substr(0, bytes.find('\0'));
}

// Whether a ring status reply says "no": its text, compared over at most its
// first 16 bytes, is exactly "no". Anything else lets the caller go ahead.
constexpr bool is_ring_no(const char* reply, std::ptrdiff_t received) {
  return received_text(reply, received).substr(0, ring_status_compared) == ring_no;
}

}  // namespace voxaria::protocol
