// Whole calls: the daemon and the answering program in the callee's
// directory, the caller in its own, each conversation program on a
// simulated card of its own, all on loopback.

#include <algorithm>
#include <atomic>
#include <fstream>
#include <optional>
#include <sstream>
#include <thread>

#include "call_analysis.hpp"
#include "conversation_fixture.hpp"

namespace voxaria::test {
namespace {

using report::Direction;

constexpr double speed = 4;

// Strangers sending to both conversation ports while a call lasts: from
// another port of the peer's host and from other addresses, each kind at
// `rate` datagrams a second to each port, voice-sized and set-up texts.
class Flood {
 public:
  Flood(std::vector<std::uint16_t> ports, int rate) {
    thread_ = std::jthread([ports, rate, this](std::stop_token stop) {
      const UdpPeer same_host("127.0.0.1"), elsewhere("127.0.0.9");
      std::array<std::uint8_t, 64> junk{};
      auto next = std::chrono::steady_clock::now();
      for (std::uint8_t n = 0; !stop.stop_requested(); ++n) {
        junk.fill(n);
        for (const UdpPeer* from : {&same_host, &elsewhere})
          for (const auto port : ports) {
            if (n % 2)
              from->send_to(port, junk.data(), junk.size());
            else
              from->send_to(port, protocol::call_opening, sizeof protocol::call_opening);
            ++sent_;
          }
        next += std::chrono::microseconds(1'000'000 / rate);
        std::this_thread::sleep_until(next);
      }
    });
  }
  std::size_t sent() const { return sent_; }

 private:
  std::atomic<std::size_t> sent_ = 0;
  std::jthread thread_;
};

// The caller's port: the one bound besides the daemon's and the call port.
std::uint16_t caller_port() {
  std::ifstream table("/proc/net/udp");
  std::string line;
  std::getline(table, line);  // the heading
  while (std::getline(table, line)) {
    std::istringstream fields(line);
    std::string slot, local;
    fields >> slot >> local;
    const auto port = static_cast<std::uint16_t>(std::stoul(local.substr(9), nullptr, 16));
    if (port != protocol::call_port && port != protocol::daemon_port) return port;
  }
  ADD_FAILURE() << "the caller's socket was not found";
  return protocol::call_port;
}

class Call : public Conversation {
 protected:
  ScratchDir callee_home;

