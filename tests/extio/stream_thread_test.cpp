#include "plugin_test_support.h"
#include "stream_thread.h"

TEST_F(PluginTest, EveryBlockAvailableIsDeliveredInOrder) {
  Publisher& pub = Publish(0, 192000, 1024, 7050000);
  EXPECT_EQ(StartStreaming(0), 1024);
  // Five blocks at once: one wake-up must deliver all of them.
  for (int i = 0; i < 5; i++) WriteCounter(pub, 1024);
  ASSERT_TRUE(WaitForCalls(5));
  std::vector<CallRecord> data = DataCalls(Calls());
  ASSERT_EQ(data.size(), 5u);
  ExpectSteadyCounter(data, 1024, 0);
}

TEST_F(PluginTest, ScaleFactorAppliesFromTheNextBlock) {
  Publisher& pub = Publish(0, 192000, 1024, 7050000);
  StartStreaming(0);
  State.ScaleFactor = 24;
  WriteCounter(pub, 1024);
  ASSERT_TRUE(WaitForCalls(1));
  EXPECT_EQ(Calls()[0].firstI, -128);  // -32768 * 65536 / 2^24
}

// Whatever the band's block length, every data call carries StartHW's count and
// the samples go on without a gap, a repeat or a reordering.
class BlockLength : public PluginTest, public ::testing::WithParamInterface<int32_t> {};

TEST_P(BlockLength, StreamsInCallsOfStartHWsCount) {
  int32_t block = GetParam();
  Publisher& pub = Publish(0, 192000, block, 7050000);
  int32_t count = StartStreaming(0);
  EXPECT_EQ(count, CallbackSamplesFor(block));
  int32_t written = block > 0 ? block : 1;  // the publisher writes what its ring takes
  size_t calls = 0;
  // Block by block, the thread keeping up, so no block overtakes the reader.
  for (int64_t total = 0; total < 3 * kMaxCallbackSamples + 1; total += written) {
    WriteCounter(pub, written);
    if (size_t((total + written) / count) == calls) continue;
    calls = size_t((total + written) / count);
    ASSERT_TRUE(WaitForCalls(calls));
  }
  EXPECT_TRUE(StopStreamThread());
  std::vector<CallRecord> data = DataCalls(Calls());
  ASSERT_EQ(data.size(), calls);
  ExpectSteadyCounter(data, count, 0);
}

INSTANTIATE_TEST_SUITE_P(PluginTest, BlockLength,
                         ::testing::Values(2048, 4096, 2049, 1000, 256, 1, 0, -8));

TEST_F(PluginTest, HeaderChangeComesAfterItsBlockWithTheTableUpdated) {
  Publisher& pub = Publish(0, 192000, 1024, 7050000);
  StartStreaming(0);
  pub.header->L0 = 7100000;
  WriteCounter(pub, 1024);
  ASSERT_TRUE(WaitForCalls(1 + 3));
  WriteCounter(pub, 1024);
  ASSERT_TRUE(WaitForCalls(1 + 3 + 1));
  StopStreamThread();
  std::vector<CallRecord> calls = Calls();
  ASSERT_EQ(calls.size(), 5u);
  EXPECT_EQ(calls[0].status, 0);
  for (int i = 1; i < 4; i++) {
    EXPECT_EQ(calls[i].status, kReopenTriple[i - 1]);
    EXPECT_EQ(calls[i].tableL0, 7100000);  // a host asking now gets the new LO
  }
  EXPECT_EQ(calls[4].status, 0);
  EXPECT_EQ(calls[4].firstI, CounterI(1024));  // no reopen: the position carries on
}

// The block halves, then the rate halves: the count stays, the counter goes on, and
// the new rate is announced with 100 before the triple.
TEST_F(PluginTest, CountStaysAndARateChangeComesFirst) {
  Publisher& pub = Publish(0, 192000, 1024, 7050000);
  StartStreaming(0);
  pub.header->BlockInSamples = 512;
  for (int i = 0; i < 4; i++) WriteCounter(pub, 512);
  ASSERT_TRUE(WaitForCalls(2 + 3));
  pub.header->SampleRate = 96000;
  for (int i = 0; i < 2; i++) WriteCounter(pub, 512);
  ASSERT_TRUE(WaitForCalls(3 + 3 + 4));
  StopStreamThread();
  std::vector<CallRecord> calls = Calls();
  ExpectSteadyCounter(DataCalls(calls), 1024, 0);
  std::vector<int32_t> expected = kReopenTriple;
  expected.insert(expected.end(), kReopenNewRate.begin(), kReopenNewRate.end());
  EXPECT_EQ(Statuses(calls), expected);
  EXPECT_EQ(calls[1].status, kReopenTriple[0]);  // after the first call, before the second
  EXPECT_EQ(TellRate(), 96000);
}

