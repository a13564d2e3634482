// The ring on a desktop: the daemon started through voxaria-desktop rings
// through a private PipeWire (ctest runs this under pipewire-session, which
// provides the null sink "spk"), and the sound is recorded at the sink.
#include <gtest/gtest.h>

#include <signal.h>

#include <array>
#include <cstdint>
#include <cstdlib>
#include <thread>

#include "harness.hpp"
#include "protocol.hpp"

namespace voxaria::test {
namespace {

namespace protocol = voxaria::protocol;

constexpr int rate = 8000;
constexpr int loud = 2000;  // a sample of the ring, well above silence
constexpr std::size_t au_header_bytes = 24;

// First and last loud sample of a raw 16-bit recording, in seconds.
std::pair<double, double> loud_span(const std::vector<std::uint8_t>& raw) {
  long first = -1, last = -1;
  for (std::size_t i = 0; i + 1 < raw.size(); i += 2) {
    const auto sample = static_cast<std::int16_t>(raw[i] | (raw[i + 1] << 8));
    if (std::abs(sample) < loud) continue;
    if (first < 0) first = static_cast<long>(i / 2);
    last = static_cast<long>(i / 2);
  }
  return {static_cast<double>(first) / rate, static_cast<double>(last) / rate};
}

// Waits until the recording holds at least `bytes` more than `from`: the
// recorder is under way, or has caught what was played until now.
bool recorded_more(const fs::path& recording, std::uintmax_t from, std::uintmax_t bytes) {
  const auto deadline = std::chrono::steady_clock::now() + 10s;
  std::error_code ignored;
  while (fs::file_size(recording, ignored) < from + bytes) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(10ms);
  }
  return true;
}

// Waits until the daemon's ring (a cat of phone.au in dir) runs, or has
// ended, as running says, up to limit; false when it has not by then.
bool until_ring_cat(const fs::path& dir, bool running, Seconds limit) {
  const auto runs = [&] {
    std::error_code error;
    for (const auto& process : fs::directory_iterator("/proc", error)) {
      std::error_code gone;
      if (read_text(process.path() / "cmdline") == std::string("cat\0phone.au\0", 13) &&
          fs::read_symlink(process.path() / "cwd", gone) == dir)
        return true;
    }
    return false;
  };
  const auto deadline = std::chrono::steady_clock::now() + limit;
  while (runs() != running) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(5ms);
  }
  return true;
}

TEST(DesktopRing, TheDaemonsRingIsHeardWholeBeforeItsNo) {
  if (std::getenv("XDG_RUNTIME_DIR") == nullptr || !fs::exists(built("libvoxaria_desktop.so")))
    GTEST_SKIP() << "needs pipewire-session and libvoxaria_desktop.so (package libpulse-dev)";
  ScratchDir home;
  fs::copy_file(built("phone.au"), home / "phone.au");
  fs::copy_file("/bin/sleep", home / "voxaria_server");  // not running: the daemon rings
  const double ring_seconds =
      static_cast<double>(fs::file_size(home / "phone.au") - au_header_bytes) / rate;

  auto recorder = spawn({.argv = {"/usr/bin/parec", "-d", "spk.monitor", "--format=s16le", "--rate=8000",
                                  "--channels=1", "--raw", "--latency-msec=20"},
                         .output_prefix = home / "speaker"});
  auto daemon = spawn({.argv = {built("voxaria-desktop").string(), built("voxariad").string()},
                       // The companion comes before a sanitizer runtime in the list of libraries.
                       .env = {"PULSE_SINK=spk", "ASAN_OPTIONS=verify_asan_link_order=0"},
                       .cwd = home.path,
                       .output_prefix = home / "voxariad"});
  wait_until_bound(protocol::daemon_port);
  ASSERT_TRUE(recorded_more(recorder->out_path, 0, 1)) << "the recorder never started";

  UdpPeer caller;
  caller.send_to(protocol::daemon_port, protocol::knock, sizeof protocol::knock);
  const auto knocked = std::chrono::steady_clock::now();
  ASSERT_TRUE(caller.receive(5s)) << "no greeting";
  const auto no = caller.receive(15s);
  ASSERT_TRUE(no) << "no reply while it rings: " << daemon->out() << daemon->err();
  EXPECT_EQ(no->text(), "no");
  // The shell's cat returns once the sound has played, not once it is
  // queued: the daemon's pause, and so the ring's cadence, follow it.
  ASSERT_TRUE(until_ring_cat(home.path, true, 5s)) << "the ring's cat never ran";
  ASSERT_TRUE(until_ring_cat(home.path, false, 15s)) << "the ring's cat never returned";
  const Seconds waited = std::chrono::steady_clock::now() - knocked;
  EXPECT_GE(waited.count(), ring_seconds - 0.1);
  // Half a second more of recording holds the ring's end, whatever the load.
  ASSERT_TRUE(recorded_more(recorder->out_path, fs::file_size(recorder->out_path), rate));
  kill(recorder->pid, SIGTERM);  // parec writes out what it holds
  recorder->wait_exit(5s);
  daemon->stop();

  EXPECT_NE(daemon->out().find("Please launch your Voxaria application."), std::string::npos);
  EXPECT_EQ(daemon->err().find("voxaria-desktop:"), std::string::npos) << daemon->err();
  const auto [first, last] = loud_span(read_file(recorder->out_path));
  ASSERT_GE(first, 0) << "the speaker stayed silent: " << fs::file_size(recorder->out_path)
                       << " bytes recorded; " << recorder->err() << daemon->err();
  EXPECT_NEAR(last - first, ring_seconds, 0.25) << "not the whole ring was heard";
  EXPECT_FALSE(fs::exists("/dev/audio") && fs::is_regular_file("/dev/audio"))
      << "the ring wrote a file into /dev";
}

}  // namespace
}  // namespace voxaria::test
