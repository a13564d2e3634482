#include "transport.hpp"

#include <sys/select.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <array>

#include <cerrno>
#include <cstring>
#include <ctime>
#include <new>
#include <string>

#include "console.hpp"
#include "loss_recovery.hpp"
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

// When the kernel took in the datagram just received, in seconds; where it
// gave no stamp, now (which only delays what the arrival times tell).
double arrival_time(msghdr& header) {
  for (cmsghdr* c = CMSG_FIRSTHDR(&header); c != nullptr; c = CMSG_NXTHDR(&header, c))
    if (c->cmsg_level == SOL_SOCKET && c->cmsg_type == SCM_TIMESTAMPNS) {
      timespec stamp{};
      std::memcpy(&stamp, CMSG_DATA(c), sizeof stamp);
      return static_cast<double>(stamp.tv_sec) + static_cast<double>(stamp.tv_nsec) * 1e-9;
    }
  timespec now{};
  clock_gettime(CLOCK_REALTIME, &now);
  return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) * 1e-9;
}

// One datagram into the payload being gathered, with its sender and arrival.
ssize_t receive_part(sockaddr_in& sender, socklen_t& sender_len, double& arrival) {
  iovec part{receive_buffer.data() + gathered,
             static_cast<std::size_t>(compressed_size - gathered)};
  alignas(cmsghdr) std::array<char, CMSG_SPACE(sizeof(timespec))> control{};
  msghdr header{};
  header.msg_name = &sender;
  header.msg_namelen = sender_len;
  header.msg_iov = &part;
  header.msg_iovlen = 1;
  header.msg_control = control.data();
  header.msg_controllen = control.size();
  const ssize_t got = recvmsg(profile.call_socket, &header, 0);
  sender_len = header.msg_namelen;
  if (got >= 0) arrival = arrival_time(header);
  return got;
}

// The next block's gap mark, known once its payload is whole.
int arrival_gap = 0;

}  // namespace

void latch_peer() {
  latched_peer = *profile.peer;
  // Arrival stamps tell a lost datagram from the talker's pace; without them
  // the call goes on as it always did.
  const int on = 1;
  if (setsockopt(profile.call_socket, SOL_SOCKET, SO_TIMESTAMPNS, &on, sizeof on) != 0)
    message(std::string("setsockopt(SO_TIMESTAMPNS) on the call socket: ") + std::strerror(errno));
}

int dequeued_gap = 0;

int receive_audio() {
  for (;;) {
    sockaddr_in sender{};
    socklen_t sender_len = sizeof sender;
    double arrival = 0;
    const ssize_t got = receive_part(sender, sender_len, arrival);
    if (got < 0) {
      message(profile.receive_failure);
      return -1;
    }
    // Anyone else's datagram is neither voice nor a reason to send ours there.
    if (same_endpoint(sender, latched_peer)) {
      *profile.peer = sender;
      *profile.peer_len = sender_len;
      gathered += static_cast<int>(got);
      if (gathered == compressed_size) {
        gathered = 0;
        if (repeats_last(receive_buffer.data(), static_cast<std::size_t>(compressed_size), arrival))
          return 0;
        arrival_gap = note_arrival(arrival);
        break;
      }
    }
    if (gathered == 0 || !wait_for_rest()) return 0;
  }
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
  node->gap_blocks_ago = arrival_gap;
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
  dequeued_gap = oldest->gap_blocks_ago;
  *head = oldest->next;
  if (*head == nullptr) *tail = nullptr;
  delete oldest;
}

int isEmpty(const QueueNode* node) { return node == nullptr ? 1 : 0; }

}  // namespace voxaria
