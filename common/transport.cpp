#include "transport.hpp"

#include <sys/select.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>

#include <cerrno>
#include <cstring>
#include <new>

#include "adpcm.hpp"
#include "console.hpp"
#include "hang_up.hpp"
#include "peer.hpp"
#include "profile.hpp"
#include "protocol.hpp"

namespace voxaria {

const int compressed_size = static_cast<int>(protocol::voice_payload_size);

PayloadBuffer receive_buffer{};
PayloadBuffer transmit_buffer{};
PayloadBuffer compressed_buffer{};
QueueNode* headPtr = nullptr;
QueueNode* tailPtr = nullptr;

bool peer_hung_up = false;

namespace {

sockaddr_in latched_peer{};

// How much of the payload in receive_buffer has arrived. It outlives a call
// of receive_audio, so that one that hands back before its payload is whole
// goes on with it the next time.
int gathered = 0;

// Waits until the call socket or standard input is readable; true for the
// socket. While a payload is incomplete the rest may never come, and input
// on standard input must still reach the call loop's hang-up check.
bool wait_for_rest() {
  fd_set set;
  FD_ZERO(&set);
  FD_SET(profile.call_socket, &set);
  FD_SET(STDIN_FILENO, &set);
  const int nfds = std::max(profile.call_socket, STDIN_FILENO) + 1;
  if (select(nfds, &set, nullptr, nullptr, nullptr) < 0) return false;
  return FD_ISSET(profile.call_socket, &set);
}

// Takes one datagram into the payload being gathered, and a payload made
// whole into the queue, or as the peer's hang-up; -1 when the receive
// fails, errno telling why.
int take_datagram(int flags) {
  sockaddr_in sender{};
  socklen_t sender_len = sizeof sender;
  const ssize_t got = recvfrom(profile.call_socket, receive_buffer.data() + gathered,
                               static_cast<std::size_t>(compressed_size - gathered), flags,
                               reinterpret_cast<sockaddr*>(&sender), &sender_len);
  if (got < 0) return -1;
  // Anyone else's datagram is neither voice nor a reason to send ours there.
  if (!same_endpoint(sender, latched_peer)) return 0;
  *profile.peer = sender;
  *profile.peer_len = sender_len;
  gathered += static_cast<int>(got);
  if (gathered < compressed_size) return 0;
  gathered = 0;
  if (is_hang_up(receive_buffer.data()))
    peer_hung_up = true;
  else
    enqueue(&headPtr, &tailPtr);
  return 0;
}

// The kernel reports a refusal ahead of the datagrams already queued: a
// peer that hung up and closed its socket left its hang-up there.
bool hung_up_before_refusing() {
  while (take_datagram(MSG_DONTWAIT) == 0) {
  }
  return peer_hung_up;
}

bool nothing_more(int error) { return error == EAGAIN || error == EWOULDBLOCK; }

}  // namespace

void latch_peer() { latched_peer = *profile.peer; }

int receive_audio() {
  do {
    if (take_datagram(0) == -1) {
      if (refused(errno) && hung_up_before_refusing()) return 0;
      message(profile.receive_failure);
      return -1;
    }
  } while (gathered != 0 && wait_for_rest());
  return 0;
}

int receive_arrived() {
  while (take_datagram(MSG_DONTWAIT) == 0) {
  }
  if (nothing_more(errno) || (refused(errno) && hung_up_before_refusing())) return 0;
  message(profile.receive_failure);
  return -1;
}

int transmit_audio() {
  const ssize_t sent =
      sendto(profile.call_socket, transmit_buffer.data(), static_cast<std::size_t>(compressed_size),
             0, reinterpret_cast<const sockaddr*>(profile.peer), sizeof(sockaddr_in));
  if (sent < 0) {
    if (refused(errno) && hung_up_before_refusing()) return 0;
    message("Connection closed by foreign host.");
    return -1;
  }
  return 0;
}

void transmit_hang_up() {
  code_hang_up(transmit_buffer.data(), code);
  for (int i = 0; i < hang_up_copies; ++i)
    sendto(profile.call_socket, transmit_buffer.data(), hang_up_bytes, 0,
           reinterpret_cast<const sockaddr*>(profile.peer), sizeof(sockaddr_in));
}

void enqueue(QueueNode** head, QueueNode** tail) {
  auto* node = new (std::nothrow) QueueNode;
  if (node == nullptr) {
    message("Memory exhausted. Cannot add any more audio buffers.");
    return;
  }
  std::memcpy(node->payload.data(), receive_buffer.data(),
              static_cast<std::size_t>(compressed_size));
  node->next = nullptr;
  if (isEmpty(*head))
    *head = node;
  else
    (*tail)->next = node;
  *tail = node;
}

void dequeue(QueueNode** head, QueueNode** tail) {
  QueueNode* oldest = *head;
  std::memcpy(compressed_buffer.data(), oldest->payload.data(),
              static_cast<std::size_t>(compressed_size));
  *head = oldest->next;
  if (*head == nullptr) *tail = nullptr;
  delete oldest;
}

int isEmpty(const QueueNode* node) { return node == nullptr ? 1 : 0; }

}  // namespace voxaria
