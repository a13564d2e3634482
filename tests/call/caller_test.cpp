// voxaria_client against a daemon and an answering program played by the
// test on the fixed ports.

#include <arpa/inet.h>

#include <thread>

#include "adpcm.hpp"
#include "card_record.hpp"
#include "conversation_fixture.hpp"

namespace voxaria::test {
namespace {

namespace protocol = voxaria::protocol;

class Caller : public Conversation {
 protected:
  UdpPeer daemon{"127.0.0.1", protocol::daemon_port};
  UdpPeer answering{"127.0.0.1", protocol::call_port};

  // Plays the daemon up to the ring status replies; returns the knock.
  Datagram greet(const std::string& greeting_bytes) {
    auto knock = daemon.receive();
    EXPECT_TRUE(knock) << "no knock";
    if (!knock) return {};
    daemon.send_to(knock->from, greeting_bytes.data(), greeting_bytes.size());
    return *knock;
  }
  void reply(const Datagram& knock, const protocol::RingStatus& status) {
    daemon.send_to(knock.from, status.data(), status.size());
  }
  void reply(const Datagram& knock, const std::string& text) {
    protocol::RingStatus status{};
    std::copy(text.begin(), text.end(), status.begin());
    reply(knock, status);
  }
  static std::string standard_greeting() { return {protocol::greeting, sizeof protocol::greeting}; }
};

TEST_F(Caller, NeedsAHostName) {
  auto caller = run("voxaria_client", {}, card("caller"));
  EXPECT_EQ(caller->wait_exit(), 255);
  EXPECT_EQ(caller->out(), "Usage: voxaria_client <hostname>\n");
}

TEST_F(Caller, GivesUpBeforeTheNetworkWithoutASoundCard) {
  auto caller = run("voxaria_client", {"localhost"}, card("caller", {"SIMCARD_FAULTS=nocard"}));
  EXPECT_EQ(caller->wait_exit(), 255);
  EXPECT_EQ(caller->out(),
            "Error: Program failed to detect a sound card.\n"
            "Make sure that the sound card is configured. Refer to Sound-HOWTO for more info.\n"
            "Terminating..\n");
  EXPECT_FALSE(daemon.receive(200ms)) << "knocked without a sound card";
}

TEST_F(Caller, FindsTheCardWithStandardInputClosed) {
  auto caller = run("voxaria_client", {}, card("caller"), /*close_stdin=*/true);
  EXPECT_EQ(caller->wait_exit(), 255);
  auto checking = run("voxaria_client", {"localhost"}, card("checking"), /*close_stdin=*/true);
  EXPECT_TRUE(checking->wait_for_output("Detected one half duplex sound card.\n"))
      << checking->out();
}

TEST_F(Caller, ReportsAnUnknownHost) {
  if (!in_private_network()) GTEST_SKIP() << "needs a network namespace of its own (run as root)";
  auto caller = run("voxaria_client", {"no-such-host.invalid"}, card("caller"));
  EXPECT_EQ(caller->wait_exit(30s), 255);
  EXPECT_EQ(caller->out(),
            "Detected one half duplex sound card.\n"
            "Error: Hostname no-such-host.invalid is unknown.\n"
            "Terminating..\n");
}

TEST_F(Caller, CutsAHostNameTo511Characters) {
  const std::string name(600, 'h');
  auto caller = run("voxaria_client", {name}, card("caller"));
  EXPECT_EQ(caller->wait_exit(30s), 255);
  EXPECT_EQ(caller->out(),
            "Detected one half duplex sound card.\n"
            "Error: Hostname " +
                name.substr(0, 511) +
                " is unknown.\n"
                "Terminating..\n");
}

TEST_F(Caller, KnocksWaitsWhileTheCalleeIsRungAndOpensTheCall) {
  auto caller = run("voxaria_client", {"127.0.0.1"}, card("caller"));
  const Datagram knock = greet(standard_greeting());
  EXPECT_EQ(knock.bytes, bytes_of(protocol::knock, sizeof protocol::knock));
  reply(knock, protocol::ring_status_no);
  reply(knock, protocol::ring_status_no);
  EXPECT_FALSE(answering.receive(300ms)) << "the call opened while the daemon said no";
  reply(knock, protocol::ring_status_yes);

  const auto opening = answering.receive();
  ASSERT_TRUE(opening);
  EXPECT_EQ(opening->bytes, bytes_of(protocol::call_opening, sizeof protocol::call_opening));
  EXPECT_EQ(opening->from.sin_port, knock.from.sin_port) << "one socket for the whole call";
  answering.send_to(opening->from, protocol::call_answer, sizeof protocol::call_answer);
  // Standard input at its end hangs up once the first talk phase is over.
  caller->close_input();
  EXPECT_EQ(caller->wait_exit(), 1);
  EXPECT_EQ(caller->out(),
            "Detected one half duplex sound card.\n"
            "Connected to the party's daemon. Waiting for the party to launch Voxaria...\n"
            "Connection established to the server.\n"
            "Hold on..! Dont start talking.\n"
            "Calculating the threshold value for the default audio buffer...\n"
            "cut-off amplitude is ==>> 100.000000\n"
            "Please begin the conversation. Click on HANGUP to terminate\n"
            "Thank you for using Voxaria.\n");
}

TEST_F(Caller, GoesAheadOnAnyReplyButNo) {
  for (const std::string answer : {"yes", "", "nope", "no way"}) {
    auto caller = run("voxaria_client", {"127.0.0.1"}, card("caller"));
    reply(greet(standard_greeting()), answer);
    EXPECT_TRUE(answering.receive(5s)) << "still waiting after \"" << answer << "\"";
  }
}

TEST_F(Caller, PrintsReceivedTextsOnlyUpToTheirEnd) {
  auto caller = run("voxaria_client", {"127.0.0.1"}, card("caller"));
  reply(greet(std::string("Hello\0there", 11)), "yes");
  const auto opening = answering.receive();
  ASSERT_TRUE(opening);
  const std::string unterminated = "Welcome";
  answering.send_to(opening->from, unterminated.data(), unterminated.size());
  EXPECT_TRUE(caller->wait_for_output("Hold on"));
  EXPECT_TRUE(
      caller->out().starts_with("Detected one half duplex sound card.\nHello\nWelcome\nHold on.."))
      << caller->out();
}


// Only the callee's daemon (port 7000) is heard until the call opens, and
// only its answering program (port 5000) answers: a stranger's datagram, or
// the daemon's "yes" sent twice, is not taken for the next reply.
TEST_F(Caller, TakesSetUpRepliesOnlyFromTheCallee) {
  auto caller = run("voxaria_client", {"127.0.0.1"}, card("caller"));
  auto knock = daemon.receive();
  ASSERT_TRUE(knock);
  const UdpPeer stranger;
  const std::string fake = "fake greeting";
  stranger.send_to(knock->from, fake.data(), fake.size() + 1);
  daemon.send_to(knock->from, protocol::greeting, sizeof protocol::greeting);
  stranger.send_to(knock->from, protocol::ring_status_yes.data(), protocol::ring_status_yes.size());
  EXPECT_FALSE(answering.receive(300ms)) << "a stranger's yes opened the call";
  reply(*knock, protocol::ring_status_yes);
  reply(*knock, protocol::ring_status_yes);
  const auto opening = answering.receive();
  ASSERT_TRUE(opening);
  // On loopback a datagram is queued at the receiver before sendto returns:
  // the stranger's reaches the caller ahead of the answer.
  stranger.send_to(opening->from, fake.data(), fake.size() + 1);
  answering.send_to(opening->from, protocol::call_answer, sizeof protocol::call_answer);
  EXPECT_TRUE(caller->wait_for_output("Please begin the conversation"));
  EXPECT_TRUE(caller->out().starts_with(
      "Detected one half duplex sound card.\n"
      "Connected to the party's daemon. Waiting for the party to launch Voxaria...\n"
      "Connection established to the server.\nHold on"))
      << caller->out();
  caller->close_input();
  EXPECT_EQ(caller->wait_exit(), 1);
}

TEST_F(Caller, ShowsControlBytesOfReceivedTextsEscaped) {
  auto caller = run("voxaria_client", {"127.0.0.1"}, card("caller"));
  reply(greet("\x1b[2J\\\x7f"), "yes");
  const auto opening = answering.receive();
  ASSERT_TRUE(opening);
  const std::string answer = "ok\r\x9b";
  answering.send_to(opening->from, answer.data(), answer.size());
  EXPECT_TRUE(caller->wait_for_output("Hold on"));
  EXPECT_TRUE(caller->out().starts_with(
      "Detected one half duplex sound card.\n\\x1B[2J\\\\\\x7F\nok\\x0D\\x9B\nHold on"))
      << caller->out();
}

// The hang-up, as any peer would write it: 88 codes of magnitude 0, then
// code 8 only.
std::vector<std::uint8_t> hang_up_payload() {
  std::vector<std::uint8_t> payload(64, 0x88);
  std::fill(payload.begin(), payload.begin() + 44, 0x00);
  return payload;
}

TEST_F(Caller, GivesUpOnInputWhileTheCalleeIsRung) {
  auto caller = run("voxaria_client", {"127.0.0.1"}, card("caller"));
  reply(greet(standard_greeting()), protocol::ring_status_no);
  ASSERT_TRUE(caller->wait_for_output("Waiting for the party"));
  caller->send_input("\n");
  EXPECT_EQ(caller->wait_exit(2s), 1);
  EXPECT_TRUE(caller->out().ends_with("Voxaria...\nThank you for using Voxaria.\n")) << caller->out();
  EXPECT_FALSE(answering.receive(200ms)) << "opened a call it had given up";
}

// Nobody there: no daemon on the host (its host refuses the knock), a
// daemon that never greets, one that stops replying while it rings.
TEST_F(Caller, SaysSoWhenNoDaemonIsThere) {
  auto caller = run("voxaria_client", {"127.0.0.3"}, card("caller"));
  EXPECT_EQ(caller->wait_exit(5s), 255);
  EXPECT_EQ(caller->out(),
            "Detected one half duplex sound card.\n"
            "No answer from 127.0.0.3: no ring daemon there.\n"
            "Terminating..\n");
}

// The caller gives up no sooner than `least` after `since`, saying why.
void expect_no_reply_after(Process& caller, std::chrono::steady_clock::time_point since,
                           double least) {
  EXPECT_EQ(caller.wait_exit(Seconds(least + 10)), 255);
  EXPECT_GT(Seconds(std::chrono::steady_clock::now() - since).count(), least - 0.5);
  EXPECT_TRUE(caller.out().ends_with("No answer from 127.0.0.1: its ring daemon does not reply.\n"
                                     "Terminating..\n"))
      << caller.out();
}

TEST_F(Caller, SaysSoWhenTheKnockIsNotGreeted) {
  auto caller = run("voxaria_client", {"127.0.0.1"}, card("caller"));
  ASSERT_TRUE(daemon.receive()) << "no knock";
  expect_no_reply_after(*caller, std::chrono::steady_clock::now(), 10);
}

// A daemon's replies may be a ring and a pause apart: the caller waits at
// least 20 s, and twice the longest gap so far, before it gives up.
TEST_F(Caller, SaysSoWhenTheDaemonStopsReplying) {
  auto caller = run("voxaria_client", {"127.0.0.1"}, card("caller"));
  reply(greet(standard_greeting()), protocol::ring_status_no);
  expect_no_reply_after(*caller, std::chrono::steady_clock::now(), 20);
}

// "yes" comes as soon as the answering program runs, maybe before it has
// bound the call port: an opening the callee's host refused reached nobody,
// and is sent again.
TEST_F(Caller, SendsTheOpeningAgainUntilTheAnsweringProgramHasItsPort) {
  const UdpPeer daemon_there("127.0.0.4", protocol::daemon_port);
  auto caller = run("voxaria_client", {"127.0.0.4"}, card("caller"));
  auto knock = daemon_there.receive();
  ASSERT_TRUE(knock);
  daemon_there.send_to(knock->from, protocol::greeting, sizeof protocol::greeting);
  daemon_there.send_to(knock->from, protocol::ring_status_yes.data(), protocol::ring_status_size);
  std::this_thread::sleep_for(700ms);  // openings refused meanwhile
  const UdpPeer late("127.0.0.4", protocol::call_port);
  const auto opening = late.receive(2s);
  ASSERT_TRUE(opening) << "the opening was not sent again";
  EXPECT_EQ(opening->bytes, bytes_of(protocol::call_opening, sizeof protocol::call_opening));
  late.send_to(opening->from, protocol::call_answer, sizeof protocol::call_answer);
  EXPECT_TRUE(caller->wait_for_output("Please begin the conversation")) << caller->out();
  EXPECT_FALSE(late.receive(500ms)) << "the opening came twice";
  caller->close_input();
  EXPECT_EQ(caller->wait_exit(), 1);
}

// An answering program that follows the same datagrams but knows nothing of
// what we add: its plain voice is played, and its hang-up, once, ends the
// caller's side at once. Strangers' datagrams never reach the call.
TEST_F(Caller, PlaysAnOlderCalleeAndEndsWhenItHangsUp) {
  auto caller = run("voxaria_client", {"127.0.0.1"}, card("caller"));
  reply(greet(standard_greeting()), protocol::ring_status_yes);
  const auto opening = answering.receive();
  ASSERT_TRUE(opening);
  answering.send_to(opening->from, protocol::call_answer, sizeof protocol::call_answer);
  ASSERT_TRUE(caller->wait_for_output("Please begin the conversation"));
  std::vector<std::int16_t> tone(128 * 20);
  for (std::size_t i = 0; i < tone.size(); ++i)
    tone[i] = static_cast<std::int16_t>(6000 * ((i / 16) % 2 ? 1 : -1));
  AdpcmState state;
  const UdpPeer stranger;
  for (std::size_t at = 0; at < tone.size(); at += 128) {
    std::array<std::uint8_t, 64> payload{};
    adpcm_coder(tone.data() + at, payload.data(), 128, state);
    answering.send_to(opening->from, payload.data(), payload.size());
    stranger.send_to(opening->from, payload.data(), payload.size());
  }
  const auto card_writes = [&] {
    return report::events_of_kind(report::read_card_log(dir / "caller.log"), "write").size();
  };
  for (auto until = std::chrono::steady_clock::now() + 10s;
       card_writes() < 20 && std::chrono::steady_clock::now() < until;)
    std::this_thread::sleep_for(20ms);
  EXPECT_EQ(card_writes(), 20u) << "the older callee's voice was not played, or not alone";
  const auto hang_up = hang_up_payload();
  answering.send_to(opening->from, hang_up.data(), hang_up.size());
  EXPECT_EQ(caller->wait_exit(2s), 1);
  EXPECT_TRUE(caller->out().ends_with("The other side hung up.\nThank you for using Voxaria.\n"))
      << caller->out();
}

}  // namespace
}  // namespace voxaria::test
