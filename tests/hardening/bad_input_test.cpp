// Every port in every state fed datagrams of awkward sizes, random bytes and
// a flood: the programs neither crash nor hang, and go on as they should.
// Any datagram to the daemon is a knock; the first datagram to port 5000 is
// the call; set-up replies come from the callee's ports only; during the
// call nothing but the peer is heard, and input on stdin hangs up.

#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "harness.hpp"
#include "protocol.hpp"

namespace voxaria::test {
namespace {

namespace protocol = voxaria::protocol;
using Bytes = std::vector<std::uint8_t>;

constexpr int random_sizes = -1;  // 50 datagrams of random sizes up to 2049
constexpr int flood = -2;         // 10,000 datagrams as fast as they go
constexpr unsigned seed = 20261208;

std::vector<Bytes> bad_input(int kind) {
  std::mt19937 random(seed + static_cast<unsigned>(kind + 2));
  auto datagram = [&](std::size_t size) {
    Bytes bytes(size);
    for (auto& b : bytes) b = static_cast<std::uint8_t>(random());
    return bytes;
  };
  std::vector<Bytes> all;
  if (kind >= 0) {
    all.push_back(datagram(static_cast<std::size_t>(kind)));
  } else {
    const int count = kind == flood ? 10000 : 50;
    const std::size_t largest = kind == flood ? 128 : 2049;
    for (int i = 0; i < count; ++i) all.push_back(datagram(random() % (largest + 1)));
  }
  return all;
}

std::string name_of(const testing::TestParamInfo<int>& info) {
  if (info.param == random_sizes) return "random";
  if (info.param == flood) return "flood";
  return "bytes" + std::to_string(info.param);
}

// Nothing but printable text and line ends reaches the terminal.
bool terminal_safe(const std::string& out) {
  for (const char c : out)
    if (c != '\n' && (c < 0x20 || c > 0x7E)) return false;
  return true;
}

class BadInput : public testing::TestWithParam<int> {
 protected:
  ScratchDir dir;
  std::vector<Bytes> input = bad_input(GetParam());

  void SetUp() override {
    if (!in_private_network()) GTEST_SKIP() << "needs a network namespace of its own (run as root)";
    std::cout << "random bytes from seed " << seed << "\n";
  }
  std::unique_ptr<Process> run(const std::string& program, std::vector<std::string> args) {
    args.insert(args.begin(), built(program).string());
    const Card card{dir.path, program, {"SIMCARD_SPEED=50"}};
    return spawn({.argv = args, .env = card.env(), .cwd = dir.path,
                  .output_prefix = dir / program});
  }
  void send_all(const UdpPeer& from, const sockaddr_in& to) const {
    for (const auto& d : input) from.send_to(to, d.data(), d.size());
  }
  void send_all(const UdpPeer& from, std::uint16_t port) const {
    for (const auto& d : input) from.send_to(port, d.data(), d.size());
  }
  // Hangs up, as the user would, and expects a clean end.
  static void hang_up(Process& program) {
    program.send_input("\n");
    EXPECT_EQ(program.wait_exit(20s), 1) << program.out() << program.err();
    EXPECT_TRUE(terminal_safe(program.out())) << program.out();
  }
};

const auto sizes = testing::Values(0, 1, 13, 14, 15, 39, 40, 41, 63, 64, 65, 1023, 1024, 1025,
                                   2048, 2049, 65507, random_sizes, flood);

// The first datagram, whatever it is, is the call opening and is answered.
using AnsweringAwaitingTheCall = BadInput;
TEST_P(AnsweringAwaitingTheCall, AnswersTheFirstDatagram) {
  auto server = run("voxaria_server", {});
  wait_until_bound(protocol::call_port);
  const UdpPeer caller;
  send_all(caller, protocol::call_port);
  const auto answer = caller.receive();
  ASSERT_TRUE(answer) << server->out();
  EXPECT_EQ(answer->text(), protocol::call_answer);
  EXPECT_TRUE(server->wait_for_output("Please begin the conversation", 20s)) << server->out();
  hang_up(*server);
}
INSTANTIATE_TEST_SUITE_P(Sizes, AnsweringAwaitingTheCall, sizes, name_of);

// In the call, from the caller and from a stranger.
using AnsweringInACall = BadInput;
TEST_P(AnsweringInACall, GoesOnAndHangsUp) {
  auto server = run("voxaria_server", {});
  wait_until_bound(protocol::call_port);
  const UdpPeer caller, stranger("127.0.0.2");
  caller.send_to(protocol::call_port, protocol::call_opening, sizeof protocol::call_opening);
  ASSERT_TRUE(caller.receive());
  ASSERT_TRUE(server->wait_for_output("Please begin the conversation"));
  send_all(stranger, protocol::call_port);
  send_all(caller, protocol::call_port);
  hang_up(*server);
}
INSTANTIATE_TEST_SUITE_P(Sizes, AnsweringInACall, sizes, name_of);

// The caller against a daemon and an answering program played by the test.
class CallerUnder : public BadInput {
 protected:
  UdpPeer daemon{"127.0.0.1", protocol::daemon_port};
  UdpPeer answering{"127.0.0.1", protocol::call_port};
  UdpPeer stranger{"127.0.0.2", protocol::call_port};
  std::unique_ptr<Process> caller = run("voxaria_client", {"127.0.0.1"});
  sockaddr_in caller_at{};

