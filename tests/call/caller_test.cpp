// voxaria_client against a daemon and an answering program played by the
// test on the fixed ports.

#include <arpa/inet.h>

#include <thread>

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

}  // namespace
}  // namespace voxaria::test
