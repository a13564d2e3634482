// Runs the helper program under the simulated card and checks what it
// heard, what it played, the pace, and the card's event log.
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <cstdint>
#include <ctime>
#include <map>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "card_record.hpp"
#include "harness.hpp"

namespace voxaria::test {
namespace {

using Clock = std::chrono::steady_clock;
using Event = report::CardEvent;

constexpr int rate = 8000;
constexpr const char* helper = SIMCARD_HELPER;

struct Outcome {
  int status = -1;
  std::vector<std::string> lines;
  std::string errors;
  double seconds = 0;
};

std::vector<std::string> split_lines(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

std::vector<std::int16_t> samples_of(const std::string& bytes) {
  std::vector<std::int16_t> out(bytes.size() / 2);
  for (std::size_t i = 0; i < out.size(); ++i)
    out[i] = static_cast<std::int16_t>(static_cast<unsigned char>(bytes[2 * i]) |
                                       static_cast<unsigned char>(bytes[2 * i + 1]) << 8);
  return out;
}

std::string bytes_of(const std::vector<std::int16_t>& samples) {
  std::string out;
  for (const std::int16_t s : samples) {
    out.push_back(static_cast<char>(s & 0xff));
    out.push_back(static_cast<char>((s >> 8) & 0xff));
  }
  return out;
}

// A signal no position could reproduce by accident.
std::vector<std::int16_t> test_signal(std::size_t n) {
  std::vector<std::int16_t> out(n);
  std::uint32_t x = 12345;
  for (auto& s : out) {
    x = x * 1103515245 + 12345;
    s = static_cast<std::int16_t>((x >> 8) & 0xffff);
    if (s == 0) s = 1;  // zero means silence in the checks
  }
  return out;
}

class Simcard : public ::testing::Test {
 protected:
  ScratchDir dir;

  fs::path file(const std::string& name) const { return dir / name; }
  std::string slurp(const std::string& name) const { return read_text(file(name)); }
  void write(const std::string& name, const std::string& bytes) const {
    write_file(file(name), bytes);
  }

  // Runs `argv` to its end with the card preloaded and the given settings.
  Outcome run(const std::vector<std::string>& argv,
              const std::map<std::string, std::string>& settings = {}) {
    std::vector<std::string> env = {std::string("LD_PRELOAD=") + VOXARIA_SIMCARD,
                                    "ASAN_OPTIONS=verify_asan_link_order=0",
                                    "SIMCARD_LOG=" + file("log").string()};
    for (const auto& [key, value] : settings) env.push_back(key + "=" + value);
    const auto start = Clock::now();
    auto program = spawn({.argv = argv, .env = env, .output_prefix = file("program")});
    Outcome result;
    result.status = program->wait_exit(60s).value_or(-1);
    result.seconds = std::chrono::duration<double>(Clock::now() - start).count();
    result.lines = split_lines(program->out());
    result.errors = program->err();
    return result;
  }

  Outcome helper_run(std::vector<std::string> args,
                     const std::map<std::string, std::string>& settings = {}) {
    args.insert(args.begin(), helper);
    return run(args, settings);
  }

  std::vector<Event> events(const std::string& kind = "") const {
    const auto all = report::read_card_log(file("log"));
    return kind.empty() ? all : report::events_of_kind(all, kind);
  }

  // Waits (a bounded while) for an event a detached process writes.
  bool await_event(const std::string& kind) const {
    const auto deadline = Clock::now() + 10s;
    while (events(kind).empty() && Clock::now() < deadline) std::this_thread::sleep_for(10ms);
    return !events(kind).empty();
  }
};

std::vector<std::string> repeat(const std::string& line, int n) {
  return std::vector<std::string>(n, line);
}

// Every read block must be the input at the logged position, silence
// outside it. Returns how many input samples and silent samples it saw.
std::pair<int, int> check_recording(const std::vector<Event>& reads,
                                    const std::vector<std::int16_t>& got,
                                    const std::vector<std::int16_t>& input) {
  std::pair<int, int> seen{0, 0};
  std::size_t at = 0;
  for (const Event& read : reads) {
    const long long in = read.number("in").value();
    const long long n = read.number("bytes").value() / 2;
    for (long long j = 0; j < n; ++j, ++at) {
      const long long index = in + j;
      const bool inside = index >= 0 && index < static_cast<long long>(input.size());
      EXPECT_EQ(got.at(at), inside ? input[static_cast<std::size_t>(index)] : 0)
          << "input index " << index;
      ++(inside ? seen.first : seen.second);
    }
  }
  EXPECT_EQ(at, got.size());
  return seen;
}

// --- Recording -------------------------------------------------------------

TEST_F(Simcard, RecordsWavAndRawInputAtTheLoggedOffsets) {
  const auto input = test_signal(1200);
  report::write_wav(file("in.wav"), input);
  write("in.raw", bytes_of(input));
  for (const char* name : {"in.wav", "in.raw"}) {
    SCOPED_TRACE(name);
    fs::remove(file("log"));
    const Outcome r = helper_run({"record", file("got").string(), "90", "256", "16"},
                                 {{"SIMCARD_INPUT", file(name).string()},
                                  {"SIMCARD_INPUT_AT", "1.0"},
                                  {"SIMCARD_SPEED", "20"}});
    ASSERT_EQ(r.status, 0) << r.errors;
    EXPECT_EQ(r.errors, "");
    const auto reads = events("read");
    ASSERT_EQ(reads.size(), 90u);
    EXPECT_EQ(reads[0].number("pos").value() - reads[0].number("in").value(), 8000)
        << "input placed at 1 s";
    const auto [inside, silent] = check_recording(reads, samples_of(slurp("got")), input);
    if (events("overrun").empty()) {  // a loaded machine may lose some
      EXPECT_EQ(inside, 1200) << "the whole input was heard";
    }
    EXPECT_GT(silent, 0);
  }
}

TEST_F(Simcard, RejectsWavFilesOfAnotherFormatAsNoInput) {
  report::write_wav(file("stereo.wav"), test_signal(800));
  auto stereo = slurp("stereo.wav");
  stereo[22] = 2;  // the channel count of the format chunk
  write("stereo.wav", stereo);
  const Outcome r =
      helper_run({"record", file("got").string(), "10", "256"},
                 {{"SIMCARD_INPUT", file("stereo.wav").string()}, {"SIMCARD_SPEED", "20"}});
  ASSERT_EQ(r.status, 0);
  EXPECT_NE(r.errors.find("simcard: "), std::string::npos);
  for (const std::int16_t s : samples_of(slurp("got"))) ASSERT_EQ(s, 0);
}

std::map<long long, std::int16_t> by_position(const std::vector<Event>& reads,
                                              const std::vector<std::int16_t>& got) {
  std::map<long long, std::int16_t> out;
  std::size_t at = 0;
  for (const Event& read : reads)
    for (long long j = 0; j < read.number("bytes").value() / 2; ++j)
      out[read.number("pos").value() + j] = got.at(at++);
  return out;
}

TEST_F(Simcard, NoiseHasTheRequestedLevelAndDependsOnlyOnPositionAndSeed) {
  const auto record = [&](const std::string& seed, const std::string& block) {
    fs::remove(file("log"));
    const Outcome r =
        helper_run({"record", file("got").string(), "100", block},
                   {{"SIMCARD_NOISE", "1000"}, {"SIMCARD_SEED", seed}, {"SIMCARD_SPEED", "50"}});
    EXPECT_EQ(r.status, 0);
    return by_position(events("read"), samples_of(slurp("got")));
  };
  const auto first = record("7", "256");
  double sum = 0;
  double squares = 0;
  for (const auto& [pos, s] : first) {
    sum += s;
    squares += static_cast<double>(s) * s;
  }
  const double n = static_cast<double>(first.size());
  EXPECT_NEAR(std::sqrt(squares / n), 1000.0, 30.0);
  EXPECT_NEAR(sum / n, 0.0, 30.0);

  const auto compare = [&](const std::map<long long, std::int16_t>& other) {
    int common = 0;
    int equal = 0;
    for (const auto& [pos, s] : other)
      if (const auto it = first.find(pos); it != first.end()) {
        ++common;
        equal += it->second == s;
      }
    return std::pair{common, equal};
  };
  const auto [common, equal] = compare(record("7", "200"));
  EXPECT_GT(common, 5000);
  EXPECT_EQ(equal, common) << "same seed, other read pattern";
  const auto [common2, equal2] = compare(record("8", "256"));
  EXPECT_GT(common2, 5000);
  EXPECT_LT(equal2, common2 / 10) << "another seed";
}

TEST_F(Simcard, ReadsArePacedByTheCardClock) {
  const Outcome r =
      helper_run({"record", file("got").string(), "50", "256"}, {{"SIMCARD_SPEED", "10"}});
  ASSERT_EQ(r.status, 0);
  EXPECT_GE(r.seconds, 50 * 0.016 / 10 * 0.95);
  const auto reads = events("read");
  const auto opens = events("open");
  ASSERT_EQ(reads.size(), 50u);
  ASSERT_EQ(opens.size(), 1u);
  for (std::size_t i = 0; i < reads.size(); ++i) {
    const long long pos = reads[i].number("pos").value();
    EXPECT_GE(reads[i].time, (pos + 128) / double{rate} - 1e-6)
        << "delivered before it was recorded";
    if (i > 0) {
      EXPECT_EQ(pos, reads[i - 1].number("pos").value() + 128);
    }
  }
  // Capture starts at the open: 50 blocks cannot be done before 0.8 s
  // later (give or take the moment between the open and its log line).
  EXPECT_GE(reads.back().time - opens[0].time, 50 * 0.016 - 0.005);
}

TEST_F(Simcard, ReadChunkLimitsEachRead) {
  const Outcome r = helper_run({"record", file("got").string(), "4", "256"},
                               {{"SIMCARD_READ_CHUNK", "128"}, {"SIMCARD_SPEED", "20"}});
  ASSERT_EQ(r.status, 0);
  EXPECT_EQ(r.lines, repeat("read 128", 4));
  for (const Event& e : events("read")) EXPECT_EQ(e.number("bytes").value(), 128);
}

// The device is a byte stream: reads and writes of any size, even one byte
// or an odd count that splits a sample, carry exactly the 16-bit stream.
TEST_F(Simcard, TransfersThatSplitASampleLoseNothing) {
  const auto input = test_signal(24000);  // long enough for a slow start
  write("in.raw", bytes_of(input));
  for (const char* size : {"1", "3"}) {
    SCOPED_TRACE(size);
    fs::remove(file("log"));
    const Outcome r = helper_run({"record", file("got").string(), "101", size},
                                 {{"SIMCARD_INPUT", file("in.raw").string()},
                                  {"SIMCARD_SPEED", "20"}});
    ASSERT_EQ(r.status, 0) << r.errors;
    EXPECT_EQ(r.lines, repeat(std::string("read ") + size, 101)) << "a short read is no end of file";
    // The input (silence around it) from the first sample read on.
    const auto first = events("read").at(0).number("in").value();
    const std::string got = slurp("got");
    std::vector<std::int16_t> heard((got.size() + 1) / 2);
    for (std::size_t j = 0; j < heard.size(); ++j) {
      const long long index = first + static_cast<long long>(j);
      if (index >= 0 && index < static_cast<long long>(input.size()))
        heard[j] = input[static_cast<std::size_t>(index)];
    }
    EXPECT_EQ(got, bytes_of(heard).substr(0, got.size()));
  }
  // Writes of 255 bytes: each completes the sample the one before began.
  const auto played = test_signal(1280);
  write("play.raw", bytes_of(played));
  const Outcome r = helper_run({"play", file("play.raw").string(), "255"},
                               {{"SIMCARD_OUTPUT", file("out.wav").string()}, {"SIMCARD_SPEED", "20"}});
  ASSERT_EQ(r.status, 0) << r.errors;
  const auto timeline = samples_of(slurp("out.wav").substr(44));
  std::size_t done = 0;  // samples made whole by the writes so far
  std::size_t bytes = 0;
  for (const Event& w : events("write")) {
    bytes += static_cast<std::size_t>(w.number("bytes").value());
    const auto pos = static_cast<std::size_t>(w.number("pos").value());
    for (std::size_t k = done; k < bytes / 2; ++k)
      ASSERT_EQ(timeline.at(pos + k - done), played.at(k)) << "sample " << k;
    done = bytes / 2;
  }
  EXPECT_EQ(done, played.size());
}

TEST_F(Simcard, OverrunDropsTheOldestSamples) {
  // 2 fragments of 512 bytes hold 512 samples; a 0.2 s pause after the
  // second read loses at least 1600 - 512 of them.
  const Outcome r =
      helper_run({"record", file("got").string(), "4", "256", "16", "0x00020009", "1", "200000"},
                 {{"SIMCARD_SPEED", "2"}});
  ASSERT_EQ(r.status, 0);
  const auto log = events();
  std::vector<long long> positions;
  long long lost = -1;
  for (const Event& e : log) {
    if (e.kind == "read") positions.push_back(e.number("pos").value());
    if (e.kind == "overrun" && positions.size() == 2) lost = e.number("lost").value();
  }
  ASSERT_EQ(positions.size(), 4u);
  ASSERT_GE(lost, 1600 - 512) << "no overrun logged after the pause";
  EXPECT_EQ(positions[2], positions[1] + 128 + lost);
}

TEST_F(Simcard, EpochIsSharedThroughTheEnvironment) {
  timespec now{};
  clock_gettime(CLOCK_REALTIME, &now);
  char epoch[48];
  std::snprintf(epoch, sizeof epoch, "%lld.%09ld", static_cast<long long>(now.tv_sec) - 100,
                now.tv_nsec);
  const Outcome r =
      helper_run({"record", file("got").string(), "1", "256"}, {{"SIMCARD_EPOCH", epoch}});
  ASSERT_EQ(r.status, 0);
  const auto reads = events("read");
  ASSERT_EQ(reads.size(), 1u);
  EXPECT_GE(reads[0].number("pos").value(), 100LL * rate);
  EXPECT_GE(reads[0].time, 100.0);
}

// --- Device rules and requests -----------------------------------------------

TEST_F(Simcard, IsHalfDuplexWithOneDevicePerProcess) {
  EXPECT_EQ(helper_run({"opens", "r", "w", "r", "close", "w"}).lines,
            (std::vector<std::string>{"open r ok", "open w error EBUSY", "open r error EBUSY",
                                      "close", "open w ok"}));
  EXPECT_EQ(helper_run({"opens", "rw", "audio-r"}).lines,
            (std::vector<std::string>{"open rw error EINVAL", "open audio-r error EINVAL"}));
  EXPECT_EQ(helper_run({"opens", "r", "w"}, {{"SIMCARD_FAULTS", "nocard"}}).lines,
            (std::vector<std::string>{"open r error ENOENT", "open w error ENOENT"}));
  const auto opens = events("open");
  ASSERT_GE(opens.size(), 2u);
  EXPECT_EQ(opens[1].fields.at("error"), "EBUSY");
  EXPECT_EQ(opens[1].fields.at("mode"), "w");
  EXPECT_EQ(opens[0].fields.at("path"), "/dev/dsp");
}

TEST_F(Simcard, AnswersFormatAndFragmentRequests) {
  const Outcome r = helper_run(
      {"ioctl",      "SETFMT",      "8",          "SETFMT",      "0",          "SETFMT",
       "32",         "SETFRAGMENT", "0x00020007", "GETBLKSIZE",  "0",          "SETFRAGMENT",
       "0x7fff0003", "SETFRAGMENT", "0",          "SETFRAGMENT", "0x00030014", "SPEED",
       "44100",      "CHANNELS",    "2",          "STEREO",      "1",          "GETOSPACE",
       "0",          "GETODELAY",   "0",          "GETFMTS",     "0",          "GETCAPS",
       "0"});
  EXPECT_EQ(r.lines,
            (std::vector<std::string>{
                "SETFMT 8", "SETFMT 8", "SETFMT 16", "SETFRAGMENT 0x00020007", "GETBLKSIZE 128",
                "SETFRAGMENT 0x10000004", "SETFRAGMENT 0x10000004", "SETFRAGMENT 0x00020010",
                "SPEED 8000", "CHANNELS 1", "STEREO 0", "GETOSPACE error EINVAL",
                "GETODELAY error EINVAL", "GETFMTS 24", "GETCAPS 1"}));
  const auto ioctls = events("ioctl");
  ASSERT_EQ(ioctls.size(), 15u);
  EXPECT_EQ(ioctls[3].fields.at("request"), "SETFRAGMENT");
  EXPECT_EQ(ioctls[3].fields.at("value"), "0x00020007");
  EXPECT_EQ(ioctls[3].fields.at("answer"), "0x00020007");
  EXPECT_EQ(ioctls[0].fields.at("answer"), "8");
  EXPECT_EQ(ioctls[11].fields.at("error"), "EINVAL");
}

TEST_F(Simcard, InjectsRequestFaultsAndForcedFormats) {
  EXPECT_EQ(
      helper_run({"ioctl", "SETFMT", "16", "SETFRAGMENT", "0x00020007", "SPEED", "8000"},
                 {{"SIMCARD_FAULTS", "setfmt,setfragment"}})
          .lines,
      (std::vector<std::string>{"SETFMT error EINVAL", "SETFRAGMENT error EINVAL", "SPEED 8000"}));
  EXPECT_EQ(helper_run({"ioctl", "SETFMT", "16", "SETFMT", "0", "GETFMTS", "0"},
                       {{"SIMCARD_FORMAT", "32"}})
                .lines,
            (std::vector<std::string>{"SETFMT 32", "SETFMT 32", "GETFMTS 32"}));
}

TEST_F(Simcard, RecordsUnsignedEightBitWhenThatIsTheFormat) {
  const auto input = test_signal(4000);
  write("in.raw", bytes_of(input));
  for (const auto& [asked, forced] : {std::pair{"16", "8"}, std::pair{"8", ""}}) {
    fs::remove(file("log"));
    std::map<std::string, std::string> settings{{"SIMCARD_INPUT", file("in.raw").string()},
                                                {"SIMCARD_SPEED", "20"}};
    if (*forced != '\0') settings["SIMCARD_FORMAT"] = forced;
    const Outcome r = helper_run({"record", file("got").string(), "4", "256", asked}, settings);
    ASSERT_EQ(r.status, 0);
    ASSERT_FALSE(r.lines.empty());
    EXPECT_EQ(r.lines.front(), "SETFMT 8");
    const std::string got = slurp("got");
    const auto reads = events("read");
    ASSERT_EQ(reads.size(), 4u);
    ASSERT_EQ(got.size(), 1024u);
    for (std::size_t b = 0; b < reads.size(); ++b)
      for (std::size_t j = 0; j < 256; ++j) {
        const long long index = reads[b].number("in").value() + static_cast<long long>(j);
        const int s = index < 4000 ? input.at(static_cast<std::size_t>(index)) : 0;
        ASSERT_EQ(static_cast<unsigned char>(got[256 * b + j]), (s >> 8) + 128);
      }
  }
}

TEST_F(Simcard, TransferFaultsStrikeAfterTheGivenByteCounts) {
  const std::map<std::string, std::string> fast{{"SIMCARD_SPEED", "20"}};
  auto settings = fast;
  settings["SIMCARD_FAULTS"] = "readfail=1000";
  EXPECT_EQ(
      helper_run({"record", file("got").string(), "5", "256"}, settings).lines,
      (std::vector<std::string>{"read 256", "read 256", "read 256", "read 232", "read error EIO"}));
  ASSERT_FALSE(events("read").empty());
  EXPECT_EQ(events("read").back().fields.at("error"), "EIO");
  settings["SIMCARD_FAULTS"] = "readeof=512";
  EXPECT_EQ(helper_run({"record", file("got").string(), "4", "256"}, settings).lines,
            (std::vector<std::string>{"read 256", "read 256", "read 0", "read 0"}));
  write("out.raw", bytes_of(test_signal(512)));
  settings["SIMCARD_FAULTS"] = "writefail=512";
  EXPECT_EQ(
      helper_run({"play", file("out.raw").string(), "256"}, settings).lines,
      (std::vector<std::string>{"write 256", "write 256", "write error EIO", "write error EIO"}));
}

// --- Playback ------------------------------------------------------------------

TEST_F(Simcard, PlaybackLandsOnTheTimelineAndBlocksLikeASmallBuffer) {
  const auto played = test_signal(1280);
  write("play.raw", bytes_of(played));
  // A 50 ms pause after the fifth block leaves a gap of silence.
  const Outcome r =
      helper_run({"play", file("play.raw").string(), "256", "16", "0x00020007", "4", "50000"},
                 {{"SIMCARD_OUTPUT", file("out.wav").string()}, {"SIMCARD_SPEED", "10"}});
  ASSERT_EQ(r.status, 0) << r.errors;
  const auto writes = events("write");
  ASSERT_EQ(writes.size(), 10u);
  const std::string out = slurp("out.wav");
  ASSERT_GE(out.size(), 44u);
  EXPECT_EQ(out.substr(0, 4), "RIFF");
  EXPECT_EQ(out.substr(36, 4), "data");
  EXPECT_EQ(samples_of(out.substr(40, 4))[0] | samples_of(out.substr(42, 2))[0] << 16,
            static_cast<int>(out.size() - 44));
  const auto timeline = samples_of(out.substr(44));
  for (std::size_t i = 0; i < writes.size(); ++i) {
    const long long pos = writes[i].number("pos").value();
    for (int j = 0; j < 128; ++j)
      ASSERT_EQ(timeline.at(static_cast<std::size_t>(pos + j)),
                played[128 * i + static_cast<std::size_t>(j)]);
    if (i == 5) {
      // The fifth write returned as its block began to play, then
      // 400 samples of pause: the card ran dry and restarts at the clock.
      EXPECT_GE(pos, writes[4].number("pos").value() + 400 - 1) << "underrun";
      for (long long p = writes[4].number("pos").value() + 128; p < pos; ++p)
        ASSERT_EQ(timeline.at(static_cast<std::size_t>(p)), 0);
    } else if (i > 0) {
      const long long previous_end = writes[i - 1].number("pos").value() + 128;
      EXPECT_GE(pos, previous_end);
      for (long long p = previous_end; p < pos; ++p)  // late writer: silence
        ASSERT_EQ(timeline.at(static_cast<std::size_t>(p)), 0);
    }
    // A buffer of one block: a write returns once the previous one played.
    EXPECT_GE(writes[i].time, pos / double{rate} - 1e-6);
  }
  const auto closes = events("close");
  ASSERT_EQ(closes.size(), 1u);
  EXPECT_GE(closes[0].time, (writes.back().number("pos").value() + 128) / double{rate} - 1e-6)
      << "close drains";
}

// --- The ring ------------------------------------------------------------------

class Ring : public Simcard {
 protected:
  void check_ring(const std::string& sound) {
    ASSERT_TRUE(await_event("audio-close"));
    EXPECT_EQ(slurp("ring"), sound);
    const auto opened = events("audio-open");
    const auto closed = events("audio-close");
    ASSERT_EQ(opened.size(), 1u);
    ASSERT_EQ(closed.size(), 1u);
    EXPECT_EQ(closed[0].number("bytes").value(), static_cast<long long>(sound.size()));
    EXPECT_GE(closed[0].time - opened[0].time, static_cast<double>(sound.size()) / rate - 0.02);
  }
};

TEST_F(Ring, ShellCatIntoDevAudioIsPlayedAtTheCardPace) {
  const std::string sound = bytes_of(test_signal(3000));
  write("ring.au", sound);
  const Outcome r = run({"/bin/sh", "-c", "cat \"$0\" > /dev/audio", file("ring.au").string()},
                        {{"SIMCARD_RING", file("ring").string()}, {"SIMCARD_SPEED", "10"}});
  ASSERT_EQ(r.status, 0) << r.errors;
  // The writer finishes once all but the pipe's page is queued.
  EXPECT_GE(r.seconds, (6000.0 - 4096 - 128) / rate / 10 * 0.9);
  check_ring(sound);
}

TEST_F(Ring, PlayerStartedFromAForkedShellKeepsNoneOfItsDescriptors) {
  const std::string sound = bytes_of(test_signal(8000));
  write("ring.au", sound);
  write("marker", "x");
  const Outcome r = helper_run({"ring", file("ring.au").string(), file("marker").string()},
                               {{"SIMCARD_RING", file("ring").string()}, {"SIMCARD_SPEED", "5"}});
  ASSERT_EQ(r.status, 0) << r.errors;
  EXPECT_EQ(r.lines, std::vector<std::string>{"status 0"});
  // 16000 bytes at 5 times 8000 a second: the player is still busy now.
  ASSERT_TRUE(await_event("audio-open"));
  const fs::path fds = fs::path("/proc") / std::to_string(events("audio-open")[0].pid) / "fd";
  std::error_code ignored;
  for (const auto& entry : fs::directory_iterator(fds, ignored))
    EXPECT_NE(fs::read_symlink(entry.path(), ignored), file("marker"));
  check_ring(sound);
}

// --- Everything else passes through -------------------------------------------

TEST_F(Simcard, OtherFilesAndSleepsBehaveAsUsual) {
  const Outcome files = helper_run({"files", dir.path.string()});
  EXPECT_EQ(files.lines,
            (std::vector<std::string>{"open-write ok", "openat-read ok", "/dev/dsp1 ENOENT",
                                      "/dev/audio2 ENOENT", "dev/dsp ENOENT"}));
  EXPECT_TRUE(events().empty()) << "no device was touched";

  const Outcome slept = helper_run({"sleeps"}, {{"SIMCARD_SPEED", "20"}});
  EXPECT_EQ(slept.lines, std::vector<std::string>{"slept"});
  EXPECT_GE(slept.seconds, 1.75 / 20 * 0.95);
  std::vector<std::string> seconds;
  for (const Event& e : events("sleep")) seconds.push_back(e.fields.at("seconds"));
  EXPECT_EQ(seconds, (std::vector<std::string>{"1.000000", "0.500000", "0.250000"}));
}

TEST_F(Simcard, WorksForAnOrdinaryUser) {
  if (geteuid() != 0 || access("/usr/bin/setpriv", X_OK) != 0)
    GTEST_SKIP() << "needs root and setpriv to become nobody";
  fs::permissions(dir.path, fs::perms::all);
  const auto input = test_signal(800);
  write("in.raw", bytes_of(input));
  fs::permissions(file("in.raw"), fs::perms::all);
  const Outcome r = run({"/usr/bin/setpriv", "--reuid=65534", "--regid=65534", "--clear-groups",
                         helper, "record", file("got").string(), "20", "256"},
                        {{"SIMCARD_INPUT", file("in.raw").string()}, {"SIMCARD_SPEED", "20"}});
  ASSERT_EQ(r.status, 0) << r.errors;
  const auto [inside, silent] = check_recording(events("read"), samples_of(slurp("got")), input);
  EXPECT_GT(inside + silent, 0);
  const auto opens = events("open");
  ASSERT_FALSE(opens.empty());
}

// Card time held still for seconds: its clock runs 50000 times slower than
// real time and sits in the middle of a sample, so nothing plays or is
// recorded while the helper runs.
std::map<std::string, std::string> frozen_clock() {
  timespec now{};
  clock_gettime(CLOCK_REALTIME, &now);
  char epoch[48];
  std::snprintf(epoch, sizeof epoch, "%lld.%09ld", static_cast<long long>(now.tv_sec) - 3,
                now.tv_nsec);
  return {{"SIMCARD_SPEED", "0.00002"}, {"SIMCARD_EPOCH", epoch}};
}

TEST_F(Simcard, NonBlockingTransfersStopWhereTheBufferDoes) {
  // Playback: the first write fills the 256-byte buffer, the second would block.
  EXPECT_EQ(helper_run({"nonblock", "w"}, frozen_clock()).lines,
            (std::vector<std::string>{"SETFRAGMENT 0x00020007", "write 256", "write error EAGAIN",
                                      "GETOSPACE 0 2 128 0", "GETODELAY 256"}));
  EXPECT_EQ(events("write").back().fields.at("error"), "EAGAIN");
  EXPECT_EQ(events("ioctl")[1].fields.at("bytes"), "0");
  // Recording: nothing recorded yet.
  EXPECT_EQ(helper_run({"nonblock", "r", file("none").string(), "0"}, frozen_clock()).lines,
            (std::vector<std::string>{"read error EAGAIN", "GETISPACE 0 16 4096 0",
                                      "read error EAGAIN"}));

  // Real time: after 20 ms a read takes what was recorded, at least what
  // GETISPACE counted, and no more than a little since.
  const auto input = test_signal(8000);
  write("in.raw", bytes_of(input));
  fs::remove(file("log"));
  const Outcome r = helper_run({"nonblock", "r", file("got").string(), "20000"},
                               {{"SIMCARD_INPUT", file("in.raw").string()}});
  ASSERT_EQ(r.status, 0) << r.errors;
  ASSERT_EQ(r.lines.size(), 3u);
  int fragments = 0, total = 0, size = 0, ready = 0;
  ASSERT_EQ(
      std::sscanf(r.lines[1].c_str(), "GETISPACE %d %d %d %d", &fragments, &total, &size, &ready),
      4);
  EXPECT_GE(ready, 320);
  EXPECT_EQ(fragments, ready / 4096);
  const std::string got = slurp("got");
  EXPECT_GE(got.size(), static_cast<std::size_t>(ready));
  EXPECT_LT(got.size(), 16000u);
  EXPECT_EQ("read " + std::to_string(got.size()), r.lines[2]);
  const auto reads = events("read");
  ASSERT_FALSE(reads.empty());
  const auto first = static_cast<std::size_t>(reads.back().number("in").value());
  ASSERT_LE(first + got.size() / 2, input.size());
  EXPECT_EQ(samples_of(got),
            std::vector<std::int16_t>(input.begin() + static_cast<long>(first),
                                      input.begin() + static_cast<long>(first + got.size() / 2)));
}

}  // namespace
}  // namespace voxaria::test
