// voxariad: the ring daemon. Serves one knock on UDP port 7000 after
// another: greets the caller, rings here until the answering program runs,
// telling the caller "no" after every ring and "yes" once it runs, then
// waits for that call to end.

#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <array>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <string>

#include "peer.hpp"
#include "protocol.hpp"
#include "standard_descriptors.hpp"

namespace voxariad {
namespace {

namespace protocol = voxaria::protocol;

constexpr char probe_path[] = "./voxaria_server";
constexpr char ring_command[] = "cat phone.au > /dev/audio";
constexpr char ring_device[] = "/dev/audio";
constexpr unsigned ring_pause_seconds = 7;
// Between two probes while a call lasts: short enough that the next caller
// is served a few milliseconds after the call ends, long enough that the
// wait costs next to nothing.
constexpr timespec probe_interval = {0, 10'000'000};

int daemon_socket = -1;
sockaddr_in caller{};
socklen_t caller_len = 0;

// A program file that is being executed cannot be opened for writing: a
// descriptor means nobody runs the answering program. Anything else, the
// file missing or not writable included, counts as running.
bool answering_program_running() {
  const int probe = open(probe_path, O_WRONLY);
  if (probe > 0) {
    close(probe);
    return false;
  }
  return true;
}

ssize_t send_to_caller(const char* data, std::size_t length) {
  return sendto(daemon_socket, data, length, 0, reinterpret_cast<const sockaddr*>(&caller),
                caller_len);
}

// Where nothing serves /dev/audio (no device, no sound layer), the shell's
// redirection would create a regular file of that name in /dev: the ring is
// then silent instead.
bool ring_device_served() { return access(ring_device, W_OK) == 0; }

void ring(const std::string& name) {
  std::printf("\n\nThe host %s is trying to contact you by Voxaria.\n", name.c_str());
  std::printf("Please launch your Voxaria application.\n");
  if (!ring_device_served()) return;
  [[maybe_unused]] const int ignored = std::system(ring_command);
}

// The call lasts as long as the answering program runs.
void wait_for_end_of_call() {
  while (answering_program_running())
    clock_nanosleep(CLOCK_MONOTONIC, 0, &probe_interval, nullptr);
}

void serve_knock() {
  std::array<char, protocol::knock_limit> knock;
  if (recvfrom(daemon_socket, knock.data(), knock.size(), 0, reinterpret_cast<sockaddr*>(&caller),
               &caller_len) < 0)
    std::printf("Error receiving response from the client.\n");
  const std::string name = voxaria::host_name(caller.sin_addr);
  if (send_to_caller(protocol::greeting, sizeof protocol::greeting) < 0)
    std::printf("Error responding to the client request.\n");

  while (!answering_program_running()) {
    ring(name);
    if (send_to_caller(protocol::ring_status_no.data(), protocol::ring_status_size) < 0) {
      // The caller is gone: the go-ahead to nobody fails and ends this knock.
      std::printf("Connection closed by client.\n");
      caller = sockaddr_in{};
      break;
    }
    sleep(ring_pause_seconds);
  }
  if (send_to_caller(protocol::ring_status_yes.data(), protocol::ring_status_size) < 0) return;
  wait_for_end_of_call();
}

int bind_daemon_port() {
  // Close-on-exec: the ring's shell and cat must not hold the port.
  daemon_socket = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (daemon_socket < 0) {
    std::printf("Cant open datagram socket.\n");
    return -1;
  }
  sockaddr_in self{};
  self.sin_family = AF_INET;
  self.sin_addr.s_addr = htonl(INADDR_ANY);
  self.sin_port = htons(protocol::daemon_port);
  if (bind(daemon_socket, reinterpret_cast<const sockaddr*>(&self), sizeof self) < 0) {
    std::perror("bind");
    return -1;
  }
  caller = sockaddr_in{};
  caller.sin_family = AF_INET;
  caller.sin_port = htons(protocol::daemon_port);
  caller_len = sizeof caller;
  return 0;
}

int run() {
  voxaria::open_standard_descriptors();
  // Each notice goes out when its line is complete, also to a pipe or a
  // journal, and none is lost when the daemon is stopped.
  std::setvbuf(stdout, nullptr, _IOLBF, 0);
  // A reader of the notices that has gone (a restarted log reader) must not
  // end the daemon: the failed write is simply lost.
  std::signal(SIGPIPE, SIG_IGN);
  if (bind_daemon_port() == -1) return -1;
  for (;;) serve_knock();
}

}  // namespace
}  // namespace voxariad

int main() { return voxariad::run(); }
