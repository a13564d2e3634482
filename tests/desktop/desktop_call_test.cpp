// Whole calls on the sound stacks of a desktop: the daemon (on the simulated
// card, sped up: its ring is not the subject here), the answering program
// started after the ring notice, and the caller dialling localhost, each
// conversation program reaching the sound server through an OSS layer. Both
// programs run under strace, so what each one sent can be decoded here
// independently and found, sample for sample, in what the other's
// loudspeaker played.

#include <gtest/gtest.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <functional>
#include <mutex>
#include <random>
#include <thread>

#include "harness.hpp"
#include "protocol.hpp"

namespace voxaria::test {
namespace {

const fs::path here = fs::path(__FILE__).parent_path();

// The first of these that exists, or empty.
fs::path first_existing(std::initializer_list<const char*> paths) {
  for (const char* p : paths)
    if (fs::exists(p)) return p;
  return {};
}

// Where a program is on PATH (programs are started without a PATH search),
// or empty.
std::string on_path(const std::string& program) {
  const char* path = std::getenv("PATH");
  std::string dirs = path ? path : "/usr/bin:/bin";
  for (std::size_t at = 0; at <= dirs.size();) {
    const auto end = std::min(dirs.find(':', at), dirs.size());
    const auto candidate = fs::path(dirs.substr(at, end - at)) / program;
    if (access(candidate.c_str(), X_OK) == 0) return candidate.string();
    at = end + 1;
  }
  return {};
}

// What of the given programs cannot be found on PATH, or empty.
std::string missing_programs(std::initializer_list<const char*> programs) {
  std::string missing;
  for (const char* program : programs)
    if (on_path(program).empty()) missing += std::string(missing.empty() ? "" : ", ") + program;
  return missing;
}

// Room noise for a microphone, signed 16-bit little-endian: the squelch
// calibrates on it, and a zero-only room would never count as silent.
std::string room_noise(double seconds, unsigned seed) {
  std::mt19937 random(seed);
  std::normal_distribution<double> noise(0, 10);
  std::string bytes;
  for (int i = 0; i < static_cast<int>(seconds * 8000); ++i) {
    const auto s = static_cast<std::int16_t>(std::lround(noise(random)));
    bytes += static_cast<char>(s & 0xff);
    bytes += static_cast<char>((s >> 8) & 0xff);
  }
  return bytes;
}
void write_noise(const fs::path& path, double seconds, unsigned seed) {
  write_file(path, room_noise(seconds, seed));
}

// The samples of a test clip (a canonical 8000 Hz 16-bit mono WAV file).
std::string clip_samples(const char* clip) {
  const auto wav = read_file(test_data(clip));
  const std::string bytes(wav.begin(), wav.end());
  const auto data = bytes.find("data");
  return data == std::string::npos ? std::string() : bytes.substr(data + 8);
}

// How a conversation program is started on a stack: the command put in
// front of it (an LD_PRELOAD of the layer, or a wrapper) and its settings.
struct End {
  std::string name;
  std::vector<std::string> layer;
  std::vector<std::string> env;
};

class DesktopCall : public testing::Test {
 protected:
  ScratchDir dir;
  ScratchDir callee_home;

  void SetUp() override {
    if (const auto missing = missing_programs({"strace", "python3"}); !missing.empty())
      GTEST_SKIP() << "not installed: " << missing;
    fs::copy_file(built("voxaria_server"), callee_home / "voxaria_server");
    fs::copy_file(built("phone.au"), callee_home / "phone.au");
  }

  std::unique_ptr<Process> start_end(const End& end, const fs::path& program,
                                     std::vector<std::string> args, const fs::path& cwd) {
    std::vector<std::string> argv = {on_path("strace"),
                                     "-f",
                                     "-qq",
                                     "-e",
                                     "trace=sendto",
                                     "-xx",
                                     "-s",
                                     "64",
                                     "-o",
                                     (dir / (end.name + ".strace")).string()};
    argv.insert(argv.end(), end.layer.begin(), end.layer.end());
    argv.push_back(program.string());
    argv.insert(argv.end(), args.begin(), args.end());
    auto env = end.env;
    env.push_back("ASAN_OPTIONS=verify_asan_link_order=0");
    return spawn({.argv = argv, .env = env, .cwd = cwd, .output_prefix = dir / end.name});
  }

