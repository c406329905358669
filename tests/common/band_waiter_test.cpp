#include <gtest/gtest.h>

#include <vector>

#include "band_waiter.h"
#include "publisher.h"

namespace {

const int32_t kRing = 65536;

struct WaiterTest : ::testing::Test {
  Publisher a = {}, b = {};
  BandWaiter w;
  WaiterEvent ev;
  HANDLE stop = nullptr;

  void SetUp() override {
    ASSERT_TRUE(PublisherCreate(a, 11, 192000, 1024, 7050000, kRing));
    ASSERT_TRUE(PublisherCreate(b, 12, 96000, 512, 14100000, kRing));
    ASSERT_TRUE(WaiterInit(w));
    WaiterEventInit(ev);
    stop = CreateEventA(nullptr, TRUE, TRUE, nullptr);  // set: a wait returns at once
  }
  void TearDown() override {
    CloseHandle(stop);
    WaiterEventClose(ev);
    WaiterEventClose(ev);  // harmless twice
    WaiterFree(w);
    WaiterFree(w);
    PublisherClose(b);
    PublisherClose(a);
  }
  // True when the waiting side's event is the one `pub` sets.
  bool FollowsBand(Publisher& pub, Publisher& other) {
    WaitForBand(w, ev, stop);
    if (!ev.event || ev.event == w.channel.event) return false;
    std::vector<float> iq(2 * 8);
    ResetEvent(ev.event);
    PublisherWrite(other, iq.data(), 8);
    if (WaitForSingleObject(ev.event, 0) != WAIT_TIMEOUT) return false;
    PublisherWrite(pub, iq.data(), 8);
    return WaitForSingleObject(ev.event, 0) == WAIT_OBJECT_0;
  }
};

// The waiting side follows every install and close through its own duplicate,
// which a close on the other side never pulls away.
TEST_F(WaiterTest, WaitingSideFollowsEveryInstallAndClose) {
  WaitForBand(w, ev, stop);
  EXPECT_EQ(ev.event, nullptr);
  ASSERT_TRUE(WaiterOpen(w, 11));
  EXPECT_EQ(w.band, 11);
  EXPECT_TRUE(FollowsBand(a, b));
  ASSERT_TRUE(WaiterOpen(w, 12));  // replaced without a close in between
  EXPECT_EQ(w.band, 12);
  EXPECT_TRUE(FollowsBand(b, a));
  EXPECT_NE(ev.event, nullptr);
  WaiterClose(w);
  EXPECT_EQ(w.band, -1);
  EXPECT_EQ(w.channel.view, nullptr);
  WaitForBand(w, ev, stop);
  EXPECT_EQ(ev.event, nullptr);
  EXPECT_FALSE(WaiterOpen(w, 13));  // nothing published there
  EXPECT_EQ(w.band, -1);
}

struct Reader {
  WaiterTest* t;
  volatile LONG blocks;
};

static DWORD WINAPI ReadUntilStop(void* arg) {
  Reader& r = *static_cast<Reader*>(arg);
  WaiterEvent own;
  WaiterEventInit(own);
  float iq[2 * 512];
  while (WaitForSingleObject(r.t->stop, 0) == WAIT_TIMEOUT) {
    WaitForBand(r.t->w, own, r.t->stop);
    EnterCriticalSection(&r.t->w.lock);
    while (Read(r.t->w.channel, sizeof iq, iq)) InterlockedIncrement(&r.blocks);
    LeaveCriticalSection(&r.t->w.lock);
  }
  WaiterEventClose(own);
  return 0;
}

// A band reader on another thread keeps reading across reopens and ends on stop.
TEST_F(WaiterTest, ReaderThreadSurvivesReopensAndHearsStop) {
  ResetEvent(stop);
  Reader reader = {this, 0};
  HANDLE thread = CreateThread(nullptr, 0, ReadUntilStop, &reader, 0, nullptr);
  ASSERT_NE(thread, nullptr);
  std::vector<float> iq(2 * 512);
  for (int i = 0; i < 300; i++) {
    WaiterOpen(w, i % 2 ? 12 : 11);
    PublisherWrite(a, iq.data(), 512);
    PublisherWrite(b, iq.data(), 512);
  }
  LONG before = reader.blocks;
  for (int i = 0; i < 1000 && reader.blocks == before; i++) {
    PublisherWrite(b, iq.data(), 512);
    Sleep(5);
  }
  EXPECT_GT(reader.blocks, before);
  SetEvent(stop);
  EXPECT_EQ(WaitForSingleObject(thread, 5000), WAIT_OBJECT_0);
  CloseHandle(thread);
}

}  // namespace
