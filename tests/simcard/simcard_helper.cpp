// An OSS program of the tests' own, run with the simulated card preloaded.
// Each command prints one line per call it makes ("read 256",
// "open w error EBUSY", ...) for the test to compare.
#include <fcntl.h>
#include <linux/soundcard.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

namespace {

const char* error_name() { return strerrorname_np(errno); }

int number(const char* text) { return static_cast<int>(std::strtol(text, nullptr, 0)); }

// "NAME answer" or "NAME error E", the answer in hex for SETFRAGMENT.
void request(int fd, const char* name, unsigned long code, int value) {
  if (ioctl(fd, code, &value) != 0)
    std::printf("%s error %s\n", name, error_name());
  else if (code == SNDCTL_DSP_SETFRAGMENT)
    std::printf("%s 0x%08x\n", name, value);
  else
    std::printf("%s %d\n", name, value);
}

int open_dsp(int flags, const char* mode) {
  const int fd = open("/dev/dsp", flags);
  if (fd < 0) std::printf("open %s error %s\n", mode, error_name());
  return fd;
}

// Optional SETFMT and SETFRAGMENT values; "-" leaves them out.
void configure(int fd, int argc, char** argv, int first) {
  if (argc > first && std::strcmp(argv[first], "-") != 0)
    request(fd, "SETFMT", SNDCTL_DSP_SETFMT, number(argv[first]));
  if (argc > first + 1 && std::strcmp(argv[first + 1], "-") != 0)
    request(fd, "SETFRAGMENT", SNDCTL_DSP_SETFRAGMENT, number(argv[first + 1]));
}

// A pause in the middle of a transfer: "after the block number N, sleep
// M microseconds" (of card time, through the card's usleep).
struct Pause {
  int after = -1;
  unsigned microseconds = 0;
};

Pause pause_from(int argc, char** argv, int first) {
  if (argc > first + 1)
    return {number(argv[first]), static_cast<unsigned>(number(argv[first + 1]))};
  return {};
}

// record OUT BLOCKS BYTES [SETFMT|-] [SETFRAGMENT|-] [PAUSE_AFTER PAUSE_US]
int record(int argc, char** argv) {
  if (argc < 5) return 2;
  const int fd = open_dsp(O_RDONLY, "r");
  if (fd < 0) return 1;
  configure(fd, argc, argv, 5);
  const Pause pause = pause_from(argc, argv, 7);
  FILE* out = std::fopen(argv[2], "wb");
  std::vector<char> block(static_cast<std::size_t>(number(argv[4])));
  for (int i = 0; i < number(argv[3]); ++i) {
    const ssize_t got = read(fd, block.data(), block.size());
    if (got < 0)
      std::printf("read error %s\n", error_name());
    else
      std::printf("read %zd\n", got);
    if (got > 0) std::fwrite(block.data(), 1, static_cast<std::size_t>(got), out);
    if (i == pause.after) usleep(pause.microseconds);
  }
  std::fclose(out);
  return close(fd) == 0 ? 0 : 1;
}

// play IN BYTES [SETFMT|-] [SETFRAGMENT|-] [PAUSE_AFTER PAUSE_US]
int play(int argc, char** argv) {
  if (argc < 4) return 2;
  const int fd = open_dsp(O_WRONLY, "w");
  if (fd < 0) return 1;
  configure(fd, argc, argv, 4);
  const Pause pause = pause_from(argc, argv, 6);
  FILE* in = std::fopen(argv[2], "rb");
  if (in == nullptr) return 2;
  std::vector<char> block(static_cast<std::size_t>(number(argv[3])));
  std::size_t got = 0;
  for (int i = 0; (got = std::fread(block.data(), 1, block.size(), in)) > 0; ++i) {
    const ssize_t put = write(fd, block.data(), got);
    if (put < 0)
      std::printf("write error %s\n", error_name());
    else
      std::printf("write %zd\n", put);
    if (i == pause.after) usleep(pause.microseconds);
  }
  std::fclose(in);
  return close(fd) == 0 ? 0 : 1;
}

// opens r|w|rw|close|audio-r ...: a sequence of opens of the devices.
int opens(int argc, char** argv) {
  std::vector<int> fds;
  for (int i = 2; i < argc; ++i) {
    const std::string_view step = argv[i];
    if (step == "close") {
      close(fds.back());
      fds.pop_back();
      std::printf("close\n");
      continue;
    }
    const bool audio = step == "audio-r";
    const int flags = step == "w" ? O_WRONLY : step == "rw" ? O_RDWR : O_RDONLY;
    const int fd = open(audio ? "/dev/audio" : "/dev/dsp", flags);
    if (fd < 0) {
      std::printf("open %s error %s\n", argv[i], error_name());
      continue;
    }
    std::printf("open %s ok\n", argv[i]);
    fds.push_back(fd);
  }
  return 0;
}

struct Request {
  const char* name;
  unsigned long code;
};

constexpr Request requests[] = {
    {"SETFMT", SNDCTL_DSP_SETFMT},       {"SETFRAGMENT", SNDCTL_DSP_SETFRAGMENT},
    {"SPEED", SNDCTL_DSP_SPEED},         {"CHANNELS", SNDCTL_DSP_CHANNELS},
    {"STEREO", SNDCTL_DSP_STEREO},       {"GETBLKSIZE", SNDCTL_DSP_GETBLKSIZE},
    {"GETOSPACE", SNDCTL_DSP_GETOSPACE}, {"GETFMTS", SNDCTL_DSP_GETFMTS},
    {"GETCAPS", SNDCTL_DSP_GETCAPS},     {"GETODELAY", SNDCTL_DSP_GETODELAY},
};

// ioctl NAME VALUE ...: requests on a recording descriptor.
int ioctls(int argc, char** argv) {
  const int fd = open_dsp(O_RDONLY, "r");
  if (fd < 0) return 1;
  for (int i = 2; i + 1 < argc; i += 2)
    for (const Request& r : requests)
      if (std::strcmp(r.name, argv[i]) == 0) request(fd, r.name, r.code, number(argv[i + 1]));
  return close(fd) == 0 ? 0 : 1;
}

void print_transfer(const char* name, ssize_t bytes) {
  if (bytes < 0)
    std::printf("%s error %s\n", name, error_name());
  else
    std::printf("%s %zd\n", name, bytes);
}

// "NAME fragments fragstotal fragsize bytes" of GETOSPACE or GETISPACE.
void print_space(int fd, const char* name, unsigned long code) {
  audio_buf_info space{};
  if (ioctl(fd, code, &space) != 0)
    std::printf("%s error %s\n", name, error_name());
  else
    std::printf("%s %d %d %d %d\n", name, space.fragments, space.fragstotal, space.fragsize,
                space.bytes);
}

// nonblock w: O_NONBLOCK at open, two fragments of 128 bytes; two writes
// of 1000 bytes, the space and the delay, RESET (so close has nothing to
// wait for).
// nonblock r OUT WAIT_US: non-blocking through fcntl(F_SETFL); a read,
// a pause of WAIT_US card microseconds, the space, and a read (kept in OUT).
int nonblock(int argc, char** argv) {
  if (argc < 3) return 2;
  const bool playback = std::strcmp(argv[2], "w") == 0;
  if (!playback && argc < 5) return 2;
  const int fd = open("/dev/dsp", playback ? O_WRONLY | O_NONBLOCK : O_RDONLY);
  if (fd < 0) return 1;
  std::vector<char> block(playback ? 1000 : 16000);
  if (playback) {
    request(fd, "SETFRAGMENT", SNDCTL_DSP_SETFRAGMENT, 0x00020007);
    for (int i = 0; i < 2; ++i) print_transfer("write", write(fd, block.data(), block.size()));
    print_space(fd, "GETOSPACE", SNDCTL_DSP_GETOSPACE);
    request(fd, "GETODELAY", SNDCTL_DSP_GETODELAY, 0);
    ioctl(fd, SNDCTL_DSP_RESET, nullptr);
    return close(fd) == 0 ? 0 : 1;
  }
  if (fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK) != 0)
    std::printf("fcntl error %s\n", error_name());
  print_transfer("read", read(fd, block.data(), block.size()));
  usleep(static_cast<useconds_t>(number(argv[4])));
  print_space(fd, "GETISPACE", SNDCTL_DSP_GETISPACE);
  const ssize_t got = read(fd, block.data(), block.size());
  print_transfer("read", got);
  FILE* out = std::fopen(argv[3], "wb");
  if (got > 0) std::fwrite(block.data(), 1, static_cast<std::size_t>(got), out);
  std::fclose(out);
  return close(fd) == 0 ? 0 : 1;
}

