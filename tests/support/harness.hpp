// Running the real programs from tests: scratch directories, child
// processes with their own stdin, output captured to files, UDP peers of the
// test's own, and the simulated sound card's settings.
#pragma once

#include <netinet/in.h>
#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace voxaria::test {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using Seconds = std::chrono::duration<double>;

// Puts this test process (and so every program it starts) into a network
// namespace of its own with loopback up, when the system allows it, so that
// tests binding the fixed ports can run in parallel. False when it could not.
bool enter_private_network();
// Whether this process runs in such a namespace.
bool in_private_network();

// Makes this test process (and every program it starts) see a machine whose
// hosts file names only localhost and whose name server, on 127.0.0.53,
// never answers: a lookup of anything else waits for the resolver's
// time-outs (5 seconds, twice). Needs a private network and the right to
// make a mount namespace; false when it could not. The server socket lives
// as long as the returned peer.
std::unique_ptr<struct UdpPeer> use_silent_name_server(const fs::path& scratch);

// Path of a file the build made (a program, phone.au, the card library).
fs::path built(std::string_view name);
fs::path test_data(std::string_view name);

// A fresh directory under the system's temporary directory, removed with
// everything in it when the test ends.
struct ScratchDir {
  fs::path path;
  ScratchDir();
  ~ScratchDir();
  ScratchDir(const ScratchDir&) = delete;
  ScratchDir& operator=(const ScratchDir&) = delete;
  fs::path operator/(std::string_view name) const { return path / name; }
};

struct Launch {
  std::vector<std::string> argv{};
  std::vector<std::string> env{};  // NAME=value added to the test's own
  fs::path cwd = ".";
  fs::path output_prefix{};  // stdout to <prefix>.out, stderr to <prefix>.err
  bool close_stdin = false;  // start with descriptor 0 closed instead of a pipe
  int nice = 0;
};

// A started program. Its stdin is a pipe held by the test (input hangs up a
// conversation program); it is killed when the test lets go of it.
struct Process {
  pid_t pid = -1;
  int stdin_fd = -1;
  fs::path out_path, err_path;
  std::optional<int> status;  // exit status once reaped; 128 + signal when killed

  Process() = default;
  Process(const Process&) = delete;
  Process& operator=(const Process&) = delete;
  ~Process();

  std::string out() const;
  std::string err() const;
  bool wait_for_output(std::string_view text, Seconds limit = 10s) const;
  // Exit status, or nothing if it is still running when the limit is up.
  std::optional<int> wait_exit(Seconds limit = 10s);
  bool running();
  void send_input(std::string_view text);
  void close_input();  // standard input reaches its end
  void stop();         // SIGKILL and reap
};

std::unique_ptr<Process> spawn(const Launch& launch);

// The simulated sound card loaded into a program, with its files in dir
// under the given name: <name>.log, <name>.wav (loudspeaker), <name>.ring.
struct Card {
  fs::path dir;
  std::string name;
  std::vector<std::string> settings{};  // further SIMCARD_* settings
  fs::path log() const { return dir / (name + ".log"); }
  fs::path loudspeaker() const { return dir / (name + ".wav"); }
  fs::path ring() const { return dir / (name + ".ring"); }
  std::vector<std::string> env() const;
};

// One clock for the cards of several programs (SIMCARD_EPOCH), sped up by
// a factor (SIMCARD_SPEED), so that what one card records and another plays
// can be put side by side, and the test can act at a given card time.
struct Timeline {
  double speed;
  double epoch;  // CLOCK_REALTIME seconds
  explicit Timeline(double speed);
  std::vector<std::string> settings() const;
  double now() const;  // card seconds
  void sleep_until(double card_seconds) const;
};

// A UDP socket of the test's own on loopback.
struct Datagram {
  std::vector<std::uint8_t> bytes;
  sockaddr_in from{};
  std::string text() const;  // up to the first NUL
};
struct UdpPeer {
  int fd = -1;
  explicit UdpPeer(const char* address = "127.0.0.1", std::uint16_t port = 0);
  ~UdpPeer();
  UdpPeer(const UdpPeer&) = delete;
  UdpPeer& operator=(const UdpPeer&) = delete;
  std::uint16_t port() const;
  sockaddr_in address() const;  // where it is bound
  void send_to(std::uint16_t port, const void* data, std::size_t size,
               const char* address = "127.0.0.1") const;
  void send_to(const sockaddr_in& to, const void* data, std::size_t size) const;
  std::optional<Datagram> receive(Seconds limit = 10s) const;
};

// Waits until some program has bound this UDP port (on any address).
void wait_until_bound(std::uint16_t port, Seconds limit = 10s);
// Waits until nothing is bound to this UDP port any more.
void wait_until_free(std::uint16_t port, Seconds limit = 10s);
// Waits until the program bound to this UDP port has received everything
// sent to it so far.
void wait_until_taken(std::uint16_t port, Seconds limit = 10s);

std::size_t occurrences(const std::string& text, const std::string& part);

std::vector<std::uint8_t> read_file(const fs::path& path);
std::string read_text(const fs::path& path);
void write_file(const fs::path& path, std::string_view content);

}  // namespace voxaria::test
