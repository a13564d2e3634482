// The voice transport over real UDP sockets on loopback, and the playback
// queue.

#include "transport.hpp"

#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <numeric>

#include "harness.hpp"
#include "profile.hpp"

namespace voxaria {
namespace {

using test::UdpPeer;
using namespace std::chrono_literals;

std::vector<std::uint8_t> payload(std::uint8_t first) {
  std::vector<std::uint8_t> bytes(64);
  std::iota(bytes.begin(), bytes.end(), first);
  return bytes;
}

std::vector<std::uint8_t> queued_payloads() {
  std::vector<std::uint8_t> all;
  while (!isEmpty(headPtr)) {
    dequeue(&headPtr, &tailPtr);
    all.insert(all.end(), compressed_buffer.begin(), compressed_buffer.begin() + compressed_size);
  }
  return all;
}

class Transport : public testing::Test {
 protected:
  UdpPeer local;  // the call socket of the program under test
  UdpPeer peer;   // the other end of the call
  sockaddr_in peer_address = peer.address();
  socklen_t peer_len = sizeof peer_address;

  void SetUp() override {
    profile = Profile{.call_socket = local.fd,
                      .peer = &peer_address,
                      .peer_len = &peer_len,
                      .receive_failure = "RECEIVE FAILED"};
    latch_peer();
  }
  void TearDown() override { queued_payloads(); }
  void from_peer(const std::vector<std::uint8_t>& bytes) const {
    peer.send_to(local.port(), bytes.data(), bytes.size());
  }
};

TEST_F(Transport, QueuesWhatArrivesOldestFirst) {
  for (std::uint8_t first : {0, 100, 200}) from_peer(payload(first));
  for (int i = 0; i < 3; ++i) ASSERT_EQ(receive_audio(), 0);
  auto expected = payload(0);
  for (std::uint8_t first : {100, 200}) {
    const auto more = payload(first);
    expected.insert(expected.end(), more.begin(), more.end());
  }
  EXPECT_EQ(queued_payloads(), expected);
  EXPECT_EQ(headPtr, nullptr);
  EXPECT_EQ(tailPtr, nullptr);
}

TEST_F(Transport, GathersAPayloadFromShortDatagrams) {
  const auto whole = payload(1);
  from_peer({whole.begin(), whole.begin() + 32});
  from_peer({whole.begin() + 32, whole.end()});
  ASSERT_EQ(receive_audio(), 0);
  EXPECT_EQ(queued_payloads(), whole) << "two 32-byte datagrams make one block";
}

TEST_F(Transport, KeepsOnlyWhatFitsOfALongDatagram) {
  auto longer = payload(7);
  longer.resize(100, 0xEE);
  from_peer(longer);
  ASSERT_EQ(receive_audio(), 0);
  EXPECT_EQ(queued_payloads(), payload(7));
}

TEST_F(Transport, RemovingTheOnlyNodeEmptiesTheQueueAndTheNextFillsIt) {
  from_peer(payload(0));
  ASSERT_EQ(receive_audio(), 0);
  dequeue(&headPtr, &tailPtr);
  EXPECT_EQ(headPtr, nullptr);
  EXPECT_EQ(tailPtr, nullptr);
  from_peer(payload(9));
  ASSERT_EQ(receive_audio(), 0);
  EXPECT_NE(headPtr, nullptr);
  EXPECT_EQ(headPtr, tailPtr);
  EXPECT_EQ(isEmpty(headPtr), 0);
}

TEST_F(Transport, SendsThePayloadToThePeer) {
  const auto bytes = payload(42);
  std::copy(bytes.begin(), bytes.end(), transmit_buffer.begin());
  ASSERT_EQ(transmit_audio(), 0);
  const auto got = peer.receive(2s);
  ASSERT_TRUE(got);
  EXPECT_EQ(got->bytes, bytes);
}

// Nobody but the peer of the call can be heard, or take over where our
// voice goes, with a datagram of their own.
TEST_F(Transport, DropsDatagramsFromAnyoneButThePeer) {
  const UdpPeer stranger("127.0.0.2");
  stranger.send_to(local.port(), payload(50).data(), 64);
  ASSERT_EQ(receive_audio(), 0);
  EXPECT_EQ(headPtr, nullptr) << "a stranger's datagram was queued";
  EXPECT_EQ(peer_address.sin_addr.s_addr, peer.address().sin_addr.s_addr);

  const UdpPeer same_host;  // another port of the peer's own host is a stranger too
  const auto whole = payload(3);
  from_peer({whole.begin(), whole.begin() + 32});
  same_host.send_to(local.port(), payload(90).data(), 32);
  from_peer({whole.begin() + 32, whole.end()});
  ASSERT_EQ(receive_audio(), 0);
  EXPECT_EQ(queued_payloads(), whole);

  std::copy(whole.begin(), whole.end(), transmit_buffer.begin());
  ASSERT_EQ(transmit_audio(), 0);
  EXPECT_TRUE(peer.receive(2s)) << "voice still goes to the peer";
  EXPECT_FALSE(stranger.receive(100ms));
}

TEST_F(Transport, ReportsAFailedReceive) {
  profile.call_socket = -1;
  testing::internal::CaptureStdout();
  EXPECT_EQ(receive_audio(), -1);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "RECEIVE FAILED\n");
  testing::internal::CaptureStdout();
  EXPECT_EQ(transmit_audio(), -1);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "Connection closed by foreign host.\n");
}


