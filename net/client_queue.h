// A client's bounded queue of whole messages between its signal path and its
// socket. The buffers are allocated once per client; a client that reads too
// slowly loses its oldest messages, never the one partly on the wire.
//
//   filling (producer) -> entries[0 .. count) oldest first -> sending (socket)
//   each a buffer of kQueueBufferBytes out of one allocation of kQueueBuffers
#pragma once

#include <winsock2.h>

#include <stdint.h>

const int kQueueEntries = 32;  // about 0.3 s of 10 ms messages
const int kQueueBuffers = kQueueEntries + 2;
const int kQueueBufferBytes = 65536 + 64;  // a message body and its header

struct QueueEntry {
  uint8_t* data;
  int length;
  bool keep;  // a reply the client waits for: never dropped
};

struct ClientQueue {
  uint8_t* memory;  // all buffers; null while not initialised
  QueueEntry entries[kQueueEntries];
  int count;
  uint8_t* spare[kQueueBuffers];  // buffers neither queued nor on the wire
  int spareCount;
  uint8_t* sending;  // message partly sent, or null
  int sendLength;
  int sent;
  int64_t dropped;  // messages lost to a slow reader since QueueTakeDrops
};

bool QueueInit(ClientQueue& q);
// Takes every buffer back, queued, on the wire or being filled: for the next client.
void QueueReset(ClientQueue& q);
void QueueFree(ClientQueue& q);  // harmless twice

// A buffer to fill; when none is spare the oldest droppable message gives its own.
uint8_t* QueueTake(ClientQueue& q);

// Queues a buffer from QueueTake with length bytes filled; length 0 returns it.
void QueuePush(ClientQueue& q, uint8_t* buffer, int length, bool keep);

// Drops every queued message that is not kept, without counting it as lost: what
// was queued before a change of settings is stale.
void QueueFlush(ClientQueue& q);

// Sends on a non-blocking socket until it would block or nothing is left; false
// on a socket error.
bool QueueSend(ClientQueue& q, SOCKET s);

bool QueueEmpty(const ClientQueue& q);

// True while the queue is less than half full: a message that may be skipped
// (a spectrum frame) goes in only then, so it never crowds out the samples of a
// client that reads too slowly.
bool QueueHasRoom(const ClientQueue& q);

// Counts a message dropped before it was queued.
void QueueCountDrop(ClientQueue& q);

int64_t QueueTakeDrops(ClientQueue& q);