  // The call, from the knock to the hang-up. speak(end) makes that end's
  // talker say its clip and returns once it has been said.
  void whole_call(const End& caller_end, const End& callee_end,
                  const std::function<void(const End&)>& speak) {
    const auto epoch = Timeline(10).settings();
    std::vector<std::string> ring = {"LD_PRELOAD=" + built("libsimcard.so").string(),
                                     "SIMCARD_RING=" + (dir / "daemon.ring").string(),
                                     "SIMCARD_LOG=" + (dir / "daemon.log").string(),
                                     "ASAN_OPTIONS=verify_asan_link_order=0"};
    ring.insert(ring.end(), epoch.begin(), epoch.end());
    auto daemon = spawn({.argv = {built("voxariad").string()},
                         .env = ring,
                         .cwd = callee_home.path,
                         .output_prefix = dir / "voxariad"});
    wait_until_bound(protocol::daemon_port);
    auto caller = start_end(caller_end, built("voxaria_client"), {"localhost"}, dir.path);
    ASSERT_TRUE(daemon->wait_for_output("Please launch your Voxaria application.\n", 30s))
        << daemon->out() << caller->out() << caller->err();
    auto callee = start_end(callee_end, "./voxaria_server", {}, callee_home.path);
    for (auto* end : {caller.get(), callee.get()})
      ASSERT_TRUE(end->wait_for_output("Please begin the conversation", 30s))
          << end->out() << end->err();

    speak(caller_end);
    std::this_thread::sleep_for(1500ms);
    speak(callee_end);
    std::this_thread::sleep_for(3s);  // the listener plays out its queue

    caller->send_input("\n");
    callee->send_input("\n");
    EXPECT_EQ(caller->wait_exit(), 1) << caller->err();
    EXPECT_EQ(callee->wait_exit(), 1) << callee->err();
    expect_texts(caller->out(), "Please begin the conversation. Click on HANGUP to terminate\n",
                 "Thank you for using Voxaria.\n");
    expect_texts(callee->out(), "Please begin the conversation. Click on HANGUP to terminate.\n",
                 "Thank you for using the Voxaria.\n");
  }

  static void expect_texts(const std::string& out, const std::string& prompt,
                           const std::string& farewell) {
    EXPECT_TRUE(out.starts_with("Detected one half duplex sound card.\n")) << out;
    const auto hold_on = out.find("Hold on..! Dont start talking.\n");
    const auto begin = out.find(prompt);
    EXPECT_NE(hold_on, std::string::npos) << out;
    EXPECT_NE(begin, std::string::npos) << out;
    EXPECT_LT(hold_on, begin) << out;
    EXPECT_TRUE(out.ends_with(farewell)) << out;
  }

  // Every block talker sent is in heard, bit-exact and in order, with only
  // silence between (and, now and then, a stalled server's silence instead).
  void expect_heard(const End& talker, const fs::path& heard) {
    SCOPED_TRACE(talker.name + " to the other end");
    auto check = spawn({.argv = {on_path("python3"), (here / "heard_check.py").string(),
                                 (dir / (talker.name + ".strace")).string(), heard.string()},
                        .output_prefix = dir / (talker.name + "-check")});
    EXPECT_EQ(check->wait_exit(60s), 0) << check->out() << check->err();
    std::cout << talker.name << ": " << check->out();
  }
};

// ---- PipeWire with pipewire-pulse, through a layer given per test --------

// One row per way of reaching pipewire-pulse from a program; a row whose
// prefix is empty (its library or wrapper is missing) is skipped, naming
// the package that provides it.
struct Layer {
  const char* name;
  std::vector<std::string> prefix;  // put before the program
  const char* package;
};

const fs::path pulsedsp = first_existing({"/usr/lib/x86_64-linux-gnu/pulseaudio/libpulsedsp.so",
                                          "/usr/lib/aarch64-linux-gnu/pulseaudio/libpulsedsp.so"});

void PrintTo(const Layer& layer, std::ostream* out) { *out << layer.name; }

class PipeWireCall : public DesktopCall, public testing::WithParamInterface<Layer> {
 protected:
  std::unique_ptr<Process> server;
  fs::path runtime;

