// Who is on the other end, as the three programs show and check it: text
// from the network made safe for a terminal, a peer's host name, and whether
// a datagram comes from the endpoint expected.
#pragma once

#include <netinet/in.h>

#include <string>
#include <string_view>

namespace voxaria {

// Text that came from the network, made safe to show on a terminal: printable
// ASCII stays as it is, a backslash becomes "\\" and every other byte
// (control and escape characters, anything above 0x7E) becomes "\xHH".
std::string printable_text(std::string_view received);

// The address in dotted form.
std::string dotted_address(const in_addr& address);

// The official name of the address's host entry, shown as printable_text
// (a name comes from whoever runs the reverse zone), or the dotted address
// when the lookup finds none or finds it later than host_lookup_limit: a
// name server that does not answer must never hold up a ring or an answer.
std::string host_name(const in_addr& address);
inline constexpr int host_lookup_limit_ms = 1000;

// Whether a socket error says the peer's host takes none of our datagrams:
// its port is closed, or the host cannot be reached.
bool refused(int error);

// Same family, port and address: the parts of a sender that matter.
bool same_endpoint(const sockaddr_in& a, const sockaddr_in& b);

}  // namespace voxaria
