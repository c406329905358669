#include <string.h>

#include "plugin_test_support.h"

TEST_F(PluginTest, ProbeWithoutBandsLeavesAnEmptyTable) {
  State.BandTable[4].L0 = 99;  // left over from an earlier probe
  ProbeBands();
  EXPECT_EQ(State.BandCount, 0);
  for (const BandEntry& e : State.BandTable) {
    EXPECT_EQ(e.SampleRate, 0);
    EXPECT_EQ(e.BlockInSamples, 0);
    EXPECT_EQ(e.L0, 0);
  }
}

TEST_F(PluginTest, ProbeCountsUpToTheHighestBandThatOpens) {
  Publish(5, 192000, 1024, 7050000);
  Publish(7, 0, 512, 3500000);  // present, though not in use
  ProbeBands();
  EXPECT_EQ(State.BandCount, 8);
  for (int band = 0; band < 5; band++) EXPECT_EQ(State.BandTable[band].SampleRate, 0);
  EXPECT_EQ(State.BandTable[5].SampleRate, 192000);
  EXPECT_EQ(State.BandTable[5].BlockInSamples, 1024);
  EXPECT_EQ(State.BandTable[5].L0, 7050000);
  EXPECT_EQ(State.BandTable[7].BlockInSamples, 512);
  EXPECT_EQ(State.SelectedBand, -1);
  EXPECT_EQ(State.Selected.band, -1);
}

TEST_F(PluginTest, ReopenOutOfRangeOpensAndSendsNothing) {
  for (int band = 0; band < 3; band++) Publish(band, 192000, 1024, 7050000);
  Publish(3, 192000, 1024, 7050000);
  ProbeBands();
  State.BandCount = 3;  // as after a probe that did not see band 3
  State.SelectedBand = 3;
  EXPECT_FALSE(ReopenSelectedBand());
  State.SelectedBand = -1;
  EXPECT_FALSE(ReopenSelectedBand());
  EXPECT_EQ(State.Selected.band, -1);
  EXPECT_EQ(State.Selected.channel.view, nullptr);
  EXPECT_TRUE(Calls().empty());
}

// A rate the host has not been given comes with 100 first; once given (by that
// status or by GetHWSR) the reopen sends the triple alone.
TEST_F(PluginTest, ReopenStartsAtTheWritePositionAndTellsTheHost) {
  Publisher& pub = Publish(0, 192000, 1024, 7050000);
  Publish(1, 96000, 512, 14100000);
  WriteCounter(pub, 3000);
  ProbeBands();
  State.SelectedBand = 0;
  EXPECT_TRUE(ReopenSelectedBand());
  EXPECT_EQ(State.Selected.band, 0);
  float block[2 * 1024];
  EXPECT_FALSE(Read(State.Selected.channel, 8, block));  // nothing new yet
  WriteCounter(pub, 1024);
  ASSERT_TRUE(Read(State.Selected.channel, 1024 * kSampleBytes, block));
  EXPECT_EQ(block[0], float((3000 - 32768) * 65536));
  EXPECT_TRUE(ReopenSelectedBand());
  State.SelectedBand = 1;
  EXPECT_TRUE(ReopenSelectedBand());
  State.SelectedBand = 0;
  EXPECT_EQ(TellRate(), 192000);
  EXPECT_TRUE(ReopenSelectedBand());
  std::vector<int32_t> expected = kReopenNewRate;
  for (const auto* part : {&kReopenTriple, &kReopenNewRate, &kReopenTriple})
    expected.insert(expected.end(), part->begin(), part->end());
  EXPECT_EQ(Statuses(Calls()), expected);
}

// The host answers each status by calling back in, as real hosts do from their
// LO-changed handler: every status call still comes once, none from inside another.
static int g_depth, g_deepest;
static void __cdecl ReenteringCallback(int32_t count, int32_t status, float offset, void* data) {
  g_deepest = ++g_depth > g_deepest ? g_depth : g_deepest;
  RecordingCallback(count, status, offset, data);
  SendStatus(kStatusLoChanged);  // what SetHWLO does
  SendBandChanged();
  g_depth--;
}

TEST_F(PluginTest, NoStatusCallFromInsideAnother) {
  Publish(0, 192000, 1024, 7050000);
  ProbeBands();
  State.SelectedBand = 0;
  State.HostCallback = ReenteringCallback;
  EXPECT_TRUE(ReopenSelectedBand());
  SendStatus(kStatusLoChanged);
  EXPECT_EQ(g_deepest, 1);
  std::vector<int32_t> expected = kReopenNewRate;
  expected.push_back(kStatusLoChanged);
  EXPECT_EQ(Statuses(Calls()), expected);
}

TEST(CallbackSamples, MultiplesOf512UpTo2048) {
  const int32_t blocks[][2] = {{512, 512},     {1024, 1024}, {1536, 1536}, {2048, 2048},
                               {4096, 2048},   {2049, 2048}, {1000, 512},  {1100, 1024},
                               {256, 512},     {1, 512},     {0, 512},     {-8, 512},
                               {1048576, 2048}};
  for (const auto& b : blocks) EXPECT_EQ(CallbackSamplesFor(b[0]), b[1]) << b[0];
}

TEST_F(PluginTest, ReopenOfAVanishedBandStillTellsTheHost) {
  Publisher& pub = Publish(0, 192000, 1024, 7050000);
  ProbeBands();
  PublisherClose(pub);
  State.SelectedBand = 0;
  EXPECT_FALSE(ReopenSelectedBand());
  EXPECT_EQ(Statuses(Calls()), kReopenNewRate);
  EXPECT_EQ(State.Selected.band, -1);
}

// Nothing told is nothing known: a host that registers its callback after the
// dialog picked the band still hears the rate first.
TEST_F(PluginTest, NoCallbackMeansNoCalls) {
  Publish(0, 192000, 1024, 7050000);
  ProbeBands();
  State.SelectedBand = 0;
  State.HostCallback = nullptr;
  EXPECT_TRUE(ReopenSelectedBand());
  SendStatus(kStatusLoChanged);
  EXPECT_TRUE(Calls().empty());
  State.HostCallback = RecordingCallback;
  EXPECT_TRUE(ReopenSelectedBand());
  EXPECT_EQ(Statuses(Calls()), kReopenNewRate);
}

TEST_F(PluginTest, SelectedEntryIsZeroWithoutABand) {
  Publish(2, 96000, 512, 14100000);
  ProbeBands();
  EXPECT_EQ(SelectedEntry().SampleRate, 0);
  State.SelectedBand = 2;
  EXPECT_EQ(SelectedEntry().SampleRate, 96000);
  EXPECT_EQ(SelectedEntry().L0, 14100000);
}
