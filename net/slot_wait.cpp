#include "slot_wait.h"

bool SlotWaitAdd(SlotWaitList& list, const SlotWaiter& w) {
  if (list.count == kSlotWaitMax) return false;
  list.waiters[list.count++] = w;
  return true;
}

void SlotWaitRun(SlotWaitList& list, ULONGLONG now, SlotPlace place) {
  int kept = 0;
  for (int i = 0; i < list.count; i++) {
    const SlotWaiter& w = list.waiters[i];
    if (!place(w, now - w.since >= kSlotWaitMs)) list.waiters[kept++] = w;
  }
  list.count = kept;
}

void SlotWaitClear(SlotWaitList& list) {
  for (int i = 0; i < list.count; i++) closesocket(list.waiters[i].socket);
  list.count = 0;
}
