// voxaria_server on the call port, with the test as the caller (and as a
// stranger on another address).

#include <cmath>
#include <numbers>
#include <thread>

#include "adpcm.hpp"
#include "card_record.hpp"
#include "conversation_fixture.hpp"

namespace voxaria::test {
namespace {

namespace protocol = voxaria::protocol;
using report::CardEvent;

constexpr double speed = 4;
constexpr std::size_t block = 128;

// A gliding tone: any block out of place or missing shows in the comparison.
std::vector<std::int16_t> chirp(std::size_t blocks, double amplitude = 6000) {
  std::vector<std::int16_t> samples(blocks * block);
  double phase = 0;
  for (std::size_t i = 0; i < samples.size(); ++i) {
    const double frequency =
        300 + 1200.0 * static_cast<double>(i) / static_cast<double>(samples.size());
    phase += 2 * std::numbers::pi * frequency / 8000;
    samples[i] = static_cast<std::int16_t>(amplitude * std::sin(phase));
  }
  return samples;
}

std::vector<std::vector<std::uint8_t>> payloads_of(const std::vector<std::int16_t>& samples) {
  AdpcmState state;
  std::vector<std::vector<std::uint8_t>> payloads;
  for (std::size_t at = 0; at + block <= samples.size(); at += block) {
    std::vector<std::uint8_t> payload(64);
    adpcm_coder(samples.data() + at, payload.data(), block, state);
    payloads.push_back(std::move(payload));
  }
  return payloads;
}

double snr_db(const std::vector<std::int16_t>& reference, const std::vector<std::int16_t>& copy) {
  double signal = 0, noise = 0;
  for (std::size_t i = 0; i < reference.size(); ++i) {
    const double r = reference[i], e = (i < copy.size() ? copy[i] : 0) - r;
    signal += r * r;
    noise += e * e;
  }
  return 10 * std::log10(signal / std::max(noise, 1.0));
}

// The blocks the card played, in the order they were written. The log is
// read first: the card logs a write once its samples are in the file, so
// the file read after it holds every block the log names.
std::vector<std::int16_t> played(const Card& card) {
  const auto writes = report::events_of_kind(report::read_card_log(card.log()), "write");
  const auto loudspeaker = report::read_wav(card.loudspeaker());
  std::vector<std::int16_t> samples;
  for (const auto& write : writes) {
    const auto at = static_cast<std::size_t>(*write.number("pos"));
    for (std::size_t i = at; i < at + block; ++i)
      samples.push_back(i < loudspeaker.size() ? loudspeaker[i] : 0);
  }
  return samples;
}

// The blocks the card played once it has played `blocks` of them (or all it
// played when `limit` runs out first): on a loaded machine playback takes
// as long as it takes.
std::vector<std::int16_t> played_when(const Card& card, std::size_t blocks, Seconds limit = 10s) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  auto heard = played(card);
  while (heard.size() < blocks * block && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(20ms);
    heard = played(card);
  }
  return heard;
}

class Answering : public Conversation {
 protected:
  UdpPeer caller;

