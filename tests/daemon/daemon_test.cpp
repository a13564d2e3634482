// The ring daemon, run for real on its UDP port, with a caller of the
// test's own and the simulated card playing the ring into a file.

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cstdio>
#include <sstream>
#include <thread>

#include "harness.hpp"
#include "protocol.hpp"

namespace voxaria::test {
namespace {

namespace protocol = voxaria::protocol;

constexpr const char* speed = "SIMCARD_SPEED=20";  // a 7-second pause takes 0.35 s

std::vector<std::uint8_t> bytes_of(const char* data, std::size_t size) {
  return {data, data + size};
}
std::vector<std::uint8_t> greeting() {
  return bytes_of(protocol::greeting, sizeof protocol::greeting);
}
std::vector<std::uint8_t> ring_no() {
  return bytes_of(protocol::ring_status_no.data(), protocol::ring_status_size);
}
std::vector<std::uint8_t> ring_yes() {
  return bytes_of(protocol::ring_status_yes.data(), protocol::ring_status_size);
}

class Daemon : public testing::Test {
 protected:
  ScratchDir home;  // the callee's directory
  Card card{home.path, "daemon", {speed}};
  bool had_dev_audio = fs::exists("/dev/audio");

  void SetUp() override { fs::copy_file(built("phone.au"), home / "phone.au"); }
  void TearDown() override {
    // The ring must never reach the real /dev/audio, which root would create.
    EXPECT_EQ(had_dev_audio, fs::exists("/dev/audio"));
  }

