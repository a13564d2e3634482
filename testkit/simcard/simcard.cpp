// The card's side of the shared C library interposition: /dev/dsp and
// /dev/audio go to the simulated card, and sleep, usleep and nanosleep run
// on the card's clock (SIMCARD_SPEED).
#include <fcntl.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <ctime>

#include "base.hpp"
#include "dsp.hpp"
#include "interpose.hpp"
#include "ring.hpp"

namespace simcard {
namespace {

constexpr std::int64_t ns_per_second = 1'000'000'000;

using Nanosleep = int(const timespec*, timespec*);
constinit Nanosleep* real_nanosleep = nullptr;

std::int64_t to_ns(const timespec& t) { return t.tv_sec * ns_per_second + t.tv_nsec; }
timespec from_ns(std::int64_t ns) {
  return {static_cast<time_t>(ns / ns_per_second), ns % ns_per_second};
}

// Sleeps a card duration: 1/SIMCARD_SPEED of it in real time. On an
// interruption `remaining` gets the card time left.
int card_sleep(std::int64_t card_ns, timespec* remaining) {
  log_event("sleep seconds=%.6f", static_cast<double>(card_ns) / ns_per_second);
  const timespec real = from_ns(real_duration_ns(card_ns));
  timespec left{};
  Nanosleep* sleeper = interpose::next(real_nanosleep, "nanosleep");
  const int result = sleeper != nullptr ? sleeper(&real, &left)
                                        : static_cast<int>(syscall(SYS_nanosleep, &real, &left));
  if (result != 0 && errno == EINTR && remaining != nullptr) {
    const int error = errno;
    *remaining =
        from_ns(static_cast<std::int64_t>(static_cast<double>(to_ns(left)) * config().speed));
    errno = error;
  }
  return result;
}

__attribute__((constructor)) void start() { initialise(); }

}  // namespace
}  // namespace simcard

namespace interpose {

int dsp_open(int flags) { return simcard::dsp_open(flags); }
bool is_dsp(int fd) { return simcard::is_dsp(fd); }
long dsp_read(int fd, void* buf, std::size_t n) { return simcard::dsp_read(fd, buf, n); }
long dsp_write(int fd, const void* buf, std::size_t n) { return simcard::dsp_write(fd, buf, n); }
int dsp_ioctl(int fd, unsigned long request, void* arg) {
  return simcard::dsp_ioctl(fd, request, arg);
}
void dsp_release(int fd) { simcard::dsp_release(fd); }
void forget(int fd) { simcard::dsp_forget(fd); }

int audio_open(int flags) {
  using simcard::errno_name;
  using simcard::log_event;
  const bool reading = (flags & O_ACCMODE) == O_RDONLY;
  const int fd = reading ? -1 : simcard::open_ring(flags);
  const int error = reading ? EINVAL : errno;
  if (fd < 0) {
    log_event("open path=/dev/audio mode=%s error=%s", reading ? "r" : "w", errno_name(error));
    errno = error;
    return -1;
  }
  log_event("open path=/dev/audio mode=w fd=%d", fd);
  return fd;
}

// The ring is a plain pipe here: its player reads to the end by itself.
bool audio_close(int) { return false; }

}  // namespace interpose

using namespace simcard;

#pragma GCC visibility push(default)
extern "C" {

int nanosleep(const timespec* request, timespec* remaining) {
  if (request == nullptr || request->tv_nsec < 0 || request->tv_nsec >= ns_per_second ||
      request->tv_sec < 0) {
    Nanosleep* real = interpose::next(real_nanosleep, "nanosleep");
    return real != nullptr ? real(request, remaining)
                           : static_cast<int>(syscall(SYS_nanosleep, request, remaining));
  }
  return card_sleep(to_ns(*request), remaining);
}

unsigned sleep(unsigned seconds) {
  timespec left{};
  if (card_sleep(std::int64_t{seconds} * ns_per_second, &left) == 0) return 0;
  return static_cast<unsigned>(left.tv_sec + (left.tv_nsec > 0 ? 1 : 0));
}

int usleep(useconds_t microseconds) {
  constexpr std::int64_t ns_per_us = 1000;
  return card_sleep(std::int64_t{microseconds} * ns_per_us, nullptr);
}

}  // extern "C"
#pragma GCC visibility pop
