// voxariad: the ring daemon. Serves one knock on UDP port 7000 after
// another: greets the caller, rings here until the answering program runs,
// telling the caller "no" after every ring (and every second) and "yes"
// once it runs, then waits for that call to end. A caller that has gone,
// or that nobody answers for a minute, is rung no more.

#include <fcntl.h>
#include <linux/errqueue.h>
#include <netinet/in.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>

#include "daemon_notices.hpp"
#include "peer.hpp"
#include "protocol.hpp"
#include "standard_descriptors.hpp"

namespace voxariad {
namespace {

namespace protocol = voxaria::protocol;

constexpr const char* probe_path = voxaria::notices::answering_program;
constexpr char ring_command[] = "cat phone.au > /dev/audio";
constexpr char ring_device[] = "/dev/audio";

// While it rings the daemon looks around every tick: whether the callee has
// answered (so that the caller hears "yes" at once, also in the middle of a
// pause) and whether the caller's host has refused a reply (the caller is
// gone). The pace is the card's, as a sleep: the cadence stays the sound,
// then 7 seconds of quiet.
constexpr timespec tick = {0, 50'000'000};
constexpr int ticks_per_second = 20;
constexpr int ring_pause_ticks = 7 * ticks_per_second;
// A caller takes every "no" for "still ringing": one a second besides the
// one after each ring lets a caller that has gone be noticed within one.
constexpr int ticks_between_noes = ticks_per_second;
// A caller that cannot be heard from (a forged address, a firewall, a host
// gone) must not hold the phone for ever.
constexpr int longest_ring_ticks = 60 * ticks_per_second;
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

// Reads the refusals the socket has heard of (it asks for them, as an
// unconnected socket is told nothing otherwise); true when one was for a
// datagram to the caller. Reading them also keeps a refusal meant for an
// earlier caller from failing a send to this one.
bool caller_refused() {
  bool for_caller = false;
  for (;;) {
    sockaddr_in to{};
    std::array<char, 512> control{};
    msghdr error{};
    error.msg_name = &to;
    error.msg_namelen = sizeof to;
    error.msg_control = control.data();
    error.msg_controllen = control.size();
    if (recvmsg(daemon_socket, &error, MSG_ERRQUEUE | MSG_DONTWAIT) < 0) return for_caller;
    for (cmsghdr* c = CMSG_FIRSTHDR(&error); c != nullptr; c = CMSG_NXTHDR(&error, c)) {
      if (c->cmsg_level != IPPROTO_IP || c->cmsg_type != IP_RECVERR) continue;
      sock_extended_err report{};
      std::memcpy(&report, CMSG_DATA(c), sizeof report);
      if (voxaria::refused(static_cast<int>(report.ee_errno)) && voxaria::same_endpoint(to, caller))
        for_caller = true;
    }
  }
}

// A reply the caller's host refuses means the caller is gone. A send that
// fails on a refusal heard for someone else is tried again.
bool reply_reaches_caller(const protocol::RingStatus& reply) {
  for (int tries = 0; tries < 2; ++tries) {
    if (send_to_caller(reply.data(), protocol::ring_status_size) >= 0) return true;
    if (!voxaria::refused(errno) || caller_refused()) return false;
  }
  return false;
}

// Where nothing serves /dev/audio (no device, no sound layer), the shell's
// redirection would create a regular file of that name in /dev: the ring is
// then silent instead.
bool ring_device_served() { return access(ring_device, W_OK) == 0; }

// The ring sound plays in a shell of its own process group, so that the
// whole of it can be stopped when the callee answers or the caller goes.
pid_t start_ring_sound() {
  if (!ring_device_served()) return -1;
  posix_spawnattr_t attributes;
  posix_spawnattr_init(&attributes);
  posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETPGROUP);
  posix_spawnattr_setpgroup(&attributes, 0);
  const char* const argv[] = {"sh", "-c", ring_command, nullptr};
  pid_t shell = -1;
  const int failed = posix_spawn(&shell, "/bin/sh", nullptr, &attributes,
                                 const_cast<char* const*>(argv), environ);
  posix_spawnattr_destroy(&attributes);
  if (failed != 0) {
    std::fprintf(stderr, "voxariad: posix_spawn /bin/sh: %s\n", std::strerror(failed));
    return -1;
  }
  return shell;
}

bool still_playing(pid_t shell) { return shell > 0 && waitpid(shell, nullptr, WNOHANG) == 0; }

void stop_ring_sound(pid_t shell) {
  if (!still_playing(shell)) return;
  kill(-shell, SIGTERM);
  waitpid(shell, nullptr, 0);
}

enum class Ringing { on, answered, caller_gone };

// Waits one tick, then tells what has changed; ticks counts them since the
// knock.
Ringing look_around(int& ticks) {
  nanosleep(&tick, nullptr);
  ++ticks;
  if (answering_program_running()) return Ringing::answered;
  if (caller_refused() || ticks >= longest_ring_ticks) return Ringing::caller_gone;
  if (ticks % ticks_between_noes == 0 && !reply_reaches_caller(protocol::ring_status_no))
    return Ringing::caller_gone;
  return Ringing::on;
}

void print_notice(const std::string& name) {
  std::printf("\n\n%s%s%s\n%s\n", voxaria::notices::ring_head, name.c_str(),
              voxaria::notices::ring_tail, voxaria::notices::ring_second_line);
}

// Rings until the callee answers or the caller has gone: the sound and a
// "no", then 7 seconds of quiet, again and again.
Ringing ring(const std::string& name) {
  int ticks = 0;
  Ringing state = answering_program_running() ? Ringing::answered : Ringing::on;
  while (state == Ringing::on) {
    print_notice(name);
    const pid_t sound = start_ring_sound();
    while (state == Ringing::on && still_playing(sound)) state = look_around(ticks);
    stop_ring_sound(sound);
    if (state != Ringing::on) break;
    if (!reply_reaches_caller(protocol::ring_status_no)) return Ringing::caller_gone;
    for (int t = 0; t < ring_pause_ticks && state == Ringing::on; ++t) state = look_around(ticks);
  }
  return state;
}

// The call lasts as long as the answering program runs.
void wait_for_end_of_call() {
  while (answering_program_running())
    clock_nanosleep(CLOCK_MONOTONIC, 0, &probe_interval, nullptr);
}

// Takes the next knock; a refusal heard for an earlier caller, which the
// kernel reports ahead of what is queued, is no knock.
void receive_knock() {
  std::array<char, protocol::knock_limit> knock;
  for (;;) {
    if (recvfrom(daemon_socket, knock.data(), knock.size(), 0,
                 reinterpret_cast<sockaddr*>(&caller), &caller_len) >= 0)
      return;
    if (!voxaria::refused(errno)) break;
    caller_refused();
  }
  std::printf("Error receiving response from the client.\n");
}

void serve_knock() {
  receive_knock();
  caller_refused();  // what is left of earlier callers
  // The greeting leaves before the caller's name is looked up: a name
  // server that does not answer must not hold up the ring.
  if (send_to_caller(protocol::greeting, sizeof protocol::greeting) < 0)
    std::printf("Error responding to the client request.\n");
  const std::string name = voxaria::host_name(caller.sin_addr);
  if (ring(name) == Ringing::caller_gone) {
    // The go-ahead to nobody fails and ends this knock.
    std::printf("%s\n", voxaria::notices::caller_gone);
    caller = sockaddr_in{};
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
  // Without it an unconnected socket is never told that a caller's host
  // refused a reply, and a caller that has gone would be rung for ever.
  const int on = 1;
  if (setsockopt(daemon_socket, IPPROTO_IP, IP_RECVERR, &on, sizeof on) < 0)
    std::perror("setsockopt IP_RECVERR");
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