// ring FILE MARKER: the way a daemon rings, with a descriptor of its own
// (MARKER) open that the ring player must not keep.
int ring(int argc, char** argv) {
  if (argc < 4) return 2;
  if (open(argv[3], O_RDONLY) < 0) return 2;
  const pid_t child = fork();
  if (child == 0) {
    execl("/bin/sh", "sh", "-c", "cat \"$0\" > /dev/audio", argv[2], static_cast<char*>(nullptr));
    _exit(127);
  }
  int status = 0;
  waitpid(child, &status, 0);
  std::printf("status %d\n", WIFEXITED(status) ? WEXITSTATUS(status) : -1);
  return 0;
}

bool same_file_contents(int fd, std::string_view expected) {
  std::string got(expected.size() + 1, '\0');
  return lseek(fd, 0, SEEK_SET) == 0 &&
         read(fd, got.data(), got.size()) == static_cast<ssize_t>(expected.size()) &&
         got.compare(0, expected.size(), expected) == 0;
}

// files DIR: ordinary files and look-alike paths pass through untouched.
int files(int argc, char** argv) {
  if (argc < 3) return 2;
  const std::string path = std::string(argv[2]) + "/plain";
  constexpr std::string_view text = "not a sound card\n";
  const int fd = open(path.c_str(), O_RDWR | O_CREAT | O_TRUNC, 0600);
  const bool written =
      fd >= 0 && write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
  std::printf("open-write %s\n", written && same_file_contents(fd, text) ? "ok" : "failed");
  close(fd);
  const int at = openat(AT_FDCWD, path.c_str(), O_RDONLY);
  std::printf("openat-read %s\n", at >= 0 && same_file_contents(at, text) ? "ok" : "failed");
  close(at);
  for (const char* other : {"/dev/dsp1", "/dev/audio2", "dev/dsp"}) {
    const int fd2 = open(other, O_RDONLY);
    std::printf("%s %s\n", other, fd2 < 0 ? error_name() : "opened");
  }
  return 0;
}

// sleeps: one call to each sleeping function, in card time.
int sleeps() {
  sleep(1);
  usleep(500000);
  const timespec quarter{0, 250000000};
  nanosleep(&quarter, nullptr);
  std::printf("slept\n");
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  std::setvbuf(stdout, nullptr, _IOLBF, 0);
  if (argc < 2) return 2;
  const std::string_view command = argv[1];
  if (command == "record") return record(argc, argv);
  if (command == "play") return play(argc, argv);
  if (command == "opens") return opens(argc, argv);
  if (command == "ioctl") return ioctls(argc, argv);
  if (command == "nonblock") return nonblock(argc, argv);
  if (command == "ring") return ring(argc, argv);
  if (command == "files") return files(argc, argv);
  if (command == "sleeps") return sleeps();
  return 2;
}
