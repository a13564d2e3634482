#include "transport.hpp"

#include <sys/select.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>

#include <cstring>
#include <new>

#include "console.hpp"
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

}  // namespace

void latch_peer() { latched_peer = *profile.peer; }

int receive_audio() {
  for (;;) {
    sockaddr_in sender{};
    socklen_t sender_len = sizeof sender;
    const ssize_t got = recvfrom(profile.call_socket, receive_buffer.data() + gathered,
                                 static_cast<std::size_t>(compressed_size - gathered), 0,
                                 reinterpret_cast<sockaddr*>(&sender), &sender_len);
    if (got < 0) {
      message(profile.receive_failure);
      return -1;
    }
    // Anyone else's datagram is neither voice nor a reason to send ours there.
    if (same_endpoint(sender, latched_peer)) {
      *profile.peer = sender;
      *profile.peer_len = sender_len;
      gathered += static_cast<int>(got);
      if (gathered == compressed_size) break;
    }
    if (gathered == 0 || !wait_for_rest()) return 0;
  }
  gathered = 0;
  enqueue(&headPtr, &tailPtr);
  return 0;
}

int transmit_audio() {
  const ssize_t sent =
      sendto(profile.call_socket, transmit_buffer.data(), static_cast<std::size_t>(compressed_size),
             0, reinterpret_cast<const sockaddr*>(profile.peer), sizeof(sockaddr_in));
  if (sent < 0) {
    message("Connection closed by foreign host.");
    return -1;
  }
  return 0;
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
