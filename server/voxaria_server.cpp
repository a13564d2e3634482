// voxaria_server: the callee's answering program. Waits on the call port for
// one caller's call opening, answers it and converses.

#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

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

int server_socket = -1;
sockaddr_in server{};
socklen_t serv_len = 0;
sockaddr_in ext_client{};
socklen_t cli_len = 0;

// The caller's host name, or its dotted address when it has none or when
// nothing arrived to say who it is.
std::string caller_name(ssize_t received) {
  return received > 0 ? host_name(ext_client.sin_addr) : dotted_address(ext_client.sin_addr);
}

int bind_call_port() {
  server_socket = socket(AF_INET, SOCK_DGRAM, 0);
  if (server_socket < 0) {
    std::perror("opening datagram socket");
    return -1;
  }
  server.sin_family = AF_INET;
  server.sin_addr.s_addr = htonl(INADDR_ANY);
  server.sin_port = htons(protocol::call_port);
  serv_len = sizeof server;
  if (bind(server_socket, reinterpret_cast<const sockaddr*>(&server), serv_len) < 0) {
    std::perror("bind");
    return -1;
  }
  if (getsockname(server_socket, reinterpret_cast<sockaddr*>(&server), &serv_len) < 0) {
    std::perror("getting socket name");
    return -1;
  }
  return 0;
}

// From now on the kernel hands this socket the caller's datagrams alone:
// strangers can neither be heard nor fill its queue, and a caller whose
// socket has closed is reported by the next receive or send.
int hear_only_the_caller() {
  if (connect(server_socket, reinterpret_cast<const sockaddr*>(&ext_client), cli_len) < 0) {
    std::perror("connecting to the caller");
    return -1;
  }
  return 0;
}

int network_connection() {
  if (bind_call_port() == -1) return -1;
  ext_client.sin_family = AF_INET;
  ext_client.sin_port = htons(protocol::call_port);
  cli_len = sizeof ext_client;

  std::array<char, protocol::call_opening_limit> opening{};
  const ssize_t got = recvfrom(server_socket, opening.data(), opening.size(), 0,
                               reinterpret_cast<sockaddr*>(&ext_client), &cli_len);
  if (got >= 0 && hear_only_the_caller() == -1) return -1;
  // The answer leaves before the caller's name is looked up: a name
  // server that does not answer must not hold up the call.
  const bool answered = sendto(server_socket, protocol::call_answer, sizeof protocol::call_answer,
                               0, reinterpret_cast<const sockaddr*>(&ext_client), cli_len) >= 0;
  std::printf("The client %s has established a connection with us\n", caller_name(got).c_str());
  std::fflush(stdout);
  if (!answered) {
    message("Error responding to the client.");
    return -1;
  }
  message(printable_text(protocol::received_text(opening.data(), got)));
  return 0;
}

int run() {
  open_standard_descriptors();
  if (Init_Soundcard() == -1) {
    message("Make sure that the sound card is configured. Refer to Sound-HOWTO for more info.");
    message("Terminating..");
    return -1;
  }
  if (network_connection() == -1) {
    message("Terminating..");
    return -1;
  }
  profile = Profile{
      .call_socket = server_socket,
      .peer = &ext_client,
      .peer_len = &cli_len,
      .talk_prompt = "Please begin the conversation. Click on HANGUP to terminate.",
      .farewell = "Thank you for using the Voxaria.",
      .receive_failure = "Connection closed by foreign host.",
      .calibration_failure = "Cannot open the recording device to set the cutoff amplitude",
  };
  return run_conversation();
}

}  // namespace
}  // namespace voxaria

int main() { return voxaria::run(); }
