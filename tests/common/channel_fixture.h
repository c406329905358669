// The band channel tests' publisher with one reader, shared by the files that test
// the channel.
#pragma once

#include <gtest/gtest.h>

#include <vector>

#include "band_channel.h"
#include "channel_clock.h"
#include "publisher.h"

const int kBand = 9;
const int32_t kRing = 65536;

// The channel's clock in the tests: it stands still until a test moves it.
inline ULONGLONG& FakeNowMs() {
  static ULONGLONG now = 1000000;
  return now;
}
inline ULONGLONG FakeClock() {
  return FakeNowMs();
}
inline void Advance(ULONGLONG ms) {
  FakeNowMs() += ms;
}

// A publisher with one reader open on its band, on the test's clock. At 16000 samples/s the ring
// lasts half a second, and no burst a test writes at once is beyond its pace.
struct ChannelTest : ::testing::Test {
  Publisher pub;
  BandChannel ch;
  char name[kBandNameSize];
  ChannelClock saved = g_channelClock;

  void SetUp() override {
    g_channelClock.nowMs = FakeClock;
    ASSERT_TRUE(PublisherCreate(pub, kBand, 16000, 1024, 7050000, kRing));
    ChannelInit(ch);
    BandName(kBand, name);
  }
  void TearDown() override {
    Close(ch);
    PublisherClose(pub);
    g_channelClock = saved;
  }
  void WriteCounter(int32_t samples) {
    std::vector<float> iq(size_t(samples) * 2);
    CounterPattern(pub.samplesWritten, samples, iq.data());
    PublisherWrite(pub, iq.data(), samples);
  }
  int32_t ReadOffset() const { return int32_t(ch.readPtr - ch.ringStart); }
};

// The first sample index a counter-pattern chunk carries.
inline int32_t FirstIndex(const std::vector<float>& iq) {
  return int32_t(iq[0] / 65536.0f) + 32768;
}