  void SetUp() override {
    DesktopCall::SetUp();
    if (IsSkipped()) return;
    if (const auto missing = missing_programs({"pipewire", "wireplumber", "pipewire-pulse",
                                               "dbus-run-session", "pactl", "pacat", "paplay"});
        !missing.empty())
      GTEST_SKIP() << "not installed: " << missing;
    if (GetParam().prefix.empty())
      GTEST_SKIP() << GetParam().name << " is not installed (package " << GetParam().package << ")";
    server = spawn({.argv = {(here / "sound_server.sh").string(), (dir / "pw").string(),
                             "mic_caller", "mic_callee", "spk_caller", "spk_callee"},
                    .output_prefix = dir / "sound-server"});
    runtime = dir / "pw" / "run";
    if (!server->wait_for_output("ready\n", 30s))
      GTEST_SKIP() << "the sound server did not start: " << server->err();
  }
  void TearDown() override {
    if (!server) return;
    server->close_input();
    server->wait_exit(10s);
  }

  std::vector<std::string> pulse_env() const {
    return {"XDG_RUNTIME_DIR=" + runtime.string(), "HOME=" + (dir / "pw").string(),
            "PULSE_SERVER=unix:" + (runtime / "pulse" / "native").string()};
  }
  End end(const std::string& name) const {
    auto env = pulse_env();
    env.push_back("PULSE_SOURCE=mic_" + name + ".monitor");
    env.push_back("PULSE_SINK=spk_" + name);
    return {name, GetParam().prefix, env};
  }
  std::unique_ptr<Process> pacat(const std::string& name, std::vector<std::string> args) {
    std::vector<std::string> argv = {on_path("pacat"), "--raw", "--format=s16le", "--rate=8000",
                                     "--channels=1"};
    argv.insert(argv.end(), args.begin(), args.end());
    return spawn({.argv = argv, .env = pulse_env(), .output_prefix = dir / name});
  }
};

TEST_P(PipeWireCall, CarriesEachSideBitExactAndHangsUp) {
  const End caller = end("caller"), callee = end("callee");
  std::vector<std::unique_ptr<Process>> rooms;
  for (const auto* e : {&caller, &callee}) {
    const auto noise = dir / (e->name + "-room.raw");
    write_noise(noise, 60, e->name == "caller" ? 1 : 2);
    rooms.push_back(pacat(e->name + "-room", {"--playback", "-d", "mic_" + e->name, noise}));
  }
  // pacat writes what it recorded a fragment at a time and drops the last,
  // unfinished one when it is stopped: short fragments, so that only a
  // tenth of a second of the quiet after the call is cut, never its end.
  auto caller_hears =
      pacat("caller-heard", {"--record", "--latency-msec=100", "-d", "spk_caller.monitor"});
  auto callee_hears =
      pacat("callee-heard", {"--record", "--latency-msec=100", "-d", "spk_callee.monitor"});

  whole_call(caller, callee, [&](const End& talker) {
    const char* clip = talker.name == "caller" ? "speech_a.wav" : "speech_b.wav";
    auto say =
        spawn({.argv = {on_path("paplay"), "-d", "mic_" + talker.name, test_data(clip).string()},
               .env = pulse_env(),
               .output_prefix = dir / (talker.name + "-says")});
    EXPECT_EQ(say->wait_exit(20s), 0) << say->err();
  });
  std::this_thread::sleep_for(500ms);
  for (auto* recorder : {caller_hears.get(), callee_hears.get()}) {
    kill(recorder->pid, SIGINT);
    recorder->wait_exit(5s);
  }
  expect_heard(caller, callee_hears->out_path);
  expect_heard(callee, caller_hears->out_path);
}

std::vector<std::string> preload(const fs::path& library) {
  if (library.empty()) return {};
  return {on_path("env"), "LD_PRELOAD=" + library.string()};
}

// ---- alsa-oss on ALSA's file plugin ---------------------------------------

const fs::path aoss = first_existing({"/usr/lib/x86_64-linux-gnu/libaoss.so",
                                      "/usr/lib/aarch64-linux-gnu/libaoss.so"});

// A microphone for the file plugin, whose capture is not paced and which
// reopens its infile at every open: a FIFO that the test feeds at the
// card's pace, 8000 samples a second, with room noise and, when the talker
// speaks, a clip. The feeder holds both ends, so a reopening reader finds
// what is pending and a closed one costs nothing; the pipe is kept small
// so that noise queued while the program plays stays a short delay.
class FifoMic {
 public:
  FifoMic(const fs::path& fifo, unsigned seed) : noise_(room_noise(10, seed)) {
    if (mkfifo(fifo.c_str(), 0600) != 0)
      ADD_FAILURE() << "mkfifo " << fifo << ": " << std::strerror(errno);
    fd_ = open(fifo.c_str(), O_RDWR);
    if (fd_ < 0) ADD_FAILURE() << "open " << fifo << ": " << std::strerror(errno);
    if (fd_ < 0) return;
    if (fcntl(fd_, F_SETPIPE_SZ, 4096) < 0 || fcntl(fd_, F_SETFL, O_NONBLOCK) < 0)
      ADD_FAILURE() << "fcntl " << fifo << ": " << std::strerror(errno);
    feeder_ = std::thread([this] { feed(); });
  }
  ~FifoMic() {
    stop_ = true;
    if (feeder_.joinable()) feeder_.join();
    if (fd_ >= 0) close(fd_);
  }
  // Says the clip and returns once all of it is in the pipe.
  void say(const std::string& samples) {
    {
      std::lock_guard hold(lock_);
      speech_ = samples;
      said_ = 0;
    }
    while (true) {
      std::this_thread::sleep_for(16ms);
      std::lock_guard hold(lock_);
      if (said_ >= speech_.size()) return;
    }
  }

