// voxaria-notify: runs the ring daemon with its output on a pipe, copies
// that output byte for byte to its own (the journal, under the user unit),
// and shows each knock as a desktop notification on the session bus: one
// notification per knock, replaced at every ring, withdrawn once the
// answering program runs or the caller has gone. Without a session bus or
// a notification server it only copies. Whatever D-Bus does, it must keep
// copying: the daemon's notices would be lost otherwise. So every bus call
// is asynchronous, answered in the copying loop. If the copy itself cannot
// go on, it stops the daemon and ends with status 1, so that the user
// unit's Restart=on-failure starts both again.
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

#include "daemon_notices.hpp"

namespace voxaria_notify {
namespace {

// The daemon's own lines and probe, from the daemon's side of the contract.
constexpr auto& notice_head = voxaria::notices::ring_head;
constexpr auto& notice_tail = voxaria::notices::ring_tail;
constexpr auto& caller_gone = voxaria::notices::caller_gone;
constexpr auto& probe_path = voxaria::notices::answering_program;
constexpr char service[] = "org.freedesktop.Notifications";
constexpr char object[] = "/org/freedesktop/Notifications";
constexpr char interface[] = "org.freedesktop.Notifications";
constexpr char answer_command[] = "voxaria-answer";
// The daemon rings (phone.au, about 3 s), then pauses 7 s: a knock with no
// notice for longer than this has ended without an answer.
constexpr long ring_silence_ms = 17'000;
constexpr int answer_probe_ms = 250;
// A server that has not answered in a minute is taken for gone.
constexpr std::uint64_t bus_call_timeout_us = 60'000'000;
// At the end, how long a notification still being raised is waited for,
// to be withdrawn.
constexpr long settle_ms = 5'000;
constexpr int copy_failed = 1;

pid_t daemon_pid = -1;
sd_bus* bus = nullptr;
bool knocking = false;
std::uint32_t shown_id = 0;  // the knock's notification, 0 when none is shown
// The server's capabilities, asked once on joining the bus; until known,
// no ring is shown.
enum class Capabilities { unknown, asked, known } capabilities_state = Capabilities::unknown;
bool offers_actions = false;
bool reads_markup = true;
std::string ring_name;        // the caller of the ring still to be shown
bool ring_pending = false;    // a ring not yet sent to the server
bool notify_in_flight = false;
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
  notify_in_flight = false;
  capabilities_state = Capabilities::unknown;
}

// The error of a reply, or nullptr.
const char* reply_error(sd_bus_message* reply) {
  const sd_bus_error* error = sd_bus_message_get_error(reply);
  return error != nullptr ? (error->message != nullptr ? error->message : error->name) : nullptr;
}

void show_ring();

// The server's capabilities: whether it offers actions and reads markup.
// Unknown (the call failed) counts as no actions and markup, the safe side.
int on_capabilities(sd_bus_message* reply, void*, sd_bus_error*) {
  capabilities_state = Capabilities::known;
  offers_actions = false;
  reads_markup = true;
  char** names = nullptr;
  if (const char* error = reply_error(reply)) {
    std::fprintf(stderr, "voxaria-notify: GetCapabilities: %s\n", error);
  } else if (sd_bus_message_read_strv(reply, &names) >= 0 && names != nullptr) {
    reads_markup = false;
    for (char** name = names; *name != nullptr; ++name) {
      offers_actions = offers_actions || std::strcmp(*name, "actions") == 0;
      reads_markup = reads_markup || std::strcmp(*name, "body-markup") == 0;
      free(*name);
    }
    free(names);
  }
  show_ring();
  return 0;
}

void ask_capabilities() {
  capabilities_state = Capabilities::asked;
  if (const int r = sd_bus_call_method_async(bus, nullptr, service, object, interface,
                                             "GetCapabilities", on_capabilities, nullptr, "");
      r < 0) {
    report("GetCapabilities", -r);
    capabilities_state = Capabilities::known;  // the safe side, as for a failed call
  }
}

void close_notification(std::uint32_t id) {
  if (bus == nullptr || id == 0) return;
  if (const int r = sd_bus_call_method_async(bus, nullptr, service, object, interface,
                                             "CloseNotification", nullptr, nullptr, "u", id);
      r < 0)
    report("CloseNotification", -r);
}

// The server's id for the ring just raised. If the knock ended while the
// server took its time, what it raised is withdrawn at once.
int on_notified(sd_bus_message* reply, void*, sd_bus_error*) {
  notify_in_flight = false;
  std::uint32_t id = 0;
  if (const char* error = reply_error(reply))
    std::fprintf(stderr, "voxaria-notify: Notify: %s\n", error);
  else if (sd_bus_message_read(reply, "u", &id) < 0)
    id = 0;
  if (!knocking) {
    close_notification(id);
    shown_id = 0;
    return 0;
  }
  shown_id = id;
  show_ring();  // a ring that came meanwhile
  return 0;
}

// Shows the knock's latest ring, in place of its notification of the
// previous ring: one call at a time, so that each replaces the last.
void show_ring() {
  if (bus == nullptr || !knocking || !ring_pending || notify_in_flight) return;
  if (capabilities_state == Capabilities::unknown) return ask_capabilities();
  if (capabilities_state == Capabilities::asked) return;
  const std::string body = std::string(notice_head) + shown_name(ring_name, reads_markup) +
                           notice_tail + "\nAnswer with: voxaria-answer";
  sd_bus_message* call = nullptr;
  std::array<char*, 5> with_actions = {const_cast<char*>("default"), const_cast<char*>("Answer"),
                                       const_cast<char*>("answer"), const_cast<char*>("Answer"),
                                       nullptr};
  std::array<char*, 1> no_actions = {nullptr};
  int r = sd_bus_message_new_method_call(bus, &call, service, object, interface, "Notify");
  if (r >= 0)
    r = sd_bus_message_append(call, "susss", "Voxaria", shown_id, "call-start", "Voxaria call",
                              body.c_str());
  if (r >= 0)
    r = sd_bus_message_append_strv(call, offers_actions ? with_actions.data() : no_actions.data());
  // Critical: the notification stays until it is withdrawn.
  if (r >= 0) r = sd_bus_message_append(call, "a{sv}i", 1, "urgency", "y", 2, 0);
  if (r >= 0) r = sd_bus_call_async(bus, nullptr, call, on_notified, nullptr, bus_call_timeout_us);
  if (r < 0) report("Notify", -r);
  notify_in_flight = r >= 0;
  ring_pending = false;
  sd_bus_message_unref(call);
}

// What is shown goes; what is still being raised goes once its id comes.
void withdraw() {
  close_notification(shown_id);
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
  ring_pending = false;
}

void ring(std::string_view name) {
  if (!knocking) join_bus();
  knocking = true;
  last_ring_ms = now_ms();
  ring_name = name;
  ring_pending = true;
  show_ring();
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

// Copies to standard output, all of it: a non-blocking output is waited
// on until it takes more. False, reported, when it cannot be written.
bool copy_out(const char* data, std::size_t length) {
  while (length > 0) {
    const ssize_t written = write(1, data, length);
    if (written < 0 && errno == EAGAIN) {
      pollfd writable{1, POLLOUT, 0};
      if (poll(&writable, 1, -1) < 0 && errno != EINTR) {
        report("poll on standard output", errno);
        return false;
      }
      continue;
    }
    if (written < 0 && errno == EINTR) continue;
    if (written <= 0) {
      report("write to standard output", written < 0 ? errno : EIO);
      return false;
    }
    data += written;
    length -= static_cast<std::size_t>(written);
  }
  return true;
}

// ---- the daemon -------------------------------------------------------------

void forward_signal(int signal_number) {
  if (daemon_pid > 0) kill(daemon_pid, signal_number);
}

constexpr std::array forwarded_signals = {SIGTERM, SIGINT, SIGHUP};

sigset_t forwarded_set() {
  sigset_t set;
  sigemptyset(&set);
  for (const int s : forwarded_signals) sigaddset(&set, s);
  return set;
}

// The signals to forward are held from before the handlers are set until
// the daemon's pid is known: one that came in between would have no one
// to go to, and be lost.
void install_handlers() {
  const sigset_t held = forwarded_set();
  if (sigprocmask(SIG_BLOCK, &held, nullptr) != 0) report("sigprocmask", errno);
  struct sigaction forward {};
  forward.sa_handler = forward_signal;
  sigemptyset(&forward.sa_mask);
  for (const int s : forwarded_signals) sigaction(s, &forward, nullptr);
  std::signal(SIGPIPE, SIG_IGN);
}

void release_signals() {
  const sigset_t held = forwarded_set();
  if (sigprocmask(SIG_UNBLOCK, &held, nullptr) != 0) report("sigprocmask", errno);
}

// Starts the program with its standard output on a pipe; returns the
// pipe's reading end, or -1.
int start_daemon(char** argv) {
  std::array<int, 2> ends{};
  if (pipe2(ends.data(), O_CLOEXEC) != 0) {
    report("pipe2", errno);
    return -1;
  }
  const pid_t child = fork();
  if (child < 0) {
    report("fork", errno);
    return -1;
  }
  if (child == 0) {
    for (const int s : forwarded_signals) std::signal(s, SIG_DFL);
    std::signal(SIGPIPE, SIG_DFL);
    release_signals();
    dup2(ends[1], 1);
    execvp(argv[0], argv);
    std::fprintf(stderr, "voxaria-notify: %s: %s\n", argv[0], std::strerror(errno));
    _exit(127);
  }
  daemon_pid = child;
  release_signals();
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

// Copies and watches until the daemon closes its output: true then, false
// (reported) when the copy cannot go on.
bool follow(int output) {
  std::array<char, 4096> chunk{};
  for (;;) {
    std::array<pollfd, 2> watched = {pollfd{output, POLLIN, 0}, pollfd{-1, 0, 0}};
    if (bus != nullptr) watched[1] = {sd_bus_get_fd(bus), static_cast<short>(sd_bus_get_events(bus)), 0};
    if (poll(watched.data(), watched.size(), poll_timeout()) < 0 && errno != EINTR) {
      report("poll on the daemon's output", errno);
      return false;
    }
    if (watched[0].revents != 0) {
      const ssize_t got = read(output, chunk.data(), chunk.size());
      if (got == 0) return true;
      if (got < 0 && errno != EINTR && errno != EAGAIN) {
        report("read from the daemon's output", errno);
        return false;
      }
      if (got > 0) {
        if (!copy_out(chunk.data(), static_cast<std::size_t>(got))) return false;
        scan(chunk.data(), static_cast<std::size_t>(got));
      }
    }
    process_bus();
    if (knocking && (answered() || now_ms() - last_ring_ms > ring_silence_ms)) end_knock();
  }
}

// Gives a notification still being raised its time to come, so that it
// can be withdrawn before the bus is left.
void settle_bus() {
  const long until = now_ms() + settle_ms;
  while (bus != nullptr && notify_in_flight && now_ms() < until) {
    if (const int r = sd_bus_wait(bus, static_cast<std::uint64_t>(until - now_ms()) * 1000);
        r < 0 && r != -EINTR) {
      report("session bus", -r);
      return;
    }
    process_bus();
  }
}

int run(char** argv) {
  install_handlers();
  find_answer_command();
  const int output = start_daemon(argv);
  if (output < 0) return 1;
  const bool copied = follow(output);
  close(output);
  end_knock();
  settle_bus();
  drop_bus();
  if (!copied) {
    std::fprintf(stderr, "voxaria-notify: stopping the daemon, whose output would be lost\n");
    kill(daemon_pid, SIGTERM);
  }
  int status = 0;
  while (waitpid(daemon_pid, &status, 0) < 0 && errno == EINTR) {
  }
  if (!copied) return copy_failed;
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
