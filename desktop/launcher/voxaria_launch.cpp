// voxaria-launch: the installed commands voxaria_client, voxaria_server,
// voxariad and voxaria-answer are links to this program, which lives beside
// the real programs (lib/voxaria/) and starts the one it is named after.
// Where a PulseAudio-protocol sound server answers (PipeWire with
// pipewire-pulse, or PulseAudio) and the desktop companion is installed, it
// preloads the companion, which serves /dev/dsp and the ring's /dev/audio
// through that server; elsewhere the program meets the sound card, or its
// absence, as it always has.
//   voxaria-desktop PROGRAM [ARGUMENT...]
//                    runs PROGRAM with the companion preloaded, whatever
//                    answers (a program name without a slash is looked for
//                    on PATH, then beside this program)
//   voxaria-answer   runs ~/.local/share/voxaria/voxaria_server there, where
//                    the ring daemon of the user unit sees it run

#include <fcntl.h>
#include <netdb.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>

namespace voxaria_launch {
namespace {

constexpr char companion_name[] = "libvoxaria_desktop.so";
constexpr char service_dir[] = "/.local/share/voxaria";  // under $HOME
constexpr char pulse_port[] = "4713";                   // libpulse's TCP default
constexpr int connect_wait_ms = 1000;

std::string called_as = "voxaria-launch";  // the command's name, for messages

void report(const std::string& what, int error) {
  std::fprintf(stderr, "%s: %s: %s\n", called_as.c_str(), what.c_str(), std::strerror(error));
}

// The directory this program's file is in: lib/voxaria of the installation.
std::string own_dir() {
  std::array<char, 4096> self{};
  const ssize_t length = readlink("/proc/self/exe", self.data(), self.size() - 1);
  if (length <= 0) {
    report("readlink /proc/self/exe", errno);
    return {};
  }
  const std::string path(self.data(), static_cast<std::size_t>(length));
  return path.substr(0, path.rfind('/'));
}

std::string environment(const char* name) {
  const char* value = std::getenv(name);
  return value != nullptr ? value : "";
}

// Where libpulse itself would look for the local server's socket.
std::string pulse_socket() {
  if (const auto runtime = environment("PULSE_RUNTIME_PATH"); !runtime.empty())
    return runtime + "/native";
  if (const auto runtime = environment("XDG_RUNTIME_DIR"); !runtime.empty())
    return runtime + "/pulse/native";
  return "/run/user/" + std::to_string(getuid()) + "/pulse/native";
}

// Whether a connection to the address is accepted (a server that is busy
// accepting others still counts); a socket left by a stopped server is not.
bool connects(int family, const sockaddr* address, socklen_t length) {
  const int probe = socket(family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (probe < 0) {
    report("socket", errno);
    return false;
  }
  bool answers = connect(probe, address, length) == 0 || errno == EAGAIN;
  if (!answers && errno == EINPROGRESS) {
    pollfd connected{probe, POLLOUT, 0};
    int error = 0;
    socklen_t size = sizeof error;
    answers = poll(&connected, 1, connect_wait_ms) == 1 &&
              getsockopt(probe, SOL_SOCKET, SO_ERROR, &error, &size) == 0 && error == 0;
  }
  close(probe);
  return answers;
}

bool unix_answers(const std::string& path) {
  sockaddr_un address{};
  if (path.empty() || path.size() >= sizeof address.sun_path) return false;
  address.sun_family = AF_UNIX;
  std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
  return connects(AF_UNIX, reinterpret_cast<const sockaddr*>(&address), sizeof address);
}

// HOST, HOST:PORT, [IPV6] or [IPV6]:PORT.
bool tcp_answers(const std::string& where) {
  std::string host = where, port = pulse_port;
  if (where.starts_with('[')) {
    const auto close = where.find(']');
    if (close == std::string::npos) return false;
    host = where.substr(1, close - 1);
    if (where.size() > close + 2 && where[close + 1] == ':') port = where.substr(close + 2);
  } else if (const auto colon = where.find(':');
             colon != std::string::npos && where.find(':', colon + 1) == std::string::npos) {
    host = where.substr(0, colon);
    port = where.substr(colon + 1);
  }
  addrinfo hints{};
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* found = nullptr;
  if (getaddrinfo(host.c_str(), port.c_str(), &hints, &found) != 0) return false;
  bool answers = false;
  for (const addrinfo* a = found; a != nullptr && !answers; a = a->ai_next)
    answers = connects(a->ai_family, a->ai_addr, a->ai_addrlen);
  freeaddrinfo(found);
  return answers;
}

// One entry of PULSE_SERVER: [{MACHINE}]unix:PATH, /PATH, or
// [{MACHINE}][tcp:|tcp4:|tcp6:]HOST[:PORT].
bool entry_answers(std::string_view entry) {
  if (entry.starts_with('{')) {
    const auto close = entry.find('}');
    if (close == std::string_view::npos) return false;
    entry.remove_prefix(close + 1);
  }
  if (entry.starts_with("unix:")) return unix_answers(std::string(entry.substr(5)));
  if (entry.starts_with('/')) return unix_answers(std::string(entry));
  for (const std::string_view scheme : {"tcp:", "tcp4:", "tcp6:"})
    if (entry.starts_with(scheme)) entry.remove_prefix(scheme.size());
  return !entry.empty() && tcp_answers(std::string(entry));
}

// The servers libpulse would use: those PULSE_SERVER names (any one that
// answers will do: a dead one is not taken at its word), else the local
// socket. Also says where it looked, for a message.
bool sound_server_answers(std::string& looked_at) {
  const std::string named = environment("PULSE_SERVER");
  if (named.empty()) {
    looked_at = pulse_socket();
    return unix_answers(looked_at);
  }
  looked_at = "PULSE_SERVER=" + named;
  std::size_t start = 0;
  while (start < named.size()) {
    const std::size_t end = std::min(named.find(' ', start), named.size());
    if (end > start && entry_answers(std::string_view(named).substr(start, end - start)))
      return true;
    start = end + 1;
  }
  return false;
}

void preload(const std::string& companion) {
  const std::string preloaded = environment("LD_PRELOAD");
  const std::string value = preloaded.empty() ? companion : companion + ":" + preloaded;
  if (setenv("LD_PRELOAD", value.c_str(), 1) != 0) report("setenv LD_PRELOAD", errno);
}

// Adds the companion in front of what is preloaded already, once, where a
// sound server answers. With neither a server nor the device the program
// opens (none: it only prints its usage), says where it looked, since the
// program can only name the device.
void choose_companion(const std::string& dir, const char* device) {
  const std::string companion = dir + "/" + companion_name;
  if (environment("LD_PRELOAD").find(companion_name) != std::string::npos) return;
  const bool installed = access(companion.c_str(), R_OK) == 0;
  std::string looked_at;
  if (installed && sound_server_answers(looked_at)) return preload(companion);
  if (device == nullptr || access(device, F_OK) == 0) return;
  if (installed)
    std::fprintf(stderr, "%s: no sound server answers (looked at %s), and there is no %s\n",
                 called_as.c_str(), looked_at.c_str(), device);
  else
    std::fprintf(stderr, "%s: there is no %s, and no desktop companion %s to try a sound server\n",
                 called_as.c_str(), device, companion.c_str());
}

// A launcher copied or hard-linked under a program's name would find itself
// where the program should be, and start itself for ever.
bool is_this_launcher(const std::string& program) {
  struct stat self {}, target {};
  return stat("/proc/self/exe", &self) == 0 && stat(program.c_str(), &target) == 0 &&
         self.st_dev == target.st_dev && self.st_ino == target.st_ino;
}

// The program keeps the name it was called by, as if it had been run
// itself; the companion goes in front of it where a server answers.
int run_program(const std::string& dir, const std::string& program, const char* device,
                char** argv) {
  if (is_this_launcher(program)) {
    std::fprintf(stderr,
                 "%s: %s is a copy or hard link of voxaria-launch, not the program: make it a "
                 "symbolic link to voxaria-launch beside the programs instead\n",
                 called_as.c_str(), program.c_str());
    return 2;
  }
  choose_companion(dir, device);
  execv(program.c_str(), argv);
  report("cannot run " + program, errno);
  return 127;
}

// The answering program, where the daemon of the user unit probes it.
int answer(const std::string& dir, int argc) {
  if (argc > 1) {
    std::fprintf(stderr, "Usage: voxaria-answer\n");
    return 2;
  }
  const std::string home = environment("HOME");
  if (home.empty()) {
    std::fprintf(stderr, "voxaria-answer: HOME is not set\n");
    return 1;
  }
  const std::string service = home + service_dir;
  if (chdir(service.c_str()) != 0 || access("voxaria_server", X_OK) != 0) {
    report(service + "/voxaria_server", errno);
    std::fprintf(stderr,
                 "voxaria-answer: start the service first: systemctl --user enable --now voxariad\n");
    return 1;
  }
  std::array<char*, 2> answering = {const_cast<char*>("./voxaria_server"), nullptr};
  return run_program(dir, "./voxaria_server", "/dev/dsp", answering.data());
}

// A program name without a slash: on PATH, else beside this program.
std::string find_program(const std::string& name, const std::string& dir) {
  if (name.find('/') != std::string::npos) return name;
  const std::string path = environment("PATH");
  std::size_t start = 0;
  while (start <= path.size()) {
    const std::size_t end = std::min(path.find(':', start), path.size());
    const std::string candidate =
        (end > start ? path.substr(start, end - start) : std::string(".")) + "/" + name;
    if (access(candidate.c_str(), X_OK) == 0) return candidate;
    start = end + 1;
  }
  return dir + "/" + name;
}

// voxaria-desktop: the companion preloaded whatever answers.
int run_forced(const std::string& dir, int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: voxaria-desktop PROGRAM [ARGUMENT...]\n");
    return 2;
  }
  const std::string companion = dir + "/" + companion_name;
  if (access(companion.c_str(), R_OK) != 0) {
    report(companion, errno);
    return 2;
  }
  if (environment("LD_PRELOAD").find(companion_name) == std::string::npos) preload(companion);
  const std::string program = find_program(argv[1], dir);
  execv(program.c_str(), argv + 1);
  report("cannot run " + program, errno);
  return 127;
}

int run(int argc, char** argv) {
  const std::string_view called = argv[0];
  const std::string name(called.substr(called.rfind('/') + 1));
  called_as = name;
  const std::string dir = own_dir();
  if (dir.empty()) return 127;
  if (name == "voxaria-answer") return answer(dir, argc);
  if (name == "voxaria-desktop") return run_forced(dir, argc, argv);
  if (name != "voxaria_client" && name != "voxaria_server" && name != "voxariad") {
    std::fprintf(stderr,
                 "voxaria-launch: run as voxaria_client, voxaria_server, voxariad, "
                 "voxaria-answer or voxaria-desktop\n");
    return 2;
  }
  const char* device = name == "voxariad" ? "/dev/audio" : "/dev/dsp";
  if (name == "voxaria_client" && argc < 2) device = nullptr;  // its usage only
  return run_program(dir, dir + "/" + name, device, argv);
}

}  // namespace
}  // namespace voxaria_launch

int main(int argc, char** argv) {
  if (argc < 1) return 2;
  return voxaria_launch::run(argc, argv);
}