 private:
  static constexpr std::size_t block_bytes = 256;  // 16 ms
  void feed() {
    for (std::size_t at = 0; !stop_; at = (at + block_bytes) % noise_.size()) {
      std::string block = noise_.substr(at, block_bytes);
      {
        std::lock_guard hold(lock_);
        if (said_ < speech_.size()) {
          block = speech_.substr(said_, block_bytes);
          block.resize(block_bytes, '\0');
          said_ += block_bytes;
        }
      }
      // Non-blocking (a block of 256 bytes goes in whole or not at all), so
      // that a pipe no program reads any more cannot hold the feeder.
      while (!stop_ && write(fd_, block.data(), block.size()) < 0) {
        if (errno != EAGAIN) return;
        std::this_thread::sleep_for(16ms);
      }
      std::this_thread::sleep_for(16ms);
    }
  }
  std::string noise_;
  int fd_ = -1;
  std::mutex lock_;
  std::string speech_;
  std::size_t said_ = 0;
  std::atomic<bool> stop_ = false;
  std::thread feeder_;
};

class AossCall : public DesktopCall {
 protected:
  void SetUp() override {
    DesktopCall::SetUp();
    if (IsSkipped()) return;
    if (aoss.empty()) GTEST_SKIP() << "not installed: libaoss.so (alsa-oss)";
  }
  // The end's own HOME holds its ~/.asoundrc: playback appended to a file
  // (the plugin would truncate it at every open), capture from the FIFO.
  End end(const std::string& name) const {
    const auto home = dir / (name + "-home");
    fs::create_directory(home);
    write_file(home / ".asoundrc",
               "pcm.!default {\n  type asym\n"
               "  playback.pcm { type file slave.pcm null format raw file \"|cat >>" +
                   heard(name).string() +
                   "\" }\n"
                   "  capture.pcm { type file slave.pcm null format raw file \"/dev/null\" "
                   "infile \"" +
                   (dir / (name + "-mic")).string() + "\" }\n}\n");
    return {name, {on_path("env"), "LD_PRELOAD=" + aoss.string()}, {"HOME=" + home.string()}};
  }
  fs::path heard(const std::string& name) const { return dir / (name + "-heard.raw"); }
};

TEST_F(AossCall, CarriesEachSideBitExactAndHangsUp) {
  const End caller = end("caller"), callee = end("callee");
  FifoMic caller_mic(dir / "caller-mic", 1), callee_mic(dir / "callee-mic", 2);
  whole_call(caller, callee, [&](const End& talker) {
    if (talker.name == "caller")
      caller_mic.say(clip_samples("speech_a.wav"));
    else
      callee_mic.say(clip_samples("speech_b.wav"));
  });
  expect_heard(caller, heard("callee"));
  expect_heard(callee, heard("caller"));
}

// Our own layer, through its wrapper, where libpulse-dev let it be built.
std::vector<std::string> companion() {
  if (!fs::exists(built("libvoxaria_desktop.so"))) return {};
  return {built("voxaria-desktop").string()};
}

INSTANTIATE_TEST_SUITE_P(Layers, PipeWireCall,
                         testing::Values(Layer{"libpulsedsp", preload(pulsedsp), "pulseaudio-utils"},
                                         Layer{"companion", companion(), "libpulse-dev"}),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace voxaria::test