  // An answering program file that nobody runs yet: a harmless program.
  void install_answering_program() { fs::copy_file("/bin/sleep", home / "voxaria_server"); }
  std::unique_ptr<Process> run_answering_program() {
    return spawn({.argv = {(home / "voxaria_server").string(), "600"},
                  .cwd = home.path,
                  .output_prefix = home / "callee"});
  }
  // The daemon in the callee's directory, once it has bound its port.
  std::unique_ptr<Process> start(bool close_stdin = false) {
    return start_as({built("voxariad").string()}, card.env(), close_stdin);
  }
  std::unique_ptr<Process> start_as(std::vector<std::string> argv, std::vector<std::string> env,
                                    bool close_stdin = false) {
    auto daemon = spawn({.argv = std::move(argv),
                         .env = std::move(env),
                         .cwd = home.path,
                         .output_prefix = home / "voxariad",
                         .close_stdin = close_stdin});
    wait_until_bound(protocol::daemon_port);
    return daemon;
  }
  static void knock(const UdpPeer& caller) {
    caller.send_to(protocol::daemon_port, protocol::knock, sizeof protocol::knock);
  }
  static std::vector<std::uint8_t> next(const UdpPeer& caller, Seconds limit = 10s) {
    auto datagram = caller.receive(limit);
    return datagram ? datagram->bytes : std::vector<std::uint8_t>{};
  }
};

TEST_F(Daemon, GreetsThenSaysYesAtOnceWhenTheAnsweringProgramRuns) {
  install_answering_program();
  auto callee = run_answering_program();
  auto daemon = start();
  UdpPeer caller;
  knock(caller);
  EXPECT_EQ(next(caller), greeting());
  EXPECT_EQ(next(caller), ring_yes());
  EXPECT_FALSE(caller.receive(300ms)) << "nothing follows the go-ahead";
  EXPECT_EQ(daemon->out().find("trying to contact you"), std::string::npos);
  EXPECT_FALSE(fs::exists(card.ring())) << "no ring while the callee is answering";
}

TEST_F(Daemon, AnAbsentAnsweringProgramCountsAsRunning) {
  auto daemon = start();
  UdpPeer caller;
  knock(caller);
  EXPECT_EQ(next(caller), greeting());
  EXPECT_EQ(next(caller), ring_yes());
  EXPECT_FALSE(fs::exists(card.ring()));
}

TEST_F(Daemon, RingsAndSaysNoAfterEveryRingUntilTheCalleeAnswers) {
  install_answering_program();
  auto daemon = start();
  UdpPeer caller;
  knock(caller);
  ASSERT_EQ(next(caller), greeting());
  ASSERT_EQ(next(caller), ring_no());
  ASSERT_EQ(next(caller), ring_no());
  auto callee = run_answering_program();
  // The daemon may be in the middle of a ring or pause when the callee
  // starts: any "no" already under way comes first, then the go-ahead.
  auto reply = next(caller);
  while (reply == ring_no()) reply = next(caller);
  EXPECT_EQ(reply, ring_yes());

  const std::string out = daemon->out();
  const std::size_t rings = occurrences(out, "Please launch your Voxaria application.\n");
  EXPECT_GE(rings, 2u);
  EXPECT_EQ(occurrences(out,
                        "\n\nThe host localhost is trying to contact you by Voxaria.\n"
                        "Please launch your Voxaria application.\n"),
            rings);
  // Every ring played the whole sound, and a 7-second pause followed it.
  const auto sound = read_file(home / "phone.au");
  const auto played = read_file(card.ring());
  ASSERT_EQ(played.size(), rings * sound.size());
  for (std::size_t r = 0; r < rings; ++r)
    EXPECT_TRUE(std::equal(sound.begin(), sound.end(), played.begin() + r * sound.size()));
  const auto log_bytes = read_file(card.log());
  const std::string log(log_bytes.begin(), log_bytes.end());
  EXPECT_GE(occurrences(log, "sleep seconds=7.000000"), rings - 1);
}

TEST_F(Daemon, AnyDatagramIsAKnockEvenAnEmptyOne) {
  auto daemon = start();
  UdpPeer caller;
  caller.send_to(protocol::daemon_port, "", 0);
  EXPECT_EQ(next(caller), greeting());
  EXPECT_EQ(next(caller), ring_yes());
}

// CPU seconds a process has used so far (user and system).
double cpu_seconds(pid_t pid) {
  const std::string stat = read_text(fs::path("/proc") / std::to_string(pid) / "stat");
  std::istringstream fields(stat.substr(stat.rfind(')') + 2));
  std::string field;
  for (int i = 3; i < 14; ++i) fields >> field;  // up to utime, the 14th
  double user = 0, system = 0;
  fields >> user >> system;
  return (user + system) / static_cast<double>(sysconf(_SC_CLK_TCK));
}

TEST_F(Daemon, WaitsQuietlyForTheCallToEndThenGreetsTheNextCaller) {
  install_answering_program();
  auto callee = run_answering_program();
  auto daemon = start();
  UdpPeer first, second;
  knock(first);
  ASSERT_EQ(next(first), greeting());
  ASSERT_EQ(next(first), ring_yes());
  knock(second);
  const double cpu_before = cpu_seconds(daemon->pid);
  EXPECT_FALSE(second.receive(1s)) << "greeted while the first call lasts";
  // A daemon that spins on its probe burns the whole second; one that
  // pauses between probes, next to nothing.
  EXPECT_LT(cpu_seconds(daemon->pid) - cpu_before, 0.25) << "the wait for the call's end spins";

  const auto ended = std::chrono::steady_clock::now();
  callee->stop();
  EXPECT_EQ(next(second), greeting());
  const Seconds delay = std::chrono::steady_clock::now() - ended;
  RecordProperty("next_caller_greeted_ms", std::to_string(delay.count() * 1000));
  std::printf("next caller greeted %.1f ms after the call ended\n", delay.count() * 1000);
  EXPECT_EQ(next(second), ring_no()) << "nobody answers the second caller yet";
}

// Killed in the middle of a ring, the daemon can be started again at once:
// the ring's shell and cat do not hold on to its port.
TEST_F(Daemon, TheRingDoesNotKeepThePortFromARestartedDaemon) {
  install_answering_program();
  card.settings = {"SIMCARD_SPEED=1"};  // the ring lasts 1.8 s
  auto daemon = start();
  UdpPeer caller;
  knock(caller);
  ASSERT_EQ(next(caller), greeting());
  ASSERT_TRUE(daemon->wait_for_output("Please launch your Voxaria application.\n"));
  daemon->stop();
  // The ring's shell may hold the socket for the instant between its fork
  // and its exec; one that kept it would hold it for the whole ring.
  wait_until_free(protocol::daemon_port, 1s);
  auto again = spawn({.argv = {built("voxariad").string()},
                      .env = card.env(),
                      .cwd = home.path,
                      .output_prefix = home / "again"});
  wait_until_bound(protocol::daemon_port);
  ASSERT_TRUE(again->running()) << again->err();
  knock(caller);
  auto reply = next(caller);
  while (reply == ring_no()) reply = next(caller);  // the old ring's reply may be late
  EXPECT_EQ(reply, greeting());
}

// A reader of the notices that has gone must not end the daemon.
TEST_F(Daemon, GoesOnRingingWhenItsOutputIsABrokenPipe) {
  install_answering_program();
  // bash becomes the daemon, its output a pipe whose reader exits at once.
  auto daemon =
      start_as({"/bin/bash", "-c", "exec \"$0\" > >(exit 0)", built("voxariad").string()}, card.env());
  UdpPeer caller;
  knock(caller);
  EXPECT_EQ(next(caller), greeting());
  EXPECT_EQ(next(caller), ring_no());
  EXPECT_EQ(next(caller), ring_no()) << "the daemon died at its first notice";
}

// With nothing to serve /dev/audio, the shell's redirection would create a
// regular file there (root may write /dev): the ring stays silent instead.
TEST_F(Daemon, NeverCreatesDevAudioWhenNothingServesIt) {
  if (geteuid() != 0) GTEST_SKIP() << "only root could create /dev/audio";
  if (had_dev_audio) GTEST_SKIP() << "this host has a /dev/audio";
  install_answering_program();
  auto daemon = start_as({built("voxariad").string()}, {});  // no card, no layer
  UdpPeer caller;
  knock(caller);
  EXPECT_EQ(next(caller), greeting());
  EXPECT_EQ(next(caller), ring_no());
  EXPECT_TRUE(daemon->wait_for_output("Please launch your Voxaria application.\n"));
  EXPECT_FALSE(fs::exists("/dev/audio"));
}

TEST_F(Daemon, ReportsABusyPortAndExitsWith255) {
  UdpPeer squatter("0.0.0.0", protocol::daemon_port);
  auto daemon = spawn({.argv = {built("voxariad").string()},
                       .env = card.env(),
                       .cwd = home.path,
                       .output_prefix = home / "voxariad"});
  EXPECT_EQ(daemon->wait_exit(), 255);
  EXPECT_EQ(daemon->err(), "bind: Address already in use\n");
  EXPECT_EQ(daemon->out(), "");
}

TEST_F(Daemon, StillRingsWhenStartedWithStandardInputClosed) {
  install_answering_program();
  auto daemon = start(/*close_stdin=*/true);
  UdpPeer caller;
  knock(caller);
  EXPECT_EQ(next(caller), greeting());
  EXPECT_EQ(next(caller), ring_no())
      << "a probe on descriptor 0 must not pass for a running callee";
  EXPECT_TRUE(daemon->wait_for_output("Please launch your Voxaria application."));
}

TEST_F(Daemon, NamesACallerWithoutAHostNameByItsAddress) {
  if (!in_private_network()) {
    // Outside a private namespace the reverse lookup may wait on a name
    // server that is not there.
    GTEST_SKIP() << "needs a network namespace of its own (run as root)";
  }
  install_answering_program();
  auto daemon = start();
  UdpPeer caller("127.0.0.2");
  knock(caller);
  ASSERT_EQ(next(caller), greeting());
  EXPECT_EQ(next(caller), ring_no());
  EXPECT_TRUE(daemon->wait_for_output("The host 127.0.0.2 is trying to contact you by Voxaria.\n"));
}

}  // namespace
}  // namespace voxaria::test
