// voxaria_client <hostname>: knocks on the callee's daemon, waits while it
// rings, opens the call to the answering program and converses.

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstring>
#include <string>

#include "call_loop.hpp"
#include "console.hpp"
#include "peer.hpp"
#include "profile.hpp"
#include "protocol.hpp"
#include "sound_device.hpp"
#include "standard_descriptors.hpp"

namespace voxaria {
namespace {

std::array<char, 512> hostname{};
int client_socket = -1;
sockaddr_in ext_daemon{};
socklen_t daemon_len = 0;
sockaddr_in ext_server{};
socklen_t serv_len = 0;

// Receives the next datagram that comes from the expected address and port
// (the callee's daemon or its answering program) and records the sender in
// from. Anything else, a stranger's or a duplicate from the daemon while the
// answer is awaited, is dropped unseen: taking it would make it the peer.
ssize_t receive_from(char* area, std::size_t limit, sockaddr_in& from, socklen_t& from_len) {
  const sockaddr_in expected = from;
  for (;;) {
    std::memset(area, 0, limit);
    sockaddr_in sender{};
    socklen_t sender_len = sizeof sender;
    const ssize_t got =
        recvfrom(client_socket, area, limit, 0, reinterpret_cast<sockaddr*>(&sender), &sender_len);
    if (got < 0) return got;
    if (same_endpoint(sender, expected)) {
      from = sender;
      from_len = sender_len;
      return got;
    }
  }
}

ssize_t send_to(const char* data, std::size_t length, const sockaddr_in& to) {
  return sendto(client_socket, data, length, 0, reinterpret_cast<const sockaddr*>(&to), sizeof to);
}

int resolve_callee() {
  const hostent* host = gethostbyname(hostname.data());
  if (host == nullptr) {
    std::printf("Error: Hostname %s is unknown.\n", hostname.data());
    return -1;
  }
  const auto length =
      std::min<std::size_t>(static_cast<std::size_t>(host->h_length), sizeof ext_server.sin_addr);
  std::memcpy(&ext_server.sin_addr, host->h_addr_list[0], length);
  std::memcpy(&ext_daemon.sin_addr, host->h_addr_list[0], length);
  ext_server.sin_family = AF_INET;
  ext_daemon.sin_family = AF_INET;
  ext_server.sin_port = htons(protocol::call_port);
  ext_daemon.sin_port = htons(protocol::daemon_port);
  serv_len = sizeof ext_server;
  daemon_len = sizeof ext_daemon;
  return 0;
}

int knock_and_wait_for_answer() {
  if (send_to(protocol::knock, sizeof protocol::knock, ext_daemon) < 0) {
    message("Error connecting to the daemon. The daemon is unreachable.\n");
    return -1;
  }
  std::array<char, protocol::greeting_limit> greeting;
  ssize_t got = receive_from(greeting.data(), greeting.size(), ext_daemon, daemon_len);
  if (got < 0) {
    message("Error receiving response from the host daemon");
    return -1;
  }
  message(printable_text(protocol::received_text(greeting.data(), got)));
  std::array<char, protocol::ring_status_limit> reply;
  do {
    got = receive_from(reply.data(), reply.size(), ext_daemon, daemon_len);
    if (got < 0) {
      message("Error receiving response from the host daemon");
      return -1;
    }
  } while (protocol::is_ring_no(reply.data(), got));
  return 0;
}

int open_call() {
  if (send_to(protocol::call_opening, sizeof protocol::call_opening, ext_server) < 0) {
    message("Error connecting to the server. Server is unreachable.");
    return -1;
  }
  std::array<char, protocol::call_answer_limit> answer;
  const ssize_t got = receive_from(answer.data(), answer.size(), ext_server, serv_len);
  if (got < 0) {
    message("Error receiving response from the server.");
    return -1;
  }
  message(printable_text(protocol::received_text(answer.data(), got)));
  return 0;
}

int connect_to_server() {
  client_socket = socket(AF_INET, SOCK_DGRAM, 0);
  if (client_socket < 0) {
    message("Error: Openning UDP socket");
    return -1;
  }
  if (resolve_callee() == -1) return -1;
  if (knock_and_wait_for_answer() == -1) return -1;
  return open_call();
}

int run(int argc, char** argv) {
  open_standard_descriptors();
  if (argc < 2) {
    message("Usage: voxaria_client <hostname>");
    return -1;
  }
  if (Init_Soundcard() == -1) {
    message("Make sure that the sound card is configured. Refer to Sound-HOWTO for more info.");
    message("Terminating..");
    return -1;
  }
  std::strncpy(hostname.data(), argv[1], hostname.size() - 1);
  if (connect_to_server() == -1) {
    message("Terminating..");
    return -1;
  }
  profile = Profile{
      .call_socket = client_socket,
      .peer = &ext_server,
      .peer_len = &serv_len,
      .talk_prompt = "Please begin the conversation. Click on HANGUP to terminate",
      .farewell = "Thank you for using Voxaria.",
      .receive_failure = "Connection closed by foreign host",
      .calibration_failure = "Cannot open the recording device to set the cutoff amplitude.",
  };
  return run_conversation();
}

}  // namespace
}  // namespace voxaria

int main(int argc, char** argv) { return voxaria::run(argc, argv); }
