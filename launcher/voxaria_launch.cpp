// voxaria-launch: the installed commands voxaria_client, voxaria_server,
// voxariad and voxaria-answer are links to this program, which lives beside
// the real programs (lib/voxaria/) and starts the one it is named after.
// Where a PulseAudio-protocol sound server answers (PipeWire with
// pipewire-pulse, or PulseAudio) and the desktop companion is installed, it
// preloads the companion, which serves /dev/dsp and the ring's /dev/audio
// through that server; elsewhere the program meets the sound card, or its
// absence, as it always has.
//   voxaria-answer   runs ~/.local/share/voxaria/voxaria_server there, where
//                    the ring daemon of the user unit sees it run

#include <fcntl.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

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

// A server named in PULSE_SERVER is taken at its word; otherwise the local
// socket must accept a connection (a server that is busy accepting others
// still counts). A socket left by a stopped server does not.
bool sound_server_answers() {
  if (!environment("PULSE_SERVER").empty()) return true;
  const std::string path = pulse_socket();
  sockaddr_un address{};
  if (path.size() >= sizeof address.sun_path) return false;
  address.sun_family = AF_UNIX;
  std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
  const int probe = socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (probe < 0) {
    report("socket", errno);
    return false;
  }
  const bool answers =
      connect(probe, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0 ||
      errno == EAGAIN || errno == EINPROGRESS;
  close(probe);
  return answers;
}

// Adds the companion in front of what is preloaded already, once.
void choose_companion(const std::string& dir) {
  const std::string companion = dir + "/" + companion_name;
  const std::string preloaded = environment("LD_PRELOAD");
  if (preloaded.find(companion_name) != std::string::npos) return;
  if (access(companion.c_str(), R_OK) != 0 || !sound_server_answers()) return;
  const std::string value = preloaded.empty() ? companion : companion + ":" + preloaded;
  if (setenv("LD_PRELOAD", value.c_str(), 1) != 0) report("setenv LD_PRELOAD", errno);
}

// The program keeps the name it was called by, as if it had been run itself.
int run_program(const std::string& program, char** argv) {
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
  choose_companion(dir);
  std::array<char*, 2> answering = {const_cast<char*>("./voxaria_server"), nullptr};
  return run_program("./voxaria_server", answering.data());
}

int run(int argc, char** argv) {
  const std::string_view called = argv[0];
  const std::string name(called.substr(called.rfind('/') + 1));
  called_as = name;
  const std::string dir = own_dir();
  if (dir.empty()) return 127;
  if (name == "voxaria-answer") return answer(dir, argc);
  if (name != "voxaria_client" && name != "voxaria_server" && name != "voxariad") {
    std::fprintf(stderr, "voxaria-launch: run as voxaria_client, voxaria_server, voxariad or voxaria-answer\n");
    return 2;
  }
  choose_companion(dir);
  return run_program(dir + "/" + name, argv);
}

}  // namespace
}  // namespace voxaria_launch

int main(int argc, char** argv) {
  if (argc < 1) return 2;
  return voxaria_launch::run(argc, argv);
}
