#include "peer.hpp"

#include <arpa/inet.h>
#include <netdb.h>
#include <sys/socket.h>

#include <array>

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

std::string host_name(const in_addr& address) {
  const hostent* host = gethostbyaddr(&address, sizeof address, AF_INET);
  if (host != nullptr && host->h_name != nullptr) return printable_text(host->h_name);
  return dotted_address(address);
}

bool same_endpoint(const sockaddr_in& a, const sockaddr_in& b) {
  return a.sin_family == b.sin_family && a.sin_port == b.sin_port &&
         a.sin_addr.s_addr == b.sin_addr.s_addr;
}

}  // namespace voxaria