// The publisher starts anew, with a smaller ring, while half a call waits in the old
// one: the stream goes on from the new position, nothing stale, nothing doubled.
TEST_F(PluginTest, RestartedPublisherRestartsTheStreamCleanly) {
  Publisher& pub = Publish(0, 192000, 256, 7050000);
  EXPECT_EQ(StartStreaming(0), 512);
  WriteCounter(pub, 768);
  ASSERT_TRUE(WaitForCalls(1));
  const int32_t ring = 1 << 21;  // half the first, still more than a second
  pub.ringSize = ring;
  pub.header->BufferSize = ring;
  pub.header->WritePos = 0;
  pub.samplesWritten = 0;
  SetEvent(pub.event);
  ASSERT_TRUE(WaitForRingSize(ring));
  WriteCounter(pub, 1024);
  ASSERT_TRUE(WaitForCalls(3));
  EXPECT_TRUE(StopStreamThread());
  std::vector<CallRecord> data = DataCalls(Calls());
  ASSERT_EQ(data.size(), 3u);
  ExpectSteadyCounter({data[0]}, 512, 0);
  ExpectSteadyCounter({data[1], data[2]}, 512, 0);
}

TEST_F(PluginTest, StopEndsTheThreadWhileThePublisherIsSilent) {
  Publish(0, 192000, 1024, 7050000);
  StartStreaming(0);
  EXPECT_TRUE(StopStreamThread());
  EXPECT_EQ(State.Thread, nullptr);
  EXPECT_TRUE(StopStreamThread());  // harmless twice
}

TEST_F(PluginTest, SecondStartKeepsTheRunningThread) {
  Publisher& pub = Publish(0, 192000, 1024, 7050000);
  StartStreaming(0);
  HANDLE first = State.Thread;
  EXPECT_EQ(StartStreamThread(), 1024);
  EXPECT_EQ(State.Thread, first);
  WriteCounter(pub, 1024);
  ASSERT_TRUE(WaitForCalls(1));
  EXPECT_TRUE(StopStreamThread());
  EXPECT_EQ(Calls().size(), 1u);  // one block: one thread read it
}

TEST_F(PluginTest, ThreadWithoutABandWaitsForTheDialogsReopen) {
  Publisher& pub = Publish(0, 192000, 2048, 7050000);
  ProbeBands();
  uint32_t serial = State.Selected.serial;
  EXPECT_EQ(StartStreamThread(), 0);
  // The thread's own reopen finds no band selected; the dialog's comes after it.
  ASSERT_TRUE(WaitForChannelChange(serial));
  WriteCounter(pub, 2048);
  State.SelectedBand = 0;  // what the dialog does; the thread's retry may open it first
  OpenSelectedBand(false);
  WriteCounter(pub, 2048);
  ASSERT_TRUE(WaitForCalls(5));
  std::vector<CallRecord> calls = Calls();
  EXPECT_EQ(Statuses(calls), kReopenNewRate);
  EXPECT_EQ(calls[4].count, 2048);  // the band picked later fixes the count
  EXPECT_EQ(calls[4].firstI, CounterI(2048));
}

TEST_F(PluginTest, ReopenWhileStreamingNeverLosesTheThread) {
  Publisher& pub = Publish(0, 192000, 512, 7050000);
  Publisher& other = Publish(1, 96000, 512, 14100000);
  StartStreaming(0);
  for (int i = 0; i < 200; i++) {
    WriteCounter(pub, 512);
    WriteCounter(other, 512);
    State.SelectedBand = i % 2;
    ReopenSelectedBand();
  }
  WriteCounter(pub, 512);
  WriteCounter(other, 512);
  size_t before = Calls().size();
  WriteCounter(other, 512);
  EXPECT_TRUE(WaitForCalls(before + 1));
  EXPECT_TRUE(StopStreamThread());
}

// A host that stops from inside the thread's own first status call, even before
// StartHW has returned: StopHW does not wait on the thread it runs on, the stop is
// not lost, and the thread ends without a data call.
static HANDLE g_statusThread;
static void __cdecl StoppingCallback(int32_t count, int32_t status, float offset, void* data) {
  RecordingCallback(count, status, offset, data);
  if (status != kStatusRateChanged) return;
  HANDLE self = GetCurrentProcess();
  DuplicateHandle(self, GetCurrentThread(), self, &g_statusThread, SYNCHRONIZE, FALSE, 0);
  EXPECT_FALSE(StopStreamThread());
}

TEST_F(PluginTest, StopFromTheThreadsOwnStatusCallEndsIt) {
  Publisher& pub = Publish(0, 192000, 1024, 7050000);
  ProbeBands();
  State.SelectedBand = 0;
  State.HostCallback = StoppingCallback;
  g_statusThread = nullptr;
  EXPECT_EQ(StartStreamThread(), 1024);
  ASSERT_TRUE(WaitForCalls(kReopenNewRate.size()));
  ASSERT_NE(g_statusThread, nullptr);
  EXPECT_EQ(WaitForSingleObject(g_statusThread, 5000), WAIT_OBJECT_0);
  CloseHandle(g_statusThread);
  EXPECT_EQ(State.Thread, nullptr);
  WriteCounter(pub, 1024);
  EXPECT_EQ(Statuses(Calls()), kReopenNewRate);
  EXPECT_EQ(Calls().size(), kReopenNewRate.size());
}
