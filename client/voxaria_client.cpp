// voxaria_client <hostname>: knocks on the callee's daemon, waits while it
// rings, opens the call to the answering program and converses.

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
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

constexpr char farewell[] = "Thank you for using Voxaria.";

std::array<char, 512> hostname{};
int client_socket = -1;
sockaddr_in ext_daemon{};
socklen_t daemon_len = 0;
sockaddr_in ext_server{};
socklen_t serv_len = 0;

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

// How long the set-up waits for each side of the callee before it tells the
// user that nobody is there.
constexpr auto greeting_wait = 10s;
// The daemon sends "no" after every ring: its replies stop for good only
// when it is gone. An older daemon's replies may be as far apart as its
// ring sound and pause.
constexpr auto least_reply_wait = 20s;
constexpr auto call_answer_wait = 10s;
// A refused call opening reached the callee before its answering program
// had bound the call port: nobody has it, so it is sent again.
constexpr auto opening_retry = 250ms;

enum class Heard { datagram, nothing, hang_up, failure };

int milliseconds_until(Clock::time_point deadline) {
  const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now());
  return static_cast<int>(std::max<std::chrono::milliseconds::rep>(left.count(), 0));
}

// Waits until the socket or standard input is readable, or the deadline.
Heard wait_until(Clock::time_point deadline) {
  std::array<pollfd, 2> ready = {pollfd{client_socket, POLLIN, 0}, pollfd{STDIN_FILENO, POLLIN, 0}};
  for (;;) {
    const int n = poll(ready.data(), ready.size(), milliseconds_until(deadline));
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return Heard::failure;
    if (n == 0) return Heard::nothing;
    // What has arrived is taken before a hang-up that came after it.
    return ready[0].revents != 0 ? Heard::datagram : Heard::hang_up;
  }
}

// Receives the next datagram that comes from the expected address and port
// (the callee's daemon or its answering program) before the deadline, and
// records the sender in from. Anything else, a stranger's or a duplicate
// from the daemon while the answer is awaited, is dropped unseen: taking it
// would make it the peer. Input on standard input hangs up.
Heard receive_from(char* area, std::size_t limit, sockaddr_in& from, socklen_t& from_len,
                   Clock::time_point deadline, ssize_t& got) {
  const sockaddr_in expected = from;
  for (;;) {
    const Heard heard = wait_until(deadline);
    if (heard != Heard::datagram) return heard;
    std::memset(area, 0, limit);
    sockaddr_in sender{};
    socklen_t sender_len = sizeof sender;
    got = recvfrom(client_socket, area, limit, 0, reinterpret_cast<sockaddr*>(&sender), &sender_len);
    if (got < 0) return Heard::failure;
    if (same_endpoint(sender, expected)) {
      from = sender;
      from_len = sender_len;
      return Heard::datagram;
    }
  }
}

// Input on standard input while the call is being set up: the caller gives
// up, and the daemon hears of it when its next reply is refused.
[[noreturn]] void give_up() {
  message(farewell);
  std::exit(1);
}

int nobody_there(const char* who) {
  message("No answer from " + printable_text(hostname.data()) + ": " + who);
  return -1;
}

ssize_t send_to(const char* data, std::size_t length, const sockaddr_in& to) {
  return sendto(client_socket, data, length, 0, reinterpret_cast<const sockaddr*>(&to), sizeof to);
}

// The kernel then hands the socket that side's datagrams alone, and tells
// of a closed port or a host out of reach on the next receive.
bool talk_only_to(const sockaddr_in& side) {
  return connect(client_socket, reinterpret_cast<const sockaddr*>(&side), sizeof side) == 0;
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

int daemon_failed(Heard heard) {
  if (heard == Heard::hang_up) give_up();
  if (heard == Heard::nothing) return nobody_there("its ring daemon does not reply.");
  if (refused(errno)) return nobody_there("no ring daemon there.");
  message("Error receiving response from the host daemon");
  return -1;
}

int knock_and_wait_for_answer() {
  if (!talk_only_to(ext_daemon) ||
      send_to(protocol::knock, sizeof protocol::knock, ext_daemon) < 0) {
    message("Error connecting to the daemon. The daemon is unreachable.\n");
    return -1;
  }
  std::array<char, protocol::greeting_limit> greeting;
  ssize_t got = 0;
  Heard heard = receive_from(greeting.data(), greeting.size(), ext_daemon, daemon_len,
                             Clock::now() + greeting_wait, got);
  if (heard != Heard::datagram) return daemon_failed(heard);
  message(printable_text(protocol::received_text(greeting.data(), got)));
  std::array<char, protocol::ring_status_limit> reply;
  auto last = Clock::now();
  Clock::duration longest_gap{};
  do {
    const auto wait = std::max<Clock::duration>(least_reply_wait, 2 * longest_gap);
    heard = receive_from(reply.data(), reply.size(), ext_daemon, daemon_len, last + wait, got);
    if (heard != Heard::datagram) return daemon_failed(heard);
    longest_gap = std::max(longest_gap, Clock::now() - last);
    last = Clock::now();
  } while (protocol::is_ring_no(reply.data(), got));
  return 0;
}

int send_call_opening() {
  if (send_to(protocol::call_opening, sizeof protocol::call_opening, ext_server) < 0) {
    message("Error connecting to the server. Server is unreachable.");
    return -1;
  }
  return 0;
}

int open_call() {
  if (!talk_only_to(ext_server)) {
    message("Error connecting to the server. Server is unreachable.");
    return -1;
  }
  if (send_call_opening() == -1) return -1;
  const auto deadline = Clock::now() + call_answer_wait;
  std::array<char, protocol::call_answer_limit> answer;
  ssize_t got = 0;
  for (;;) {
    const Heard heard =
        receive_from(answer.data(), answer.size(), ext_server, serv_len, deadline, got);
    if (heard == Heard::datagram) break;
    if (heard == Heard::hang_up) give_up();
    if (heard == Heard::nothing)
      return nobody_there("its answering program does not answer the call.");
    if (!refused(errno)) {
      message("Error receiving response from the server.");
      return -1;
    }
    if (wait_until(std::min(deadline, Clock::now() + opening_retry)) == Heard::hang_up) give_up();
    if (send_call_opening() == -1) return -1;
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
      .farewell = farewell,
      .receive_failure = "Connection closed by foreign host",
      .calibration_failure = "Cannot open the recording device to set the cutoff amplitude.",
  };
  return run_conversation();
}

}  // namespace
}  // namespace voxaria

int main(int argc, char** argv) { return voxaria::run(argc, argv); }
