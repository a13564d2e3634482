#include "harness.hpp"

#include <arpa/inet.h>
#include <fcntl.h>
#include <net/if.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>

extern char** environ;

namespace voxaria::test {

namespace {

[[noreturn]] void fail(const std::string& what) {
  throw std::runtime_error(what + ": " + std::strerror(errno));
}

bool bring_loopback_up() {
  const int fd = socket(AF_INET, SOCK_DGRAM, 0);
  if (fd < 0) return false;
  ifreq request{};
  std::strncpy(request.ifr_name, "lo", IFNAMSIZ - 1);
  bool up = ioctl(fd, SIOCGIFFLAGS, &request) == 0;
  request.ifr_flags = static_cast<short>(request.ifr_flags | IFF_UP);
  up = up && ioctl(fd, SIOCSIFFLAGS, &request) == 0;
  close(fd);
  return up;
}

sockaddr_in address_of(const char* address, std::uint16_t port) {
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_port = htons(port);
  inet_pton(AF_INET, address, &to.sin_addr);
  return to;
}

}  // namespace

namespace {
bool private_network = false;
}

bool enter_private_network() {
  private_network = unshare(CLONE_NEWNET) == 0 && bring_loopback_up();
  return private_network;
}

bool in_private_network() { return private_network; }

std::unique_ptr<UdpPeer> use_silent_name_server(const fs::path& scratch) {
  if (!private_network || unshare(CLONE_NEWNS) != 0 ||
      mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0)
    return nullptr;
  write_file(scratch / "hosts", "127.0.0.1 localhost\n");
  write_file(scratch / "resolv.conf", "nameserver 127.0.0.53\n");
  for (const char* file : {"hosts", "resolv.conf"})
    if (mount((scratch / file).c_str(), (fs::path("/etc") / file).c_str(), nullptr, MS_BIND,
              nullptr) != 0)
      return nullptr;
  return std::make_unique<UdpPeer>("127.0.0.53", 53);
}

fs::path built(std::string_view name) { return fs::path(VOXARIA_BUILD_DIR) / name; }
fs::path test_data(std::string_view name) { return fs::path(VOXARIA_TEST_DATA) / name; }

ScratchDir::ScratchDir() {
  std::string pattern = (fs::temp_directory_path() / "voxaria-test-XXXXXX").string();
  if (mkdtemp(pattern.data()) == nullptr) fail("mkdtemp");
  path = pattern;
}

ScratchDir::~ScratchDir() {
  std::error_code ignored;
  if (std::getenv("VOXARIA_KEEP_SCRATCH") == nullptr) fs::remove_all(path, ignored);
}

Process::~Process() { stop(); }

std::string Process::out() const { return read_text(out_path); }
std::string Process::err() const { return read_text(err_path); }

bool Process::wait_for_output(std::string_view text, Seconds limit) const {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  while (out().find(text) == std::string::npos) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(5ms);
  }
  return true;
}

std::optional<int> Process::wait_exit(Seconds limit) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  while (running()) {
    if (std::chrono::steady_clock::now() > deadline) return std::nullopt;
    std::this_thread::sleep_for(5ms);
  }
  return status;
}

bool Process::running() {
  if (status || pid <= 0) return false;
  int raw = 0;
  if (waitpid(pid, &raw, WNOHANG) != pid) return true;
  status = WIFEXITED(raw) ? WEXITSTATUS(raw) : 128 + WTERMSIG(raw);
  return false;
}

void Process::send_input(std::string_view text) {
  if (write(stdin_fd, text.data(), text.size()) != static_cast<ssize_t>(text.size()))
    fail("write to a program's stdin");
}

void Process::close_input() {
  if (stdin_fd >= 0) close(stdin_fd);
  stdin_fd = -1;
}

void Process::stop() {
  if (running()) {
    kill(pid, SIGKILL);
    int raw = 0;
    waitpid(pid, &raw, 0);
    status = 128 + SIGKILL;
  }
  close_input();
}

