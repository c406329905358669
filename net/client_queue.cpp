#include "client_queue.h"

#include <stdlib.h>
#include <string.h>

void QueueReset(ClientQueue& q) {
  uint8_t* memory = q.memory;
  memset(&q, 0, sizeof q);
  q.memory = memory;
  if (!memory) return;
  for (int i = 0; i < kQueueBuffers; i++) q.spare[i] = memory + size_t(i) * kQueueBufferBytes;
  q.spareCount = kQueueBuffers;
}

bool QueueInit(ClientQueue& q) {
  q.memory = static_cast<uint8_t*>(malloc(size_t(kQueueBuffers) * kQueueBufferBytes));
  QueueReset(q);
  return q.memory != nullptr;
}

void QueueFree(ClientQueue& q) {
  free(q.memory);
  memset(&q, 0, sizeof q);
}

static void removeEntry(ClientQueue& q, int index) {
  q.spare[q.spareCount++] = q.entries[index].data;
  memmove(&q.entries[index], &q.entries[index + 1],
          sizeof(QueueEntry) * size_t(q.count - index - 1));
  q.count--;
}

// Makes room by dropping the oldest message that is not kept (the oldest of all
// when every one is).
static void dropOldest(ClientQueue& q) {
  int victim = 0;
  while (victim < q.count - 1 && q.entries[victim].keep) victim++;
  removeEntry(q, victim);
  q.dropped++;
}

uint8_t* QueueTake(ClientQueue& q) {
  if (q.spareCount == 0) dropOldest(q);
  return q.spare[--q.spareCount];
}

void QueuePush(ClientQueue& q, uint8_t* buffer, int length, bool keep) {
  if (length <= 0) {
    q.spare[q.spareCount++] = buffer;
    return;
  }
  if (q.count == kQueueEntries) dropOldest(q);
  q.entries[q.count++] = QueueEntry{buffer, length, keep};
}

void QueueFlush(ClientQueue& q) {
  for (int i = q.count - 1; i >= 0; i--) {
    if (!q.entries[i].keep) removeEntry(q, i);
  }
}

bool QueueEmpty(const ClientQueue& q) {
  return q.count == 0 && !q.sending;
}

bool QueueSend(ClientQueue& q, SOCKET s) {
  for (;;) {
    if (!q.sending) {
      if (q.count == 0) return true;
      q.sending = q.entries[0].data;
      q.sendLength = q.entries[0].length;
      q.sent = 0;
      memmove(&q.entries[0], &q.entries[1], sizeof(QueueEntry) * size_t(q.count - 1));
      q.count--;
    }
    int n = send(s, reinterpret_cast<const char*>(q.sending + q.sent), q.sendLength - q.sent, 0);
    if (n < 0) return WSAGetLastError() == WSAEWOULDBLOCK;
    q.sent += n;
    if (q.sent < q.sendLength) continue;
    q.spare[q.spareCount++] = q.sending;
    q.sending = nullptr;
  }
}

bool QueueHasRoom(const ClientQueue& q) {
  return q.count < kQueueEntries / 2;
}

void QueueCountDrop(ClientQueue& q) {
  q.dropped++;
}

int64_t QueueTakeDrops(ClientQueue& q) {
  int64_t n = q.dropped;
  q.dropped = 0;
  return n;
}
