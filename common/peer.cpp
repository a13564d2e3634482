#include "peer.hpp"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstring>

namespace voxaria {

std::string printable_text(std::string_view received) {
  constexpr std::string_view hex = "0123456789ABCDEF";
  std::string shown;
  shown.reserve(received.size());
  for (const char c : received) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte == '\\') {
      shown += "\\\\";
    } else if (byte >= 0x20 && byte <= 0x7E) {
      shown += c;
    } else {
      shown += "\\x";
      shown += hex[byte >> 4];
      shown += hex[byte & 0x0F];
    }
  }
  return shown;
}

std::string dotted_address(const in_addr& address) {
  std::array<char, INET_ADDRSTRLEN> dotted{};
  inet_ntop(AF_INET, &address, dotted.data(), dotted.size());
  return dotted.data();
}

namespace {

// The lookup itself, in a child of its own: the resolver has no time limit
// of its own that holds for every source of names, but a child can be left.
pid_t start_lookup(const in_addr& address, int answer) {
  const pid_t child = fork();
  if (child != 0) return child;
  const hostent* host = gethostbyaddr(&address, sizeof address, AF_INET);
  if (host != nullptr && host->h_name != nullptr)
    [[maybe_unused]] const ssize_t ignored = write(answer, host->h_name, std::strlen(host->h_name));
  _exit(0);
}

// What the child writes until it closes its end, or until the deadline.
std::string read_until(int from, std::chrono::steady_clock::time_point deadline) {
  std::string text;
  std::array<char, 256> piece;
  for (;;) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    pollfd ready{from, POLLIN, 0};
    if (left.count() <= 0 || poll(&ready, 1, static_cast<int>(left.count())) <= 0) return {};
    const ssize_t got = read(from, piece.data(), piece.size());
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) return text;
    text.append(piece.data(), static_cast<std::size_t>(got));
  }
}

}  // namespace

std::string host_name(const in_addr& address) {
  const auto deadline =
      std::chrono::steady_clock::now() + std::chrono::milliseconds(host_lookup_limit_ms);
  std::array<int, 2> answer{};
  if (pipe2(answer.data(), O_CLOEXEC) != 0) return dotted_address(address);
  const pid_t child = start_lookup(address, answer[1]);
  close(answer[1]);
  std::string name;
  if (child > 0) {
    name = read_until(answer[0], deadline);
    kill(child, SIGKILL);
    waitpid(child, nullptr, 0);
  }
  close(answer[0]);
  return name.empty() ? dotted_address(address) : printable_text(name);
}

bool refused(int error) {
  return error == ECONNREFUSED || error == EHOSTUNREACH || error == EHOSTDOWN ||
         error == ENETUNREACH;
}

bool same_endpoint(const sockaddr_in& a, const sockaddr_in& b) {
  return a.sin_family == b.sin_family && a.sin_port == b.sin_port &&
         a.sin_addr.s_addr == b.sin_addr.s_addr;
}

}  // namespace voxaria
