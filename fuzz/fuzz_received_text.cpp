// The texts taken from set-up datagrams: what is printed of them, how it is
// shown on the terminal, and the caller's test for a "no" ring status reply.

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "peer.hpp"
#include "protocol.hpp"

namespace {

using namespace voxaria;

// Undoes printable_text, to check that nothing is lost or made up.
std::string unescaped(const std::string& shown) {
  std::string text;
  for (std::size_t i = 0; i < shown.size(); ++i) {
    if (shown[i] != '\\') {
      text += shown[i];
    } else if (shown.at(i + 1) == '\\') {
      text += '\\';
      ++i;
    } else {
      if (shown.at(i + 1) != 'x') std::abort();
      text += static_cast<char>(std::stoi(shown.substr(i + 2, 2), nullptr, 16));
      i += 3;
    }
  }
  return text;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const auto* bytes = reinterpret_cast<const char*>(data);
  const auto received = static_cast<std::ptrdiff_t>(size);
  const std::string_view text = protocol::received_text(bytes, received);
  if (text.size() > size || text.find('\0') != std::string_view::npos) std::abort();
  if (!text.empty() && std::memcmp(text.data(), bytes, text.size()) != 0) std::abort();
  if (text.size() < size && bytes[text.size()] != '\0') std::abort();

  const std::string shown = printable_text(text);
  for (const char c : shown)
    if (c < 0x20 || c > 0x7E) std::abort();
  if (unescaped(shown) != text) std::abort();

  // The ring status reply as the C library compares it: a zeroed 40-byte
  // area with what arrived of it, strncmp over 16 bytes.
  char reply[protocol::ring_status_limit] = {};
  const std::size_t kept = std::min(size, sizeof reply);
  if (kept > 0) std::memcpy(reply, bytes, kept);
  const bool no = std::strncmp(reply, "no", protocol::ring_status_compared) == 0;
  if (protocol::is_ring_no(reply, static_cast<std::ptrdiff_t>(kept)) != no) std::abort();
  return 0;
}
