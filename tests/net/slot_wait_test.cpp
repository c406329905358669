// Connections waiting for a slot: a freed slot goes to the oldest, a waiter is
// refused only once its time is up, and the list is bounded.
#include <gtest/gtest.h>

#include <vector>

#include "slot_wait.h"

namespace {

int g_freeSlots;
std::vector<int> g_placed, g_refused;  // listener numbers, in the order handled

bool Place(const SlotWaiter& w, bool timeUp) {
  if (g_freeSlots > 0) {
    g_freeSlots--;
    g_placed.push_back(w.listener);
    return true;
  }
  if (timeUp) g_refused.push_back(w.listener);
  return timeUp;
}

SlotWaiter Waiter(int listener, ULONGLONG since) {
  SlotWaiter w = {};
  w.socket = socket(AF_INET, SOCK_STREAM, 0);
  w.listener = listener;
  w.since = since;
  return w;
}

TEST(SlotWait, AFreedSlotGoesToTheOldestAndOnlyTheTimedOutAreRefused) {
  WSADATA wsa;
  ASSERT_EQ(0, WSAStartup(MAKEWORD(2, 2), &wsa));
  SlotWaitList list = {};
  g_freeSlots = 0;
  for (int i = 0; i < 3; i++) ASSERT_TRUE(SlotWaitAdd(list, Waiter(i, 1000 + 100 * i)));
  SlotWaitRun(list, 1000 + kSlotWaitMs - 1, Place);
  EXPECT_EQ(3, list.count);
  EXPECT_TRUE(g_placed.empty() && g_refused.empty());

  g_freeSlots = 1;
  SlotWaitRun(list, 1000 + kSlotWaitMs, Place);  // waiter 0's last moment: placed
  EXPECT_EQ(std::vector<int>{0}, g_placed);
  SlotWaitRun(list, 1100 + kSlotWaitMs, Place);  // waiter 1's time is up, 2 waits on
  EXPECT_EQ(std::vector<int>{1}, g_refused);
  ASSERT_EQ(1, list.count);
  EXPECT_EQ(2, list.waiters[0].listener);
  closesocket(list.waiters[0].socket);
  list.count = 0;

  for (int i = 0; i < kSlotWaitMax; i++) ASSERT_TRUE(SlotWaitAdd(list, Waiter(i, 0)));
  SlotWaiter extra = Waiter(99, 0);
  EXPECT_FALSE(SlotWaitAdd(list, extra));
  closesocket(extra.socket);
  SlotWaitClear(list);
  EXPECT_EQ(0, list.count);
  SlotWaitClear(list);
  WSACleanup();
}

}  // namespace