  void SetUp() override {
    fs::copy_file(built("voxaria_server"), callee_home / "voxaria_server");
    fs::copy_file(built("phone.au"), callee_home / "phone.au");
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

  struct Calls {
    Direction there, back;
  };
  // A whole call through the daemon, each side saying its clip; then the
  // hanging-up side presses Enter, and the other must end by itself.
  // Strangers flood both ends meanwhile when flood_rate is not 0.
  Calls whole_call(const std::string& name, bool caller_hangs_up, int flood_rate = 0) {
    // Set-up takes a ring, then both calibrations: some 6 card seconds, and
    // a loaded machine may take twice that.
    constexpr double caller_says = 20, callee_says = 26, hang_up_at = 32;
    const Timeline timeline(speed);
    const auto on_timeline = [&](const std::string& card_name, std::vector<std::string> more) {
      auto settings = timeline.settings();
      settings.insert(settings.end(), more.begin(), more.end());
      return Card{dir.path, name + "-" + card_name, settings};
    };
    const Card ring = on_timeline("daemon", {});
    const Card caller_card = on_timeline("caller", speaking("speech_a.wav", caller_says));
    const Card callee_card = on_timeline("callee", speaking("speech_b.wav", callee_says));
    auto daemon = spawn({.argv = {built("voxariad").string()},
                         .env = ring.env(),
                         .cwd = callee_home.path,
                         .output_prefix = dir / (name + "-voxariad")});
    wait_until_bound(protocol::daemon_port);
    auto caller = run("voxaria_client", {"localhost"}, caller_card);
    EXPECT_TRUE(daemon->wait_for_output("Please launch your Voxaria application.\n"))
        << daemon->out();
    auto callee = spawn({.argv = {"./voxaria_server"},
                         .env = callee_card.env(),
                         .cwd = callee_home.path,
                         .output_prefix = dir / callee_card.name});
    EXPECT_TRUE(caller->wait_for_output("Please begin the conversation", 30s)) << caller->out();
    EXPECT_TRUE(callee->wait_for_output("Please begin the conversation", 30s)) << callee->out();
    EXPECT_LT(timeline.now(), caller_says) << "set-up took too long for this timeline";
    std::optional<Flood> flood;
    if (flood_rate > 0) flood.emplace(std::vector{protocol::call_port, caller_port()}, flood_rate);

    timeline.sleep_until(hang_up_at);
    auto& hanging_up = caller_hangs_up ? caller : callee;
    auto& told = caller_hangs_up ? callee : caller;
    hanging_up->send_input("\n");
    EXPECT_EQ(hanging_up->wait_exit(), 1);
    const auto hung_up = std::chrono::steady_clock::now();
    EXPECT_EQ(told->wait_exit(), 1) << "the other side did not end with the hang-up";
    const Seconds ended = std::chrono::steady_clock::now() - hung_up;
    EXPECT_LT(ended.count(), 1.0) << "the other side ended late";
    std::cout << name << ": the other side ended " << ended.count() * 1000
              << " ms after the hang-up\n";
    if (flood) std::cout << flood->sent() << " strangers' datagrams\n";
    flood.reset();
    EXPECT_TRUE(caller->out().ends_with("Thank you for using Voxaria.\n"));
    EXPECT_TRUE(callee->out().ends_with("Thank you for using the Voxaria.\n"));
    EXPECT_TRUE(told->out().ends_with(std::string("\nThe other side hung up.\n") +
                                      (caller_hangs_up ? "Thank you for using the Voxaria.\n"
                                                       : "Thank you for using Voxaria.\n")))
        << told->out();
    EXPECT_TRUE(
        callee->out().starts_with("Detected one half duplex sound card.\n"
                                  "The client localhost has established a connection with us\n"
                                  "Connection established to the client.\n"));

    Calls calls{direction("speech_a.wav", caller_card, callee_card),
                direction("speech_b.wav", callee_card, caller_card)};
    // A silent end that receives nothing keeps recording.
    const auto callee_plays = playback_opens(callee_card), caller_plays = playback_opens(caller_card);
    EXPECT_TRUE(!callee_plays.empty() && callee_plays.front().time > caller_says);
    EXPECT_TRUE(!caller_plays.empty() && caller_plays.front().time > callee_says);
    std::cout << name << ": caller to callee SNR " << calls.there.snr_db << " dB, mouth to ear "
              << calls.there.median_delay_ms << " ms median; callee to caller SNR "
              << calls.back.snr_db << " dB, mouth to ear " << calls.back.median_delay_ms
              << " ms median\n";
    return calls;
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

// A call each side hangs up once; the second with strangers flooding both
// ends (1,000 datagrams a second of each kind to each port), which must be
// neither heard nor let slow the call. The flood's delay is held to a
// block of the plain call's: the half-duplex turn-taking moves a median by
// a block from call to call.
TEST_F(Call, CarriesEachSideToTheOtherEvenThroughAFloodOfStrangers) {
  const Calls plain = whole_call("plain", /*caller_hangs_up=*/true);
  expect_heard_whole(plain.there, "caller to callee");
  expect_heard_whole(plain.back, "callee to caller");
  const Calls flooded = whole_call("flooded", /*caller_hangs_up=*/false, 1000);
  expect_heard_whole(flooded.there, "caller to callee, flooded");
  expect_heard_whole(flooded.back, "callee to caller, flooded");
  EXPECT_LE(flooded.there.median_delay_ms, plain.there.median_delay_ms + 16);
  EXPECT_LE(flooded.back.median_delay_ms, plain.back.median_delay_ms + 16);
}

TEST_F(Call, OpensAtOnceWhenTheCalleeIsAlreadyAnswering) {
  auto callee = spawn({.argv = {"./voxaria_server"},
                       .env = card("callee").env(),
                       .cwd = callee_home.path,
                       .output_prefix = dir / "callee"});
  wait_until_bound(protocol::call_port);
  auto daemon = spawn({.argv = {built("voxariad").string()},
                       .env = card("daemon").env(),
                       .cwd = callee_home.path,
                       .output_prefix = dir / "voxariad"});
  wait_until_bound(protocol::daemon_port);
  auto caller = run("voxaria_client", {"localhost"}, card("caller"));
  ASSERT_TRUE(caller->wait_for_output("Connection established to the server.\n"));
  EXPECT_EQ(daemon->out().find("trying to contact you"), std::string::npos) << "rang all the same";
  EXPECT_FALSE(fs::exists(dir / "daemon.ring"));
}

}  // namespace
}  // namespace voxaria::test
