#include "plugin_test_support.h"
#include "stream_thread.h"

// Counter sample m at scale factor 16: I = m - 32768, Q = 32767 - m.
static int16_t CounterI(int64_t k) {
  return int16_t((k & 0xFFFF) - 32768);
}
static int16_t CounterQ(int64_t k) {
  return int16_t(32767 - (k & 0xFFFF));
}

static std::vector<CallRecord> DataCalls(const std::vector<CallRecord>& calls) {
  std::vector<CallRecord> out;
  for (const CallRecord& c : calls)
    if (c.status == 0) out.push_back(c);
  return out;
}

TEST_F(PluginTest, EveryBlockAvailableIsDeliveredInOrder) {
  Publisher& pub = Publish(0, 192000, 1024, 7050000);
  StartStreaming(0);
  // Five blocks at once: one wake-up must deliver all of them.
  for (int i = 0; i < 5; i++) WriteCounter(pub, 1024);
  ASSERT_TRUE(WaitForCalls(3 + 5));
  std::vector<CallRecord> data = DataCalls(Calls());
  ASSERT_EQ(data.size(), 5u);
  for (int i = 0; i < 5; i++) {
    EXPECT_EQ(data[i].count, 1024);
    EXPECT_EQ(data[i].firstI, CounterI(1024 * i));
    EXPECT_EQ(data[i].firstQ, CounterQ(1024 * i));
    EXPECT_EQ(data[i].lastI, CounterI(1024 * i + 1023));
  }
}

TEST_F(PluginTest, BlockOf2048FillsTheBuffersExactly) {
  Publisher& pub = Publish(0, 192000, 2048, 7050000);
  StartStreaming(0);
  WriteCounter(pub, 2048);
  ASSERT_TRUE(WaitForCalls(4));
  CallRecord c = Calls()[3];
  EXPECT_EQ(c.count, 2048);
  EXPECT_EQ(c.lastI, CounterI(2047));
  EXPECT_EQ(c.lastQ, CounterQ(2047));
}

TEST_F(PluginTest, ScaleFactorAppliesFromTheNextBlock) {
  Publisher& pub = Publish(0, 192000, 1024, 7050000);
  StartStreaming(0);
  State.ScaleFactor = 24;
  WriteCounter(pub, 1024);
  ASSERT_TRUE(WaitForCalls(4));
  EXPECT_EQ(Calls()[3].firstI, -128);  // -32768 * 65536 / 2^24
}

// A length the 2048-sample buffers cannot hold is never read; once the publisher
// mends its header the thread notices and streams.
class BadBlockLength : public PluginTest, public ::testing::WithParamInterface<int32_t> {};

TEST_P(BadBlockLength, IsNeverReadUntilTheHeaderIsMended) {
  Publisher& pub = Publish(0, 192000, GetParam(), 7050000);
  StartStreaming(0);
  WriteCounter(pub, 4096);
  WriteCounter(pub, 4096);
  pub.header->BlockInSamples = 1024;
  WriteCounter(pub, 1024);
  ASSERT_TRUE(WaitForCalls(3 + 3 + 1));
  std::vector<CallRecord> calls = Calls();
  EXPECT_EQ(Statuses(calls), std::vector<int32_t>({103, 101, 102, 103, 101, 102}));
  ASSERT_EQ(calls[6].status, 0);
  EXPECT_EQ(calls[6].count, 1024);
}

INSTANTIATE_TEST_SUITE_P(PluginTest, BadBlockLength, ::testing::Values(4096, 2049, 0, -8));

TEST_F(PluginTest, HeaderChangeComesAfterItsBlockWithTheTableUpdated) {
  Publisher& pub = Publish(0, 192000, 1024, 7050000);
  StartStreaming(0);
  pub.header->L0 = 7100000;
  WriteCounter(pub, 1024);
  ASSERT_TRUE(WaitForCalls(3 + 1 + 3));
  WriteCounter(pub, 1024);
  ASSERT_TRUE(WaitForCalls(3 + 1 + 3 + 1));
  StopStreamThread();
  std::vector<CallRecord> calls = Calls();
  ASSERT_EQ(calls.size(), 8u);
  EXPECT_EQ(calls[3].status, 0);
  for (int i = 4; i < 7; i++) {
    EXPECT_EQ(calls[i].status, kReopenTriple[i - 4]);
    EXPECT_EQ(calls[i].tableL0, 7100000);  // a host asking now gets the new LO
  }
  EXPECT_EQ(calls[7].status, 0);
  EXPECT_EQ(calls[7].firstI, CounterI(1024));  // no reopen: the position carries on
}

TEST_F(PluginTest, ShorterBlockAppliesFromThePassAfterTheChange) {
  Publisher& pub = Publish(0, 192000, 1024, 7050000);
  StartStreaming(0);
  pub.header->BlockInSamples = 512;
  WriteCounter(pub, 512);
  WriteCounter(pub, 512);
  ASSERT_TRUE(WaitForCalls(3 + 1 + 3));
  WriteCounter(pub, 512);
  ASSERT_TRUE(WaitForCalls(3 + 1 + 3 + 1));
  std::vector<CallRecord> data = DataCalls(Calls());
  ASSERT_EQ(data.size(), 2u);
  EXPECT_EQ(data[0].count, 1024);
  EXPECT_EQ(data[1].count, 512);
  EXPECT_EQ(data[1].firstI, CounterI(1024));
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
  StartStreamThread();
  EXPECT_EQ(State.Thread, first);
  WriteCounter(pub, 1024);
  ASSERT_TRUE(WaitForCalls(4));
  EXPECT_TRUE(StopStreamThread());
  EXPECT_EQ(Calls().size(), 4u);  // one reopen, one block: one thread read it
}

TEST_F(PluginTest, ThreadWithoutABandWaitsForTheDialogsReopen) {
  Publisher& pub = Publish(0, 192000, 1024, 7050000);
  ProbeBands();
  LONG serial = State.ChannelSerial;
  StartStreamThread();
  // The thread's own reopen finds no band selected; the dialog's comes after it.
  ASSERT_TRUE(WaitForChannelChange(serial));
  WriteCounter(pub, 1024);
  State.SelectedBand = 0;  // what the dialog does, then it reopens
  ASSERT_TRUE(ReopenSelectedBand());
  WriteCounter(pub, 1024);
  ASSERT_TRUE(WaitForCalls(4));
  std::vector<CallRecord> calls = Calls();
  EXPECT_EQ(Statuses(calls), kReopenTriple);
  EXPECT_EQ(calls[3].firstI, CounterI(1024));
}

TEST_F(PluginTest, ReopenWhileStreamingNeverLosesTheThread) {
  Publisher& pub = Publish(0, 192000, 256, 7050000);
  Publisher& other = Publish(1, 96000, 256, 14100000);
  StartStreaming(0);
  for (int i = 0; i < 200; i++) {
    WriteCounter(pub, 256);
    WriteCounter(other, 256);
    State.SelectedBand = i % 2;
    ReopenSelectedBand();
  }
  WriteCounter(pub, 256);
  WriteCounter(other, 256);
  size_t before = Calls().size();
  WriteCounter(other, 256);
  EXPECT_TRUE(WaitForCalls(before + 1));
  EXPECT_TRUE(StopStreamThread());
}