// While a payload is incomplete, input on standard input hands back to the
// call loop (whose hang-up check follows) instead of waiting for the rest;
// the part is kept and completed by the next receive.
TEST_F(Transport, HandsBackAnIncompletePayloadWhenStandardInputIsReadable) {
  const int saved_stdin = dup(STDIN_FILENO);
  int input[2];
  ASSERT_EQ(pipe(input), 0);
  dup2(input[0], STDIN_FILENO);
  ASSERT_EQ(write(input[1], "\n", 1), 1);
  const auto whole = payload(5);
  from_peer({whole.begin(), whole.begin() + 13});
  EXPECT_EQ(receive_audio(), 0);
  EXPECT_EQ(headPtr, nullptr);
  from_peer({whole.begin() + 13, whole.end()});
  EXPECT_EQ(receive_audio(), 0);
  dup2(saved_stdin, STDIN_FILENO);
  for (int fd : {saved_stdin, input[0], input[1]}) close(fd);
  EXPECT_EQ(queued_payloads(), whole);
}

// The call socket, connected, hears that the peer's socket has closed; what
// the peer sent before it closed is still taken, its hang-up included.
TEST_F(Transport, TellsAPeerThatHungUpFromOneThatIsGone) {
  std::vector<std::uint8_t> hang_up(64, 0x88);
  std::fill(hang_up.begin(), hang_up.begin() + 44, 0x00);
  for (bool hung_up : {true, false}) {
    SCOPED_TRACE(hung_up ? "hung up" : "gone");
    const UdpPeer call;
    auto leaving = std::make_unique<UdpPeer>();
    sockaddr_in to = leaving->address();
    socklen_t to_len = sizeof to;
    profile = Profile{
        .call_socket = call.fd, .peer = &to, .peer_len = &to_len, .receive_failure = "GONE"};
    latch_peer();
    peer_hung_up = false;
    ASSERT_EQ(connect(call.fd, reinterpret_cast<const sockaddr*>(&to), sizeof to), 0);
    leaving->send_to(call.port(), payload(1).data(), 64);
    if (hung_up) leaving->send_to(call.port(), hang_up.data(), hang_up.size());
    leaving.reset();
    ASSERT_EQ(transmit_audio(), 0) << "the send goes out; the refusal comes back after it";
    pollfd refused{call.fd, 0, 0};
    ASSERT_EQ(poll(&refused, 1, 2000), 1) << "no refusal came back";
    testing::internal::CaptureStdout();
    const int result = receive_arrived();
    EXPECT_EQ(testing::internal::GetCapturedStdout(), hung_up ? "" : "GONE\n");
    EXPECT_EQ(result, hung_up ? 0 : -1);
    EXPECT_EQ(peer_hung_up, hung_up);
    EXPECT_EQ(queued_payloads(), payload(1)) << "what came before is lost";
  }
  peer_hung_up = false;
}

}  // namespace
}  // namespace voxaria
