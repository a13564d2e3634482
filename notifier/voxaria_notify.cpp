// voxaria-notify: runs the ring daemon with its output on a pipe, copies
// that output byte for byte to its own (the journal, under the user unit),
// and shows each knock as a desktop notification on the session bus: one
// notification per knock, replaced at every ring, withdrawn once the
// answering program runs or the caller has gone. Without a session bus or
// a notification server it only copies. Whatever D-Bus does, it must keep
// copying: the daemon's notices would be lost otherwise.
//   voxaria-notify PROGRAM [ARGUMENT...]   (the unit: voxaria-notify voxariad)

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <systemd/sd-bus.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <string>
#include <string_view>

namespace voxaria_notify {
namespace {

constexpr char notice_head[] = "The host ";
constexpr char notice_tail[] = " is trying to contact you by Voxaria.";
constexpr char caller_gone[] = "Connection closed by client.";
constexpr char probe_path[] = "./voxaria_server";
constexpr char service[] = "org.freedesktop.Notifications";
constexpr char object[] = "/org/freedesktop/Notifications";
constexpr char interface[] = "org.freedesktop.Notifications";
constexpr char answer_command[] = "voxaria-answer";
// The daemon rings (phone.au, about 3 s), then pauses 7 s: a knock with no
// notice for longer than this has ended without an answer.
constexpr long ring_silence_ms = 17'000;
constexpr int answer_probe_ms = 250;
constexpr std::uint64_t bus_call_timeout_us = 2'000'000;

pid_t daemon_pid = -1;
sd_bus* bus = nullptr;
bool knocking = false;
std::uint32_t shown_id = 0;  // the knock's notification, 0 when none is shown
long last_ring_ms = 0;
std::string answer_path = answer_command;
std::array<char, 2048> line{};
std::size_t line_length = 0;

long now_ms() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return now.tv_sec * 1000 + now.tv_nsec / 1'000'000;
}

void report(const char* what, int error) {
  std::fprintf(stderr, "voxaria-notify: %s: %s\n", what, std::strerror(error));
}

// The daemon prints the caller's name as it came from the resolver (or
// already escaped): no raw control byte may reach the notification, and a
// server that reads markup in the body must not take the name for markup.
std::string shown_name(std::string_view name, bool markup) {
  std::string shown;
  for (const unsigned char c : name) {
    if (c < 0x20 || c > 0x7e) {
      std::array<char, 5> hex{};
      std::snprintf(hex.data(), hex.size(), "\\x%02X", c);
      shown += hex.data();
    } else if (markup && c == '<') {
      shown += "&lt;";
    } else if (markup && c == '>') {
      shown += "&gt;";
    } else if (markup && c == '&') {
      shown += "&amp;";
    } else {
      shown += static_cast<char>(c);
    }
  }
  return shown;
}

// ---- the session bus --------------------------------------------------------

void drop_bus() {
  bus = sd_bus_flush_close_unref(bus);
  shown_id = 0;
}

// The server's capabilities: whether it offers actions and reads markup.
// Unknown (the call failed) counts as no actions and markup, the safe side.
void capabilities(bool& actions, bool& markup) {
  actions = false;
  markup = true;
  sd_bus_message* reply = nullptr;
  sd_bus_error error{};  // SD_BUS_ERROR_NULL, without its C99 compound literal
  if (sd_bus_call_method(bus, service, object, interface, "GetCapabilities", &error, &reply, "") <
      0) {
    std::fprintf(stderr, "voxaria-notify: GetCapabilities: %s\n", error.message);
    sd_bus_error_free(&error);
    return;
  }
  char** names = nullptr;
  if (sd_bus_message_read_strv(reply, &names) >= 0 && names != nullptr) {
    markup = false;
    for (char** name = names; *name != nullptr; ++name) {
      actions = actions || std::strcmp(*name, "actions") == 0;
      markup = markup || std::strcmp(*name, "body-markup") == 0;
      free(*name);
    }
    free(names);
  }
  sd_bus_message_unref(reply);
}

// Shows the knock, in place of its notification of the previous ring.
void notify(std::string_view name) {
  if (bus == nullptr) return;
  bool actions = false, markup = true;
  capabilities(actions, markup);
  const std::string body = std::string(notice_head) + shown_name(name, markup) + notice_tail +
                           "\nAnswer with: voxaria-answer";
  sd_bus_message* call = nullptr;
  sd_bus_message* reply = nullptr;
  sd_bus_error error{};  // SD_BUS_ERROR_NULL, without its C99 compound literal
  std::array<char*, 5> with_actions = {const_cast<char*>("default"), const_cast<char*>("Answer"),
                                       const_cast<char*>("answer"), const_cast<char*>("Answer"),
                                       nullptr};
  std::array<char*, 1> no_actions = {nullptr};
  int r = sd_bus_message_new_method_call(bus, &call, service, object, interface, "Notify");
  if (r >= 0)
    r = sd_bus_message_append(call, "susss", "Voxaria", shown_id, "call-start", "Voxaria call",
                              body.c_str());
  if (r >= 0) r = sd_bus_message_append_strv(call, actions ? with_actions.data() : no_actions.data());
  // Critical: the notification stays until it is withdrawn.
  if (r >= 0) r = sd_bus_message_append(call, "a{sv}i", 1, "urgency", "y", 2, 0);
  if (r < 0) {
    report("building the notification", -r);
  } else if (sd_bus_call(bus, call, bus_call_timeout_us, &error, &reply) < 0) {
    std::fprintf(stderr, "voxaria-notify: Notify: %s\n", error.message);
  } else if (sd_bus_message_read(reply, "u", &shown_id) < 0) {
    shown_id = 0;
  }
  sd_bus_error_free(&error);
  sd_bus_message_unref(reply);
  sd_bus_message_unref(call);
}

void withdraw() {
  if (bus == nullptr || shown_id == 0) return;
  sd_bus_error error{};  // SD_BUS_ERROR_NULL, without its C99 compound literal
  if (sd_bus_call_method(bus, service, object, interface, "CloseNotification", &error, nullptr,
                         "u", shown_id) < 0)
    std::fprintf(stderr, "voxaria-notify: CloseNotification: %s\n", error.message);
  sd_bus_error_free(&error);
  shown_id = 0;
}

// Opens the answering program in the user's terminal emulator, in a
// process of its own that is never this program's child to wait for.
void open_answering_terminal() {
  const pid_t child = fork();
  if (child < 0) return report("fork", errno);
  if (child == 0) {
    setsid();
    if (fork() == 0) {
      const int null = open("/dev/null", O_RDONLY);
      if (null > 0) dup2(null, 0);
      execlp("x-terminal-emulator", "x-terminal-emulator", "-e", answer_path.c_str(), nullptr);
      report("x-terminal-emulator", errno);
      _exit(127);
    }
    _exit(0);
  }
  waitpid(child, nullptr, 0);
}

int on_action(sd_bus_message* signal, void*, sd_bus_error*) {
  std::uint32_t id = 0;
  const char* key = nullptr;
  if (sd_bus_message_read(signal, "us", &id, &key) < 0 || id == 0 || id != shown_id) return 0;
  if (std::strcmp(key, "answer") == 0 || std::strcmp(key, "default") == 0)
    open_answering_terminal();
  return 0;
}

// Joins the session bus for a new knock if not yet joined. No bus, no
// notifications: the output is copied all the same.
void join_bus() {
  if (bus != nullptr) return;
  if (const int r = sd_bus_open_user(&bus); r < 0) {
    bus = nullptr;
    return report("no session bus", -r);
  }
  if (const int r = sd_bus_match_signal(bus, nullptr, service, object, interface,
                                        "ActionInvoked", on_action, nullptr);
      r < 0)
    report("watching ActionInvoked", -r);
}

void process_bus() {
  if (bus == nullptr) return;
  int r;
  while ((r = sd_bus_process(bus, nullptr)) > 0) {
  }
  if (r < 0) {
    report("session bus", -r);
    drop_bus();
  }
}

// ---- the knock --------------------------------------------------------------

// Whether some process runs ./voxaria_server, the daemon's own test of an
// answer made without opening the file for writing, which for an instant
// would make the user's start of it fail ("Text file busy").
bool answered() {
  struct stat program {};
  if (stat(probe_path, &program) != 0) return false;
  DIR* processes = opendir("/proc");
  if (processes == nullptr) return false;
  bool running = false;
  while (const dirent* entry = readdir(processes)) {
    if (entry->d_name[0] < '1' || entry->d_name[0] > '9') continue;
    const std::string exe = std::string("/proc/") + entry->d_name + "/exe";
    struct stat image {};
    if (stat(exe.c_str(), &image) == 0 && image.st_dev == program.st_dev &&
        image.st_ino == program.st_ino) {
      running = true;
      break;
    }
  }
  closedir(processes);
  return running;
}

void end_knock() {
  withdraw();
  knocking = false;
}

void ring(std::string_view name) {
  if (!knocking) join_bus();
  knocking = true;
  last_ring_ms = now_ms();
  notify(name);
}

void read_line(std::string_view text) {
  if (text.starts_with(notice_head) && text.ends_with(notice_tail))
    ring(text.substr(sizeof notice_head - 1,
                     text.size() - (sizeof notice_head - 1) - (sizeof notice_tail - 1)));
  else if (text == caller_gone && knocking)
    end_knock();
}

// A line longer than the buffer is read by its start only: no notice is
// that long, and it is copied whole all the same.
void scan(const char* data, std::size_t length) {
  for (std::size_t i = 0; i < length; ++i) {
    if (data[i] == '\n') {
      read_line(std::string_view(line.data(), line_length));
      line_length = 0;
    } else if (line_length < line.size()) {
      line[line_length++] = data[i];
    }
  }
}

// Copies to standard output; a failed write (no reader) is lost, never fatal.
void copy_out(const char* data, std::size_t length) {
  while (length > 0) {
    const ssize_t written = write(1, data, length);
    if (written < 0 && errno == EINTR) continue;
    if (written <= 0) return;
    data += written;
    length -= static_cast<std::size_t>(written);
  }
}

// ---- the daemon -------------------------------------------------------------

void forward_signal(int signal_number) {
  if (daemon_pid > 0) kill(daemon_pid, signal_number);
}

void install_handlers() {
  struct sigaction forward {};
  forward.sa_handler = forward_signal;
  sigemptyset(&forward.sa_mask);
  for (const int s : {SIGTERM, SIGINT, SIGHUP}) sigaction(s, &forward, nullptr);
  std::signal(SIGPIPE, SIG_IGN);
}

// Starts the program with its standard output on a pipe; returns the
// pipe's reading end, or -1.
int start_daemon(char** argv) {
  std::array<int, 2> ends{};
  if (pipe2(ends.data(), O_CLOEXEC) != 0) {
    report("pipe2", errno);
    return -1;
  }
  daemon_pid = fork();
  if (daemon_pid < 0) {
    report("fork", errno);
    return -1;
  }
  if (daemon_pid == 0) {
    dup2(ends[1], 1);
    execvp(argv[0], argv);
    std::fprintf(stderr, "voxaria-notify: %s: %s\n", argv[0], std::strerror(errno));
    _exit(127);
  }
  close(ends[1]);
  return ends[0];
}

void find_answer_command() {
  std::array<char, 4096> self{};
  const ssize_t length = readlink("/proc/self/exe", self.data(), self.size() - 1);
  if (length <= 0) return;
  std::string beside(self.data(), static_cast<std::size_t>(length));
  beside = beside.substr(0, beside.rfind('/') + 1) + answer_command;
  if (access(beside.c_str(), X_OK) == 0) answer_path = beside;
}

int poll_timeout() {
  int timeout = knocking ? answer_probe_ms : -1;
  std::uint64_t bus_usec = 0;
  if (bus != nullptr && sd_bus_get_timeout(bus, &bus_usec) > 0 && bus_usec != UINT64_MAX) {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    const std::uint64_t now_usec = static_cast<std::uint64_t>(now.tv_sec) * 1'000'000 +
                                   static_cast<std::uint64_t>(now.tv_nsec) / 1000;
    const int bus_ms = bus_usec > now_usec ? static_cast<int>((bus_usec - now_usec) / 1000 + 1) : 0;
    timeout = timeout < 0 ? bus_ms : std::min(timeout, bus_ms);
  }
  return timeout;
}

// Copies and watches until the daemon closes its output.
void follow(int output) {
  std::array<char, 4096> chunk{};
  for (;;) {
    std::array<pollfd, 2> watched = {pollfd{output, POLLIN, 0}, pollfd{-1, 0, 0}};
    if (bus != nullptr) watched[1] = {sd_bus_get_fd(bus), static_cast<short>(sd_bus_get_events(bus)), 0};
    if (poll(watched.data(), watched.size(), poll_timeout()) < 0 && errno != EINTR) {
      report("poll", errno);
      return;
    }
    if (watched[0].revents != 0) {
      const ssize_t got = read(output, chunk.data(), chunk.size());
      if (got == 0 || (got < 0 && errno != EINTR && errno != EAGAIN)) return;
      if (got > 0) {
        copy_out(chunk.data(), static_cast<std::size_t>(got));
        scan(chunk.data(), static_cast<std::size_t>(got));
      }
    }
    process_bus();
    if (knocking && (answered() || now_ms() - last_ring_ms > ring_silence_ms)) end_knock();
  }
}

int run(char** argv) {
  install_handlers();
  find_answer_command();
  const int output = start_daemon(argv);
  if (output < 0) return 1;
  follow(output);
  close(output);
  end_knock();
  drop_bus();
  int status = 0;
  while (waitpid(daemon_pid, &status, 0) < 0 && errno == EINTR) {
  }
  // The daemon's end is ours, a signal included, so that its service
  // manager sees what it would have seen of the daemon itself.
  if (WIFSIGNALED(status)) {
    std::signal(WTERMSIG(status), SIG_DFL);
    raise(WTERMSIG(status));
  }
  return WIFEXITED(status) ? WEXITSTATUS(status) : 1;
}

}  // namespace
}  // namespace voxaria_notify

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: voxaria-notify PROGRAM [ARGUMENT...]\n");
    return 2;
  }
  return voxaria_notify::run(argv + 1);
}