namespace {
// Tests built for another architecture run under qemu-user, and so must the
// build's programs they start (nothing else on the machine is foreign).
std::vector<std::string> with_emulator(std::vector<std::string> argv) {
  constexpr std::string_view emulator = VOXARIA_EMULATOR;
  if (emulator.empty() || argv.empty() || !argv[0].starts_with(VOXARIA_BUILD_DIR)) return argv;
  std::vector<std::string> words;
  for (std::size_t at = 0; at < emulator.size();) {
    const auto end = std::min(emulator.find(' ', at), emulator.size());
    words.emplace_back(emulator.substr(at, end - at));
    at = end + 1;
  }
  if (words[0].find('/') == std::string::npos)  // execve searches no PATH
    for (const char* dir : {"/usr/bin/", "/usr/local/bin/"})
      if (access((dir + words[0]).c_str(), X_OK) == 0) words[0] = dir + words[0];
  argv.insert(argv.begin(), words.begin(), words.end());
  return argv;
}
}  // namespace

std::unique_ptr<Process> spawn(const Launch& launch) {
  auto process = std::make_unique<Process>();
  process->out_path = launch.output_prefix.string() + ".out";
  process->err_path = launch.output_prefix.string() + ".err";
  int input[2] = {-1, -1};
  if (!launch.close_stdin && pipe2(input, O_CLOEXEC) != 0) fail("pipe2");

  // The launch's settings replace the test's own of the same name.
  std::vector<std::string> env_strings = launch.env;
  const auto overridden = [&](std::string_view entry) {
    const auto name = entry.substr(0, entry.find('=') + 1);
    for (const auto& e : launch.env)
      if (e.starts_with(name)) return true;
    return false;
  };
  for (char** e = environ; *e != nullptr; ++e)
    if (!overridden(*e)) env_strings.emplace_back(*e);
  std::vector<char*> envp, argv;
  for (auto& e : env_strings) envp.push_back(e.data());
  envp.push_back(nullptr);
  std::vector<std::string> args = with_emulator(launch.argv);
  for (auto& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);

  const pid_t pid = fork();
  if (pid < 0) fail("fork");
  if (pid == 0) {
    // Only async-signal-safe calls from here on.
    const int out = open(process->out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    const int err = open(process->err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (out < 0 || err < 0 || dup2(out, 1) < 0 || dup2(err, 2) < 0) _exit(127);
    if (launch.close_stdin)
      close(0);
    else if (dup2(input[0], 0) < 0)
      _exit(127);
    close_range(3, ~0U, 0);  // nothing the test runner left open
    if (chdir(launch.cwd.c_str()) != 0) _exit(127);
    if (launch.nice != 0) setpriority(PRIO_PROCESS, 0, launch.nice);
    execve(argv[0], argv.data(), envp.data());
    _exit(127);
  }
  process->pid = pid;
  if (!launch.close_stdin) {
    close(input[0]);
    process->stdin_fd = input[1];
  }
  return process;
}

std::vector<std::string> Card::env() const {
  std::vector<std::string> env = {
      std::string("LD_PRELOAD=") + VOXARIA_SIMCARD,
      // The card comes before a sanitizer runtime in the list of libraries.
      "ASAN_OPTIONS=verify_asan_link_order=0",
      "SIMCARD_LOG=" + log().string(),
      "SIMCARD_OUTPUT=" + loudspeaker().string(),
      "SIMCARD_RING=" + ring().string(),
  };
  env.insert(env.end(), settings.begin(), settings.end());
  return env;
}

namespace {
double realtime_seconds() {
  timespec now{};
  clock_gettime(CLOCK_REALTIME, &now);
  return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) * 1e-9;
}
}  // namespace

Timeline::Timeline(double speed) : speed(speed), epoch(realtime_seconds()) {}

std::vector<std::string> Timeline::settings() const {
  char epoch_text[64];
  std::snprintf(epoch_text, sizeof epoch_text, "%.9f", epoch);
  return {"SIMCARD_SPEED=" + std::to_string(speed), std::string("SIMCARD_EPOCH=") + epoch_text};
}

double Timeline::now() const { return (realtime_seconds() - epoch) * speed; }

void Timeline::sleep_until(double card_seconds) const {
  const double wait = (card_seconds - now()) / speed;
  if (wait > 0) std::this_thread::sleep_for(Seconds(wait));
}

std::string Datagram::text() const {
  const auto* begin = reinterpret_cast<const char*>(bytes.data());
  return std::string(begin, strnlen(begin, bytes.size()));
}

UdpPeer::UdpPeer(const char* address, std::uint16_t port) {
  fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (fd < 0) fail("socket");
  const sockaddr_in self = address_of(address, port);
  if (bind(fd, reinterpret_cast<const sockaddr*>(&self), sizeof self) != 0) fail("bind");
}

UdpPeer::~UdpPeer() { close(fd); }

sockaddr_in UdpPeer::address() const {
  sockaddr_in self{};
  socklen_t length = sizeof self;
  getsockname(fd, reinterpret_cast<sockaddr*>(&self), &length);
  return self;
}

std::uint16_t UdpPeer::port() const { return ntohs(address().sin_port); }

void UdpPeer::send_to(std::uint16_t port, const void* data, std::size_t size,
                      const char* address) const {
  send_to(address_of(address, port), data, size);
}

void UdpPeer::send_to(const sockaddr_in& to, const void* data, std::size_t size) const {
  if (sendto(fd, data, size, 0, reinterpret_cast<const sockaddr*>(&to), sizeof to) < 0)
    fail("sendto");
}

std::optional<Datagram> UdpPeer::receive(Seconds limit) const {
  pollfd ready{fd, POLLIN, 0};
  const auto ms =
      static_cast<int>(std::chrono::duration_cast<std::chrono::milliseconds>(limit).count());
  if (poll(&ready, 1, ms) <= 0) return std::nullopt;
  Datagram datagram;
  datagram.bytes.resize(65536);
  socklen_t length = sizeof datagram.from;
  const ssize_t got = recvfrom(fd, datagram.bytes.data(), datagram.bytes.size(), 0,
                               reinterpret_cast<sockaddr*>(&datagram.from), &length);
  if (got < 0) fail("recvfrom");
  datagram.bytes.resize(static_cast<std::size_t>(got));
  return datagram;
}

namespace {
// The kernel's line for the UDP socket of this network namespace bound to
// the port: whether one is bound, and how many bytes wait in its receive
// queue. Read from the table, since a probe that binds the port itself
// would, for an instant, make the program's own bind fail.
struct UdpSocketState {
  bool bound = false;
  unsigned long queued = 0;
};
UdpSocketState udp_socket(std::uint16_t port) {
  std::ifstream table("/proc/net/udp");
  std::string line;
  std::getline(table, line);  // the heading
  char wanted[8];
  std::snprintf(wanted, sizeof wanted, ":%04X", port);
  while (std::getline(table, line)) {
    std::istringstream fields(line);
    std::string slot, local, remote, state, queues;
    fields >> slot >> local >> remote >> state >> queues;  // queues: "tx:rx" in hex
    if (local.ends_with(wanted))
      return {true, std::stoul(queues.substr(queues.find(':') + 1), nullptr, 16)};
  }
  return {};
}
bool udp_port_bound(std::uint16_t port) { return udp_socket(port).bound; }
}  // namespace

void wait_until_free(std::uint16_t port, Seconds limit) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  while (udp_port_bound(port)) {
    if (std::chrono::steady_clock::now() > deadline)
      throw std::runtime_error("the port stayed bound");
    std::this_thread::sleep_for(5ms);
  }
}

void wait_until_taken(std::uint16_t port, Seconds limit) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  while (udp_socket(port).queued > 0) {
    if (std::chrono::steady_clock::now() > deadline)
      throw std::runtime_error("the program did not take what was sent to its port");
    std::this_thread::sleep_for(5ms);
  }
}

void wait_until_bound(std::uint16_t port, Seconds limit) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  while (!udp_port_bound(port)) {
    if (std::chrono::steady_clock::now() > deadline)
      throw std::runtime_error("nobody bound the port");
    std::this_thread::sleep_for(5ms);
  }
}

std::size_t occurrences(const std::string& text, const std::string& part) {
  std::size_t n = 0;
  for (auto at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++n;
  return n;
}

std::string read_text(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream content;
  content << in.rdbuf();
  return content.str();
}

std::vector<std::uint8_t> read_file(const fs::path& path) {
  const std::string content = read_text(path);
  return {content.begin(), content.end()};
}

void write_file(const fs::path& path, std::string_view content) {
  std::ofstream(path, std::ios::binary) << content;
}

}  // namespace voxaria::test
