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

#include "card_record.hpp"
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

// Card times at which the ring's player began a sound.
std::vector<double> ring_starts(const Card& card) {
  std::vector<double> starts;
  for (const auto& e : report::events_of_kind(report::read_card_log(card.log()), "audio-open"))
    starts.push_back(e.time);
  return starts;
}

TEST_F(Daemon, RingsWithItsCadenceSayingNoUntilTheCalleeAnswers) {
  install_answering_program();
  auto daemon = start();
  UdpPeer caller;
  knock(caller);
  ASSERT_EQ(next(caller), greeting());
  // A "no" after every ring and every second besides: the caller takes
  // each for "still ringing".
  while (occurrences(daemon->out(), "Please launch") < 3) ASSERT_EQ(next(caller), ring_no());
  auto callee = run_answering_program();
  auto reply = next(caller);
  while (reply == ring_no()) reply = next(caller);
  EXPECT_EQ(reply, ring_yes());

  const std::string out = daemon->out();
  const std::size_t rings = occurrences(out, "Please launch your Voxaria application.\n");
  EXPECT_EQ(occurrences(out,
                        "\n\nThe host localhost is trying to contact you by Voxaria.\n"
                        "Please launch your Voxaria application.\n"),
            rings);
  // Every ring but the one the callee may have cut short played the whole
  // sound, and 7 seconds of quiet followed it.
  const auto sound = read_file(home / "phone.au");
  const auto played = read_file(card.ring());
  ASSERT_GE(played.size(), (rings - 1) * sound.size());
  for (std::size_t r = 0; r + 1 < rings; ++r)
    EXPECT_TRUE(std::equal(sound.begin(), sound.end(), played.begin() + r * sound.size()));
  const auto starts = ring_starts(card);
  ASSERT_GE(starts.size(), 3u);
  // The card's clock, 20 times faster, also scales the daemon's own work
  // between its waits: a loaded machine stretches a card second a little.
  const double sound_seconds = static_cast<double>(sound.size()) / 8000;
  for (std::size_t r = 1; r < starts.size(); ++r) {
    EXPECT_GT(starts[r] - starts[r - 1], sound_seconds + 6.9) << "ring " << r;
    EXPECT_LT(starts[r] - starts[r - 1], (sound_seconds + 7) * 1.25) << "ring " << r;
  }
}

// Answered in the middle of a pause, the caller hears "yes" at once, not
// at the end of the pause.
TEST_F(Daemon, SaysYesAtOnceWhenAnsweredInThePause) {
  install_answering_program();
  card.settings = {"SIMCARD_SPEED=1"};
  auto daemon = start();
  UdpPeer caller;
  knock(caller);
  ASSERT_EQ(next(caller), greeting());
  const auto sound = read_file(home / "phone.au");
  const auto deadline = std::chrono::steady_clock::now() + 10s;
  while (read_file(card.ring()).size() < sound.size() && std::chrono::steady_clock::now() < deadline)
    std::this_thread::sleep_for(10ms);
  ASSERT_EQ(read_file(card.ring()).size(), sound.size()) << "the first ring was not played";
  std::this_thread::sleep_for(2s);  // well into the 7-second pause
  const auto answered = std::chrono::steady_clock::now();
  auto callee = run_answering_program();
  auto reply = next(caller);
  while (reply == ring_no()) reply = next(caller);
  const Seconds delay = std::chrono::steady_clock::now() - answered;
  EXPECT_EQ(reply, ring_yes());
  std::printf("\"yes\" %.0f ms after the answer, 2 s into the pause\n", delay.count() * 1000);
  EXPECT_LT(delay.count(), 1.0) << "the pause was waited out";
  EXPECT_EQ(occurrences(daemon->out(), "Please launch"), 1u);
}

// A caller whose socket has closed (Enter, Ctrl-C, kill: its host refuses
// the next "no") is rung no more, and the next caller is served at once.
TEST_F(Daemon, StopsRingingForACallerThatHasGone) {
  install_answering_program();
  card.settings = {"SIMCARD_SPEED=1"};
  auto daemon = start();
  auto gone = std::make_unique<UdpPeer>();
  knock(*gone);
  ASSERT_EQ(next(*gone), greeting());
  ASSERT_TRUE(daemon->wait_for_output("Please launch your Voxaria application.\n"));
  UdpPeer next_caller;
  knock(next_caller);
  gone.reset();
  const auto ended = std::chrono::steady_clock::now();
  ASSERT_TRUE(daemon->wait_for_output("Connection closed by client.\n", 5s)) << daemon->out();
  EXPECT_EQ(next(next_caller), greeting());
  const Seconds greeted = std::chrono::steady_clock::now() - ended;
  std::printf("next caller greeted %.2f s after the first had gone\n", greeted.count());
  EXPECT_LT(greeted.count(), 4.0);
  const std::string out = daemon->out();
  EXPECT_EQ(occurrences(out.substr(0, out.find("Connection closed")), "Please launch"), 1u)
      << "rang again for a caller that had gone";
  EXPECT_EQ(next(next_caller), ring_no()) << "the next caller is rung as any other";
}

// A caller that never answers for itself (a forged address, a firewall) is
// rung for a minute, then the next caller is served.
TEST_F(Daemon, RingsACallerThatCannotBeHeardFromForAMinuteAtMost) {
  install_answering_program();
  auto daemon = start();
  UdpPeer silent, next_caller;  // silent keeps its port: no refusal ever comes
  knock(silent);
  knock(next_caller);
  ASSERT_TRUE(daemon->wait_for_output("Connection closed by client.\n", 20s)) << daemon->out();
  EXPECT_EQ(next(next_caller), greeting());
  // A ring and its pause take 7.9 s: a minute holds 8 of them, or 7 where
  // a loaded machine stretches the card's seconds.
  const auto rings = ring_starts(card).size();
  EXPECT_LE(rings, 8u) << "rang for more than a minute";
  EXPECT_GE(rings, 7u) << "gave up early";
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

// A name server that does not answer holds up neither the greeting nor the
// ring: the caller is named by its address when its name comes too late.
TEST_F(Daemon, GreetsAndRingsWithoutWaitingForTheNameServer) {
  const auto name_server = use_silent_name_server(home.path);
  if (!name_server) GTEST_SKIP() << "needs network and mount namespaces of its own (run as root)";
  install_answering_program();
  auto daemon = start();
  UdpPeer caller("127.0.0.2");
  const auto knocked = std::chrono::steady_clock::now();
  knock(caller);
  ASSERT_EQ(next(caller), greeting());
  const Seconds greeted = std::chrono::steady_clock::now() - knocked;
  ASSERT_TRUE(daemon->wait_for_output("The host 127.0.0.2 is trying to contact you by Voxaria.\n"));
  const Seconds rung = std::chrono::steady_clock::now() - knocked;
  std::printf("greeting %.2f s, ring notice %.2f s after the knock\n", greeted.count(),
              rung.count());
  EXPECT_LT(greeted.count(), 1.0);
  EXPECT_LT(rung.count(), 2.0);
  EXPECT_TRUE(name_server->receive(0s)) << "the name server was not asked";
}

}  // namespace
}  // namespace voxaria::test