  // Sends the call opening and returns the answer.
  std::optional<Datagram> open_call(const std::string& opening) {
    caller.send_to(protocol::call_port, opening.data(), opening.size());
    return caller.receive();
  }
  void send_voice(const UdpPeer& from, const std::vector<std::vector<std::uint8_t>>& payloads,
                  const Timeline& timeline) const {
    double at = timeline.now();
    for (const auto& p : payloads) {
      from.send_to(protocol::call_port, p.data(), p.size());
      timeline.sleep_until(at += 0.016);
    }
  }
  // The card settings of a callee that talks (a loud gliding tone) from
  // card time `from` for `seconds`, plus any others.
  std::vector<std::string> talking(const Timeline& timeline, double from, double seconds,
                                   std::vector<std::string> more = {}) const {
    auto settings = timeline.settings();
    settings.push_back("SIMCARD_INPUT=" + tone_file(seconds).string());
    settings.push_back("SIMCARD_INPUT_AT=" + std::to_string(from));
    settings.insert(settings.end(), more.begin(), more.end());
    return settings;
  }
  // Starts the answering program and opens the call to it.
  std::unique_ptr<Process> answered(const Card& callee) {
    auto server = run("voxaria_server", {}, callee);
    wait_until_bound(protocol::call_port);
    EXPECT_TRUE(open_call(protocol::call_opening)) << "no call answer";
    return server;
  }
  fs::path tone_file(double seconds) const {
    const auto path = dir / "tone.wav";
    report::write_wav(path, chirp(static_cast<std::size_t>(seconds * 8000 / block), 8000));
    return path;
  }
  std::size_t voice_received(const UdpPeer& end, Seconds limit) const {
    constexpr std::size_t enough = 2000;  // a flood never ends by itself
    std::size_t n = 0;
    while (n < enough)
      if (auto d = end.receive(limit); !d)
        break;
      else if (d->bytes.size() == 64)
        ++n;
    return n;
  }
};

TEST_F(Answering, ReportsABusyCallPort) {
  UdpPeer squatter("0.0.0.0", protocol::call_port);
  auto server = run("voxaria_server", {}, card("callee"));
  EXPECT_EQ(server->wait_exit(), 255);
  EXPECT_EQ(server->out(), "Detected one half duplex sound card.\nTerminating..\n");
  EXPECT_EQ(server->err(), "bind: Address already in use\n");
}

TEST_F(Answering, NeedsASoundCard) {
  auto server = run("voxaria_server", {}, card("callee", {"SIMCARD_FAULTS=nocard"}));
  EXPECT_EQ(server->wait_exit(), 255);
  EXPECT_EQ(server->out(),
            "Error: Program failed to detect a sound card.\n"
            "Make sure that the sound card is configured. Refer to Sound-HOWTO for more info.\n"
            "Terminating..\n");
}

TEST_F(Answering, AnswersAnyCallOpeningAndPrintsIt) {
  auto server = run("voxaria_server", {}, card("callee"));
  wait_until_bound(protocol::call_port);
  const auto answer = open_call("Hi there");
  ASSERT_TRUE(answer);
  EXPECT_EQ(answer->bytes, bytes_of(protocol::call_answer, sizeof protocol::call_answer));
  EXPECT_TRUE(
      server->wait_for_output("Please begin the conversation. Click on HANGUP to terminate.\n"));
  server->close_input();
  EXPECT_EQ(server->wait_exit(), 1);
  EXPECT_EQ(server->out(),
            "Detected one half duplex sound card.\n"
            "The client localhost has established a connection with us\n"
            "Hi there\n"
            "Hold on..! Dont start talking.\n"
            "Calculating the threshold value for the default audio buffer...\n"
            "cut-off amplitude is ==>> 100.000000\n"
            "Please begin the conversation. Click on HANGUP to terminate.\n"
            "Thank you for using the Voxaria.\n");
}

TEST_F(Answering, TakesAnEmptyDatagramForTheCallOpening) {
  auto server = run("voxaria_server", {}, card("callee"));
  wait_until_bound(protocol::call_port);
  ASSERT_TRUE(open_call(""));
  EXPECT_TRUE(server->wait_for_output("Hold on"));
  EXPECT_TRUE(
      server->out().starts_with("Detected one half duplex sound card.\n"
                                "The client 127.0.0.1 has established a connection with us\n"
                                "\n"
                                "Hold on..! Dont start talking.\n"))
      << server->out();
}

// Bytes from the network never reach the terminal as control sequences.
TEST_F(Answering, ShowsControlBytesOfTheCallOpeningEscaped) {
  auto server = run("voxaria_server", {}, card("callee"));
  wait_until_bound(protocol::call_port);
  ASSERT_TRUE(open_call("\x1b]0;owned\x07 a\\b \xc3\xa9\n"));
  EXPECT_TRUE(server->wait_for_output("Hold on"));
  EXPECT_NE(server->out().find("\n\\x1B]0;owned\\x07 a\\\\b \\xC3\\xA9\\x0A\nHold on"),
            std::string::npos)
      << server->out();
}

// A payload that stays incomplete must not hold up the hang-up.
TEST_F(Answering, HangsUpWhileAVoicePayloadIsIncomplete) {
  auto server = answered(card("callee"));
  ASSERT_TRUE(server->wait_for_output("Please begin the conversation"));
  const std::array<std::uint8_t, 13> part{};
  caller.send_to(protocol::call_port, part.data(), part.size());
  wait_until_taken(protocol::call_port);
  server->send_input("\n");
  EXPECT_EQ(server->wait_exit(5s), 1) << server->out();
}

// Half duplex: what the caller says while the callee talks waits, and is
// played whole and in order once the callee falls silent.
TEST_F(Answering, PlaysWhatArrivedOnlyWhenTheLocalTalkerFallsSilent) {
  const Timeline timeline(speed);
  constexpr double talk_from = 9, talk_for = 2;  // calibration is 3.2 card seconds
  const Card callee = card("callee", talking(timeline, talk_from, talk_for));
  auto server = answered(callee);
  ASSERT_TRUE(server->wait_for_output("Please begin the conversation"));
  ASSERT_LT(timeline.now(), talk_from) << "calibration took too long for this timeline";

  timeline.sleep_until(talk_from + 0.3);
  const auto said = chirp(40);
  send_voice(caller, payloads_of(said), timeline);
  ASSERT_LT(timeline.now(), talk_from + talk_for) << "the callee stopped talking too early";
  // Two seconds of tone are 125 blocks; a card that a loaded machine leaves
  // behind loses some (an overrun), as a real one would.
  EXPECT_GT(voice_received(caller, 1s), 60u) << "the callee's talk reached the caller";

  const auto opens = playback_opens(callee);
  ASSERT_FALSE(opens.empty()) << "nothing was played";
  EXPECT_GT(opens.front().time, talk_from + talk_for) << "played while the callee talked";
  const auto heard = played_when(callee, said.size() / block);
  EXPECT_EQ(heard.size(), said.size());
  EXPECT_GT(snr_db(said, heard), 20) << "not the caller's blocks in the order sent";
  server->close_input();
  EXPECT_EQ(server->wait_exit(), 1);
}

// Once the call is open, a stranger can neither be heard nor divert the
// callee's voice to itself.
TEST_F(Answering, IgnoresStrangersDuringTheCall) {
  const Timeline timeline(speed);
  constexpr double talk_from = 9, talk_for = 1;
  const Card callee = card("callee", talking(timeline, talk_from, talk_for));
  auto server = answered(callee);
  ASSERT_TRUE(server->wait_for_output("Please begin the conversation"));
  ASSERT_LT(timeline.now(), talk_from - 1);

  const UdpPeer stranger("127.0.0.2");
  send_voice(stranger, payloads_of(chirp(30)), timeline);
  timeline.sleep_until(talk_from - 0.2);
  EXPECT_TRUE(playback_opens(callee).empty()) << "a stranger was heard";

  timeline.sleep_until(talk_from + talk_for + 0.5);
  EXPECT_GT(voice_received(caller, 500ms), 50u) << "the callee's voice went astray";
  EXPECT_EQ(voice_received(stranger, 100ms), 0u) << "the stranger diverted the callee's voice";

  const auto said = chirp(20);
  send_voice(caller, payloads_of(said), timeline);
  const auto heard = played_when(callee, said.size() / block);
  EXPECT_EQ(heard.size(), said.size()) << "the caller's blocks were not all played";
  EXPECT_GT(snr_db(said, heard), 20) << "the caller is still heard, and only the caller";
  server->close_input();
  EXPECT_EQ(server->wait_exit(), 1);
}

// A card that dies in the middle of a word ends the call; the last block
// read must not be sent again and again.
TEST_F(Answering, EndsTheCallWhenTheCardStopsRecording) {
  const Timeline timeline(speed);
  // The card dies some 110 blocks into the call, in the middle of the tone.
  auto server =
      answered(card("callee", talking(timeline, 4, 4, {"SIMCARD_FAULTS=readfail=80000"})));
  EXPECT_EQ(server->wait_exit(30s), 255);
  EXPECT_TRUE(
      server->out().ends_with("Please begin the conversation. Click on HANGUP to terminate.\n"
                              "Error: read from /dev/dsp failed: Input/output error\n"
                              "Terminating..\n"))
      << server->out();
  EXPECT_LT(voice_received(caller, 200ms), 200u) << "the dead card flooded the caller";
}

TEST_F(Answering, EndsTheCallWhenTheCardStopsPlaying) {
  const Timeline timeline(speed);
  auto settings = timeline.settings();
  settings.push_back("SIMCARD_FAULTS=writefail=0");
  auto server = answered(card("callee", settings));
  ASSERT_TRUE(server->wait_for_output("Please begin the conversation"));
  send_voice(caller, payloads_of(chirp(5)), timeline);
  EXPECT_EQ(server->wait_exit(), 255);
  EXPECT_TRUE(server->out().ends_with(
      "Error: write to /dev/dsp failed: Input/output error\nTerminating..\n"))
      << server->out();
}

bool looks_like_hang_up(const std::vector<std::uint8_t>& p) {
  return p.size() == 64 &&
         std::all_of(p.begin(), p.begin() + 44, [](std::uint8_t b) { return (b & 0x44) == 0; }) &&
         std::all_of(p.begin() + 44, p.end(), [](std::uint8_t b) { return b == 0x88; });
}

// Either side's hang-up ends both: the callee's Enter sends the caller the
// hang-up twice (one may be lost), and one copy from the caller ends the
// callee's side at once.
TEST_F(Answering, HangsUpBothWays) {
  auto server = answered(card("callee"));
  ASSERT_TRUE(server->wait_for_output("Please begin the conversation"));
  server->send_input("\n");
  EXPECT_EQ(server->wait_exit(), 1);
  for (int copy = 0; copy < 2; ++copy) {
    const auto got = caller.receive(2s);
    ASSERT_TRUE(got) << "copy " << copy;
    EXPECT_TRUE(looks_like_hang_up(got->bytes)) << "copy " << copy;
  }
  EXPECT_FALSE(caller.receive(200ms));

  std::vector<std::uint8_t> hang_up(64, 0x88);
  std::fill(hang_up.begin(), hang_up.begin() + 44, 0x00);
  auto again = answered(card("again"));
  ASSERT_TRUE(again->wait_for_output("Please begin the conversation"));
  caller.send_to(protocol::call_port, hang_up.data(), hang_up.size());
  EXPECT_EQ(again->wait_exit(2s), 1);
  EXPECT_TRUE(again->out().ends_with(
      "Please begin the conversation. Click on HANGUP to terminate.\n"
      "The other side hung up.\nThank you for using the Voxaria.\n"))
      << again->out();
}

// A caller that vanished without a word (killed, its host gone) is noticed
// when the callee talks: its host refuses the voice.
TEST_F(Answering, EndsTheCallWhenTheCallerHasGone) {
  const Timeline timeline(speed);
  auto gone = std::make_unique<UdpPeer>();
  auto server = run("voxaria_server", {}, card("callee", talking(timeline, 6, 2)));
  wait_until_bound(protocol::call_port);
  gone->send_to(protocol::call_port, protocol::call_opening, sizeof protocol::call_opening);
  ASSERT_TRUE(gone->receive()) << "no call answer";
  gone.reset();
  EXPECT_EQ(server->wait_exit(30s), 255);
  EXPECT_TRUE(server->out().ends_with("Connection closed by foreign host.\nTerminating..\n"))
      << server->out();
}

// The call answer leaves at once; the caller's name follows when the name
// server gives it in time, and its address otherwise.
TEST_F(Answering, AnswersWithoutWaitingForTheNameServer) {
  const auto name_server = use_silent_name_server(dir.path);
  if (!name_server) GTEST_SKIP() << "needs network and mount namespaces of its own (run as root)";
  auto server = run("voxaria_server", {}, card("callee"));
  wait_until_bound(protocol::call_port);
  const UdpPeer unnamed("127.0.0.2");
  const auto opened = std::chrono::steady_clock::now();
  unnamed.send_to(protocol::call_port, protocol::call_opening, sizeof protocol::call_opening);
  ASSERT_TRUE(unnamed.receive(5s)) << "no call answer";
  const Seconds answered_after = std::chrono::steady_clock::now() - opened;
  EXPECT_TRUE(server->wait_for_output("The client 127.0.0.2 has established a connection with us\n"))
      << server->out();
  const Seconds named_after = std::chrono::steady_clock::now() - opened;
  std::printf("answered %.2f s, caller named %.2f s after the opening\n", answered_after.count(),
              named_after.count());
  EXPECT_LT(answered_after.count(), 1.0);
  EXPECT_LT(named_after.count(), 2.0);
  server->close_input();
  EXPECT_EQ(server->wait_exit(), 1);
}

}  // namespace
}  // namespace voxaria::test