  void knocked() {
    const auto knock = daemon.receive();
    ASSERT_TRUE(knock);
    caller_at = knock->from;
  }
  void greet() {
    daemon.send_to(caller_at, protocol::greeting, sizeof protocol::greeting);
  }
  void say_yes() {
    daemon.send_to(caller_at, protocol::ring_status_yes.data(), protocol::ring_status_yes.size());
  }
  void answer_call() {
    const auto opening = answering.receive();
    ASSERT_TRUE(opening) << caller->out();
    // After a flood the caller's receive queue may be full and the answer
    // lost, as UDP may: answer again until it is heard.
    bool heard = false;
    for (int tries = 0; tries < 20 && !heard; ++tries) {
      answering.send_to(caller_at, protocol::call_answer, sizeof protocol::call_answer);
      heard = caller->wait_for_output("Please begin the conversation", 1s);
    }
    ASSERT_TRUE(heard) << caller->out();
  }
};

// From the daemon's port, the first datagram is the greeting, the next a
// ring status reply that is not "no"; from elsewhere, nothing counts.
using CallerAwaitingTheGreeting = CallerUnder;
TEST_P(CallerAwaitingTheGreeting, TakesTheDaemonsDatagramsInTurn) {
  knocked();
  send_all(stranger, caller_at);
  send_all(daemon, caller_at);
  say_yes();
  answer_call();
  hang_up(*caller);
}
INSTANTIATE_TEST_SUITE_P(Sizes, CallerAwaitingTheGreeting, sizes, name_of);

using CallerAwaitingTheRingStatus = CallerUnder;
TEST_P(CallerAwaitingTheRingStatus, GoesAheadOnAnythingButNo) {
  knocked();
  greet();
  send_all(stranger, caller_at);
  send_all(daemon, caller_at);
  say_yes();  // in case the bad input said "no"
  answer_call();
  hang_up(*caller);
}
INSTANTIATE_TEST_SUITE_P(Sizes, CallerAwaitingTheRingStatus, sizes, name_of);

// From port 5000 the first datagram is the answer; the daemon's port and
// strangers are not heard.
using CallerAwaitingTheAnswer = CallerUnder;
TEST_P(CallerAwaitingTheAnswer, TakesOnlyTheAnsweringProgramsDatagram) {
  knocked();
  greet();
  say_yes();
  ASSERT_TRUE(answering.receive());
  send_all(stranger, caller_at);
  send_all(daemon, caller_at);
  EXPECT_FALSE(caller->wait_for_output("Hold on", 300ms)) << caller->out();
  send_all(answering, caller_at);
  ASSERT_TRUE(caller->wait_for_output("Please begin the conversation", 20s)) << caller->out();
  hang_up(*caller);
}
INSTANTIATE_TEST_SUITE_P(Sizes, CallerAwaitingTheAnswer, sizes, name_of);

using CallerInACall = CallerUnder;
TEST_P(CallerInACall, GoesOnAndHangsUp) {
  knocked();
  greet();
  say_yes();
  answer_call();
  send_all(stranger, caller_at);
  send_all(daemon, caller_at);
  send_all(answering, caller_at);
  hang_up(*caller);
}
INSTANTIATE_TEST_SUITE_P(Sizes, CallerInACall, sizes, name_of);

// Any datagram to the daemon is a knock and is greeted. (With no answering
// program file in its directory it then takes the call as going on.)
using DaemonIdle = BadInput;
TEST_P(DaemonIdle, GreetsAnyDatagram) {
  auto daemon = run("voxariad", {});
  wait_until_bound(protocol::daemon_port);
  const UdpPeer caller;
  send_all(caller, protocol::daemon_port);
  const auto greeting = caller.receive();
  ASSERT_TRUE(greeting) << daemon->out() << daemon->err();
  EXPECT_EQ(greeting->text(), protocol::greeting);
  EXPECT_TRUE(daemon->running()) << daemon->out() << daemon->err();
}
INSTANTIATE_TEST_SUITE_P(Sizes, DaemonIdle, sizes, name_of);


// A plain file in place of the answering program means it is not running:
// the daemon rings. Without one it takes the call as going on.
void answering_program_ended(const ScratchDir& dir) { write_file(dir / "voxaria_server", ""); }

// While it rings one caller, datagrams from others wait as knocks.
using DaemonRinging = BadInput;
TEST_P(DaemonRinging, GoesOnRingingTheCaller) {
  answering_program_ended(dir);
  std::filesystem::copy_file(built("phone.au"), dir / "phone.au");
  auto daemon = run("voxariad", {});
  wait_until_bound(protocol::daemon_port);
  const UdpPeer caller, stranger;
  caller.send_to(protocol::daemon_port, protocol::knock, sizeof protocol::knock);
  ASSERT_TRUE(caller.receive());
  send_all(stranger, protocol::daemon_port);
  for (int ring = 0; ring < 2; ++ring) {
    const auto status = caller.receive(20s);
    ASSERT_TRUE(status) << daemon->out() << daemon->err();
    EXPECT_EQ(status->text(), "no");
  }
  EXPECT_FALSE(stranger.receive(100ms)) << "served another knock while ringing";
  EXPECT_TRUE(daemon->running());
}
INSTANTIATE_TEST_SUITE_P(Sizes, DaemonRinging, sizes, name_of);

// During a call they wait too; the first is the next knock.
using DaemonDuringACall = BadInput;
TEST_P(DaemonDuringACall, TakesTheFirstForTheNextKnock) {
  auto daemon = run("voxariad", {});
  wait_until_bound(protocol::daemon_port);
  const UdpPeer caller, stranger;
  caller.send_to(protocol::daemon_port, protocol::knock, sizeof protocol::knock);
  ASSERT_TRUE(caller.receive());
  const auto status = caller.receive();
  ASSERT_TRUE(status);
  EXPECT_EQ(status->text(), "yes");
  send_all(stranger, protocol::daemon_port);
  answering_program_ended(dir);
  const auto greeting = stranger.receive(20s);
  ASSERT_TRUE(greeting) << daemon->out() << daemon->err();
  EXPECT_EQ(greeting->text(), protocol::greeting);
  EXPECT_TRUE(daemon->running());
}
INSTANTIATE_TEST_SUITE_P(Sizes, DaemonDuringACall, sizes, name_of);

}  // namespace
}  // namespace voxaria::test
