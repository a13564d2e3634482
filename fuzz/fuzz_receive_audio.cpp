// The voice receive path on a real UDP socket: arbitrary sequences of
// datagrams of any length from the latched peer and from a stranger, some
// waiting in the socket together, collected as the call loop does. What is
// queued must be exactly the peer's bytes, 64 at a time, but for a payload
// that is the peer's hang-up, which is told instead.
//
// Input: records of 3 bytes and a body. Byte 0: bit 7 from the stranger,
// bit 6 leave it waiting with the next ones, bit 5 the length is bytes 1-2
// as they are (up to 65507), otherwise bytes 1-2 modulo 1100. The body is
// taken from what follows, zeros past the end.

#include <fcntl.h>
#include <net/if.h>
#include <netinet/in.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/select.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "profile.hpp"
#include "transport.hpp"

namespace {

using namespace voxaria;

int call_socket = -1, peer_socket = -1, stranger_socket = -1;
sockaddr_in call_address{}, peer_address{}, latched{};
socklen_t peer_len = sizeof peer_address;

// A network of our own when allowed (as root), so nothing else is reached.
void enter_private_network() {
  if (unshare(CLONE_NEWNET) != 0) return;
  const int fd = socket(AF_INET, SOCK_DGRAM, 0);
  ifreq request{};
  std::strcpy(request.ifr_name, "lo");
  if (ioctl(fd, SIOCGIFFLAGS, &request) == 0) {
    request.ifr_flags |= IFF_UP;
    ioctl(fd, SIOCSIFFLAGS, &request);
  }
  close(fd);
}

int bound_socket(sockaddr_in& address) {
  const int fd = socket(AF_INET, SOCK_DGRAM, 0);
  address = sockaddr_in{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof address;
  if (fd < 0 || bind(fd, reinterpret_cast<sockaddr*>(&address), len) != 0 ||
      getsockname(fd, reinterpret_cast<sockaddr*>(&address), &len) != 0)
    std::abort();
  return fd;
}

void set_up() {
  enter_private_network();
  // Standard input at its end is always readable: an incomplete payload
  // hands back at once instead of waiting for the rest.
  const int null = open("/dev/null", O_RDONLY);
  dup2(null, STDIN_FILENO);
  close(null);
  call_socket = bound_socket(call_address);
  peer_socket = bound_socket(peer_address);
  sockaddr_in stranger{};
  stranger_socket = bound_socket(stranger);
  profile = Profile{.call_socket = call_socket,
                    .peer = &peer_address,
                    .peer_len = &peer_len,
                    .receive_failure = "receive failed"};
  latch_peer();
  latched = peer_address;
}

bool readable(int milliseconds) {
  fd_set set;
  FD_ZERO(&set);
  FD_SET(call_socket, &set);
  timeval timeout{0, milliseconds * 1000};
  return select(call_socket + 1, &set, nullptr, nullptr, &timeout) > 0;
}

// Loopback delivers a datagram during its send, so what was sent is normally
// there already: the wait is only a fallback, and the readiness test after
// each receive is the one test per receive.
void collect() {
  if (!readable(0) && !readable(1000)) std::abort();  // sent, so it must come
  do
    if (receive_audio() != 0) std::abort();
  while (readable(0));
}

// The peer's hang-up: 88 codes of magnitude below 4, then codes 8 only.
bool hang_up(const std::array<std::uint8_t, 64>& p) {
  return std::all_of(p.begin(), p.begin() + 44, [](std::uint8_t b) { return (b & 0x44) == 0; }) &&
         std::all_of(p.begin() + 44, p.end(), [](std::uint8_t b) { return b == 0x88; });
}

struct Model {
  std::vector<std::uint8_t> queued;
  std::array<std::uint8_t, 64> part{};
  std::size_t gathered = 0;
  bool hung_up = false;
  void from_peer(const std::uint8_t* body, std::size_t length) {
    const std::size_t taken = std::min(length, part.size() - gathered);
    std::copy(body, body + taken, part.begin() + static_cast<std::ptrdiff_t>(gathered));
    gathered += taken;
    if (gathered == part.size()) {
      if (hang_up(part))
        hung_up = true;
      else
        queued.insert(queued.end(), part.begin(), part.end());
      gathered = 0;
    }
  }
};

std::array<std::uint8_t, 65507> body;

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (call_socket < 0) set_up();
  Model model;
  std::size_t waiting = 0, waiting_bytes = 0;
  std::size_t at = 0;
  auto send = [&](int fd, std::size_t length) {
    if (sendto(fd, body.data(), length, 0, reinterpret_cast<const sockaddr*>(&call_address),
               sizeof call_address) != static_cast<ssize_t>(length))
      std::abort();
  };
  while (at + 3 <= size) {
    const std::uint8_t flags = data[at];
    const std::size_t raw = data[at + 1] | data[at + 2] << 8;
    const std::size_t length = (flags & 0x20) ? std::min<std::size_t>(raw, body.size()) : raw % 1100;
    at += 3;
    const std::size_t available = std::min(length, size - at);
    std::fill(std::copy(data + at, data + at + available, body.begin()), body.begin() + length, 0);
    at += available;
    // Never more than the receive buffer surely holds.
    if (waiting > 0 && (waiting == 16 || waiting_bytes + length + 1024 > 150000)) {
      collect();
      waiting = waiting_bytes = 0;
    }
    const bool stranger = flags & 0x80;
    send(stranger ? stranger_socket : peer_socket, length);
    if (!stranger) model.from_peer(body.data(), length);
    ++waiting;
    waiting_bytes += length + 1024;
    if (!(flags & 0x40)) {
      collect();
      waiting = waiting_bytes = 0;
    }
  }
  if (waiting > 0) collect();
  // A whole payload from the peer completes any part, so the next input
  // starts from an empty payload.
  std::fill(body.begin(), body.begin() + 64, 0x5A);
  send(peer_socket, 64);
  model.from_peer(body.data(), 64);
  collect();

  std::vector<std::uint8_t> queued;
  while (!isEmpty(headPtr)) {
    dequeue(&headPtr, &tailPtr);
    queued.insert(queued.end(), compressed_buffer.begin(), compressed_buffer.begin() + 64);
  }
  if (queued != model.queued || model.gathered != 0 || peer_hung_up != model.hung_up) std::abort();
  peer_hung_up = false;
  // A stranger never takes over where voice goes.
  if (std::memcmp(&peer_address, &latched, sizeof latched) != 0) std::abort();
  return 0;
}
