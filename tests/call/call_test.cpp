// Whole calls: the daemon and the answering program in the callee's
// directory, the caller in its own, each conversation program on a
// simulated card of its own, all on loopback.

#include <algorithm>

#include "call_analysis.hpp"
#include "conversation_fixture.hpp"

namespace voxaria::test {
namespace {

using report::Direction;

constexpr double speed = 4;

class Call : public Conversation {
 protected:
  ScratchDir callee_home;
  Timeline timeline{speed};

  void SetUp() override {
    fs::copy_file(built("voxaria_server"), callee_home / "voxaria_server");
    fs::copy_file(built("phone.au"), callee_home / "phone.au");
  }
  Card card_of(const std::string& name, std::vector<std::string> more = {}) const {
    auto settings = timeline.settings();
    settings.insert(settings.end(), more.begin(), more.end());
    return Card{dir.path, name, settings};
  }
  std::unique_ptr<Process> start_daemon(const Card& card) {
    return spawn({.argv = {built("voxariad").string()},
                  .env = card.env(),
                  .cwd = callee_home.path,
                  .output_prefix = dir / "voxariad"});
  }
  std::unique_ptr<Process> start_callee(const Card& card) {
    return spawn({.argv = {"./voxaria_server"},
                  .env = card.env(),
                  .cwd = callee_home.path,
                  .output_prefix = dir / card.name});
  }
  static std::vector<std::string> speaking(const char* clip, double from) {
    return {"SIMCARD_INPUT=" + test_data(clip).string(), "SIMCARD_INPUT_AT=" + std::to_string(from),
            "SIMCARD_NOISE=10"};
  }
  static Direction direction(const char* clip, const Card& talker, const Card& listener) {
    return report::analyse(report::read_wav(test_data(clip)), report::read_card_log(talker.log()),
                           report::read_card_log(listener.log()),
                           report::read_wav(listener.loudspeaker()));
  }
};

void expect_heard_whole(const Direction& d, const char* way) {
  SCOPED_TRACE(way);
  EXPECT_GT(d.spoken_blocks, 50u) << "the clip was not said while the talker's card recorded";
  EXPECT_EQ(d.spoken_heard, d.spoken_blocks) << "spoken blocks lost";
  EXPECT_EQ(d.heard_twice, 0u);
  EXPECT_EQ(d.out_of_order, 0u);
  EXPECT_GE(d.snr_db, 15);
}

TEST_F(Call, CarriesEachSideToTheOtherAndHangsUp) {
  // Set-up takes a ring and its pause, then both calibrations: some 14 card
  // seconds, and a loaded machine may take twice that.
  constexpr double caller_says = 34, callee_says = 40, hang_up_at = 46;
  const Card ring = card_of("daemon");
  const Card caller_card = card_of("caller", speaking("speech_a.wav", caller_says));
  const Card callee_card = card_of("callee", speaking("speech_b.wav", callee_says));

  auto daemon = start_daemon(ring);
  wait_until_bound(protocol::daemon_port);
  auto caller = run("voxaria_client", {"localhost"}, caller_card);
  ASSERT_TRUE(daemon->wait_for_output("Please launch your Voxaria application.\n"))
      << daemon->out();
  auto callee = start_callee(callee_card);
  ASSERT_TRUE(caller->wait_for_output("Please begin the conversation", 30s)) << caller->out();
  ASSERT_TRUE(callee->wait_for_output("Please begin the conversation", 30s)) << callee->out();
  ASSERT_LT(timeline.now(), caller_says) << "set-up took too long for this timeline";

  timeline.sleep_until(hang_up_at);
  caller->send_input("\n");
  callee->send_input("\n");
  EXPECT_EQ(caller->wait_exit(), 1);
  EXPECT_EQ(callee->wait_exit(), 1);
  EXPECT_TRUE(caller->out().ends_with("Thank you for using Voxaria.\n"));
  EXPECT_TRUE(callee->out().ends_with("Thank you for using the Voxaria.\n"));
  EXPECT_TRUE(
      callee->out().starts_with("Detected one half duplex sound card.\n"
                                "The client localhost has established a connection with us\n"
                                "Connection established to the client.\n"));

  const Direction there = direction("speech_a.wav", caller_card, callee_card);
  const Direction back = direction("speech_b.wav", callee_card, caller_card);
  expect_heard_whole(there, "caller to callee");
  expect_heard_whole(back, "callee to caller");
  // A silent end that receives nothing keeps recording.
  ASSERT_FALSE(playback_opens(callee_card).empty());
  ASSERT_FALSE(playback_opens(caller_card).empty());
  EXPECT_GT(playback_opens(callee_card).front().time, caller_says);
  EXPECT_GT(playback_opens(caller_card).front().time, callee_says);
  std::cout << "caller to callee: SNR " << there.snr_db << " dB, mouth to ear "
            << there.median_delay_ms << " ms median\ncallee to caller: SNR " << back.snr_db
            << " dB, mouth to ear " << back.median_delay_ms << " ms median\n";
}

TEST_F(Call, OpensAtOnceWhenTheCalleeIsAlreadyAnswering) {
  const Card callee_card = card_of("callee");
  auto callee = start_callee(callee_card);
  wait_until_bound(protocol::call_port);
  auto daemon = start_daemon(card_of("daemon"));
  wait_until_bound(protocol::daemon_port);
  auto caller = run("voxaria_client", {"localhost"}, card_of("caller"));
  ASSERT_TRUE(caller->wait_for_output("Connection established to the server.\n"));
  EXPECT_EQ(daemon->out().find("trying to contact you"), std::string::npos) << "rang all the same";
  EXPECT_FALSE(fs::exists(dir / "daemon.ring"));
}

}  // namespace
}  // namespace voxaria::test
