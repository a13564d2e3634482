// Voice payloads between the call socket and the call loop, and the queue
// in which received payloads wait until the local talker falls silent.
#pragma once

#include <array>
#include <cstdint>

namespace voxaria {

extern const int compressed_size;  // one voice payload, 64 bytes

using PayloadBuffer = std::array<std::uint8_t, 128>;
extern PayloadBuffer receive_buffer;     // a payload being gathered from the socket
extern PayloadBuffer transmit_buffer;    // the payload to send
extern PayloadBuffer compressed_buffer;  // the coder's output, or a payload taken from the queue

struct QueueNode {
  PayloadBuffer payload;
  QueueNode* next;
};
extern QueueNode* headPtr;  // oldest
extern QueueNode* tailPtr;  // newest

// Remembers the profile's current peer as the only sender whose datagrams
// count as voice from now on.
void latch_peer();

// Set once the peer's hang-up has arrived; it is never queued as voice.
extern bool peer_hung_up;

// Gathers one payload and queues it: 0, or -1 after a report when a receive
// fails. A datagram from anyone but the latched peer is dropped, and so is an
// empty one; when it was all there was, nothing is queued and the result is
// still 0. Short datagrams from the peer add up to one payload; while it is
// incomplete this waits for the rest, but hands back (0, nothing queued yet,
// the part kept for the next call) as soon as standard input is readable, so
// that a hang-up is never held up by a payload that will not be completed.
int receive_audio();
// Takes every datagram that has already arrived, never waiting for the
// rest of a payload: a talker must not stop recording. 0, or -1 after a
// report when a receive fails.
int receive_arrived();
// Sends the payload in transmit_buffer to the peer: 0, or -1 after a report.
// A peer whose socket is closed (its host refuses the datagram) is gone,
// unless its hang-up waits among what has arrived: then peer_hung_up is
// set and the result is 0. The same holds for receive_audio.
int transmit_audio();
// Sends the hang-up, coded from the outgoing stream's state, as many times
// as one loss needs; a peer that is gone already is no failure.
void transmit_hang_up();

void enqueue(QueueNode** head, QueueNode** tail);
// Takes the oldest payload into compressed_buffer; the queue must not be empty.
void dequeue(QueueNode** head, QueueNode** tail);
int isEmpty(const QueueNode* node);

}  // namespace voxaria
