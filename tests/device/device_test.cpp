// Opening, configuring and reading the sound device, and calibrating the
// squelch, on the simulated card with the faults a real card can have.

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <fstream>

#include "card_record.hpp"
#include "harness.hpp"

namespace voxaria::test {
namespace {

struct Outcome {
  int status;
  std::string out;
  std::string log;
};

class Device : public testing::Test {
 protected:
  ScratchDir dir;

  Outcome exercise(std::vector<std::string> args, std::vector<std::string> settings = {}) {
    if (std::ranges::none_of(settings,
                             [](const std::string& s) { return s.starts_with("SIMCARD_SPEED="); }))
      settings.push_back("SIMCARD_SPEED=50");  // calibration takes 3.2 card seconds: 64 ms
    const Card card{dir.path, "card", settings};
    args.insert(args.begin(), DEVICE_EXERCISE);
    auto program = spawn({.argv = args, .env = card.env(), .output_prefix = dir / "exercise"});
    const auto status = program->wait_exit(60s);
    EXPECT_TRUE(status) << "still running";
    const auto log = read_file(card.log());
    return {status.value_or(-1), program->out(), std::string(log.begin(), log.end())};
  }
};

TEST_F(Device, FindsTheCardAndLeavesItClosed) {
  const Outcome run = exercise({"check"});
  EXPECT_EQ(run.out,
            "Detected one half duplex sound card.\n"
            "check=0 audio_rd=0 audio_wr=-1 bits=16 fragments=0x00020007\n");
  EXPECT_NE(run.log.find("open path=/dev/dsp mode=r"), std::string::npos);
  EXPECT_NE(run.log.find("close"), std::string::npos);
}

TEST_F(Device, ReportsAMissingCardInEveryDirection) {
  const std::string nocard = "SIMCARD_FAULTS=nocard";
  EXPECT_EQ(exercise({"check"}, {nocard}).out,
            "Error: Program failed to detect a sound card.\n"
            "check=-1 audio_rd=-1 audio_wr=-1 bits=16 fragments=0x00020007\n");
  EXPECT_EQ(exercise({"record"}, {nocard}).out,
            "Cannot open /dev/dsp for recording\n"
            "record=-1 audio_rd=-1 audio_wr=-1 bits=16 fragments=0x00020007\n");
  EXPECT_EQ(exercise({"playback"}, {nocard}).out,
            "Error: Cannot open /dev/dsp for playback\n"
            "playback=-1 audio_rd=0 audio_wr=-1 bits=16 fragments=0x00020007\n");
}

TEST_F(Device, PrintsTheRequestsFailureThenTheOpeningsOwn) {
  const std::string setfmt = "SIMCARD_FAULTS=setfmt", setfragment = "SIMCARD_FAULTS=setfragment";
  EXPECT_TRUE(
      exercise({"record"}, {setfmt})
          .out.starts_with("Error: cannot set the half duplex card to record at 16bits/sample\n"
                           "Error setting the sampling parameters.\n"
                           "record=-1"));
  EXPECT_TRUE(
      exercise({"record"}, {setfragment})
          .out.starts_with("Error: cannot set the DMA buffer to record 16msec worth of audio.\n"
                           "Error setting the sampling parameters.\n"
                           "record=-1"));
  EXPECT_TRUE(
      exercise({"playback"}, {setfmt})
          .out.starts_with("Error: cannot set the half duplex card to play at 16bits/sample.\n"
                           "Error setting the sampling parameter for playback.\n"
                           "playback=-1"));
  EXPECT_TRUE(
      exercise({"playback"}, {setfragment})
          .out.starts_with("Error: cannot set the DMA buffer to play 16msec worth of audio.\n"
                           "Error setting the sampling parameter for playback.\n"
                           "playback=-1"));
}

TEST_F(Device, AsksForSixteenBitSamplesAndOneBlockOfBuffer) {
  const Outcome run = exercise({"record"});
  EXPECT_EQ(run.out, "record=0 audio_rd=3 audio_wr=-1 bits=16 fragments=0x00020007\n");
  EXPECT_NE(run.log.find("request=SETFMT value=16"), std::string::npos);
  EXPECT_NE(run.log.find("request=SETFRAGMENT value=0x00020007"), std::string::npos);
}

TEST_F(Device, TakesAnotherFormatTheCardAnswersAsSuccess) {
  const Outcome run = exercise({"record"}, {"SIMCARD_FORMAT=8"});
  EXPECT_EQ(run.out, "record=0 audio_rd=3 audio_wr=-1 bits=8 fragments=0x00020007\n");
}

TEST_F(Device, GivesUpTheOtherDirectionWhenTheCardIsBusy) {
  EXPECT_EQ(exercise({"record-while-playing"}).out,
            "playback=0 audio_rd=-1 audio_wr=3 bits=16 fragments=0x00020007\n"
            "record=0 audio_rd=3 audio_wr=-1 bits=16 fragments=0x00020007\n");
  const Outcome run = exercise({"play-while-recording"});
  EXPECT_EQ(run.out,
            "record=0 audio_rd=3 audio_wr=-1 bits=16 fragments=0x00020007\n"
            "playback=0 audio_rd=0 audio_wr=3 bits=16 fragments=0x00020007\n");
  EXPECT_NE(run.log.find("error=EBUSY"), std::string::npos) << "the retry followed a refusal";
}

TEST_F(Device, SendsNoRequestWithoutADirection) {
  const Outcome run = exercise({"no-direction"});
  EXPECT_EQ(run.out, "record=0 audio_rd=3 audio_wr=-1 bits=16 fragments=0x00020007\n");
  EXPECT_EQ(run.log.find("ioctl"), std::string::npos);
}

TEST_F(Device, ConfiguresPlaybackWhenBothDirectionsAreSet) {
  const Outcome run = exercise({"both-directions"});
  EXPECT_EQ(run.out.substr(run.out.find("config=")),
            "config=0 audio_rd=-1 audio_wr=3 bits=16 fragments=0x00020007\n");
  // open, two requests for the opening, two more for the explicit call.
  EXPECT_EQ(occurrences(run.log, "ioctl fd=3 request=SETFMT"), 2u);
}

std::vector<std::int16_t> samples_of(const fs::path& path) {
  const auto bytes = read_file(path);
  std::vector<std::int16_t> samples(bytes.size() / 2);
  std::memcpy(samples.data(), bytes.data(), samples.size() * 2);
  return samples;
}

// Some OSS layers hand a block out in pieces; the block must still be whole
// and in order.
TEST_F(Device, CompletesBlocksThatTheCardHandsOutInPieces) {
  // A ramp, wrapping round, long enough for a slow start (under an
  // emulator, say) to find it still going; raw input is little-endian
  // whatever the host's order.
  constexpr long ramp_samples = 30 * 8000;
  const auto ramp = [](long i) { return static_cast<std::int16_t>(-4000 + i); };
  const auto input = dir / "ramp.raw";
  std::string little_endian;
  for (long i = 0; i < ramp_samples; ++i) {
    little_endian += static_cast<char>(ramp(i) & 0xFF);
    little_endian += static_cast<char>((ramp(i) >> 8) & 0xFF);
  }
  write_file(input, little_endian);
  const auto recorded = dir / "recorded.raw";
  const Outcome run = exercise({"record-blocks", recorded.string(), "20"},
                               {"SIMCARD_INPUT=" + input.string(), "SIMCARD_READ_CHUNK=128"});
  ASSERT_NE(run.out.find("blocks=0"), std::string::npos) << run.out;
  const auto got = samples_of(recorded);
  ASSERT_EQ(got.size(), 20u * 128);
  // Every piece the card handed out, in order, and nothing else: the
  // recording is the ramp from where each piece was taken (a loaded machine
  // may make the card overrun between pieces, as a real one would).
  std::vector<std::int16_t> pieces;
  for (const auto& read : report::events_of_kind(report::read_card_log(dir / "card.log"), "read")) {
    ASSERT_EQ(read.number("bytes"), 128);
    for (long i = *read.number("in"); i < *read.number("in") + 64; ++i) {
      ASSERT_LT(i, ramp_samples) << "the card was read after the ramp";
      pieces.push_back(ramp(i));
    }
  }
  EXPECT_EQ(got, pieces);
}

TEST_F(Device, ADeadCardEndsRecordingWithAReport) {
  const Outcome failing =
      exercise({"record-blocks", (dir / "r").string(), "5"}, {"SIMCARD_FAULTS=readfail=512"});
  EXPECT_NE(failing.out.find("Error: read from /dev/dsp failed: Input/output error\nblocks=-1"),
            std::string::npos)
      << failing.out;
  const Outcome dry =
      exercise({"record-blocks", (dir / "r").string(), "5"}, {"SIMCARD_FAULTS=readeof=512"});
  EXPECT_NE(
      dry.out.find("Error: read from /dev/dsp failed: the device delivered no data\nblocks=-1"),
      std::string::npos)
      << dry.out;
}

// The floor after 200 silent blocks, 27.0126705, was worked out apart from
// this code: the recurrence in double, rounded to single precision at each
// step (Python's struct 'f' packing).
TEST_F(Device, CalibratesAbsoluteSilenceToACutOffOf100) {
  const Outcome run = exercise({"threshold"});
  EXPECT_EQ(run.out,
            "Hold on..! Dont start talking.\n"
            "Calculating the threshold value for the default audio buffer...\n"
            "cut-off amplitude is ==>> 100.000000\n"
            "threshold=0 audio_rd=0 audio_wr=-1 bits=16 fragments=0x00020007\n"
            "count=14 squelch=27.0126705\n");
  EXPECT_EQ(occurrences(run.log, "read fd=3 bytes=256"), 200u);
}

TEST_F(Device, CalibrationFailsWhenTheRecordingHandleCannotBeOpened) {
  EXPECT_EQ(exercise({"threshold"}, {"SIMCARD_FAULTS=nocard"}).out,
            "Cannot open /dev/dsp for recording\n"
            "CALIBRATION FAILED\n"
            "threshold=-1 audio_rd=-1 audio_wr=-1 bits=16 fragments=0x00020007\n"
            "count=0 squelch=0\n");
}

TEST_F(Device, CalibrationFailsOnADeadCard) {
  const Outcome run = exercise({"threshold"}, {"SIMCARD_FAULTS=readfail=2560"});
  EXPECT_NE(run.out.find("Error: read from /dev/dsp failed: Input/output error\nthreshold=-1"),
            std::string::npos)
      << run.out;
  EXPECT_EQ(run.out.find("cut-off"), std::string::npos);
}

double cutoff_of(const std::string& out) {
  const std::string line = "cut-off amplitude is ==>> ";
  const auto at = out.find(line);
  EXPECT_NE(at, std::string::npos) << out;
  return at == std::string::npos ? 0 : std::stod(out.substr(at + line.size()));
}

std::vector<double> block_averages(const std::vector<std::int16_t>& samples) {
  std::vector<double> averages;
  for (std::size_t b = 0; b + 128 <= samples.size(); b += 128) {
    double sum = 0;
    for (std::size_t i = b; i < b + 128; ++i) sum += std::abs(samples[i]);
    averages.push_back(sum / 128);
  }
  return averages;
}

TEST_F(Device, CalibrationInRoomNoiseSitsAboveTheNoise) {
  // Noise of RMS 40 has block averages near 32.
  const double cutoff = cutoff_of(exercise({"threshold"}, {"SIMCARD_NOISE=40"}).out);
  EXPECT_GT(cutoff, 100 + 1);
  EXPECT_LT(cutoff, 100 + 40);
}

TEST_F(Device, CalibrationDuringSpeechStillLetsSpeechThrough) {
  // The clip plays from the card's start; at a slower card than the other
  // tests' a program slow to start (a loaded machine, an emulator) still
  // calibrates while it is spoken: 0.9 s of real time to its first read.
  const auto clip = test_data("speech_a.wav");
  const double cutoff =
      cutoff_of(exercise({"threshold"},
                         {"SIMCARD_SPEED=4", "SIMCARD_INPUT=" + clip.string(), "SIMCARD_NOISE=20"})
                    .out);
  auto averages = block_averages(report::read_wav(clip));
  std::erase_if(averages, [](double a) { return a < 200; });
  std::sort(averages.begin(), averages.end());
  ASSERT_FALSE(averages.empty());
  EXPECT_GT(cutoff, 150) << "speech raised the cut-off";
  EXPECT_LT(cutoff, averages[averages.size() / 2]) << "half the speech would be squelched";
}

}  // namespace
}  // namespace voxaria::test
