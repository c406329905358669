// CWaveOut and the player's loop against the real WINMM under Wine, playing into
// the tests' ALSA file device. Buffers free up as the device plays them, in real
// time, so the tests that need a free buffer use short ones and wait for the device.
#include <gtest/gtest.h>

#include <string.h>

#include "ipps.h"
#include "play_loop.h"
#include "publisher.h"
#include "wave_out.h"

namespace {

const int32_t kMapper = -1;  // WAVE_MAPPER as the player passes it

class CountingWaveOut : public CWaveOut {
 public:
  ~CountingWaveOut() { Close(); }
  void OnBufferDone(WAVEHDR* header) override {
    InterlockedIncrement(&done);
    last = header;
  }
  volatile LONG done = 0;
  WAVEHDR* volatile last = nullptr;
};

// Waits until the device has played the buffer at index (at most 10 s).
bool WaitUntilFree(const CWaveOut& player, int32_t index) {
  for (int i = 0; i < 10000; i++) {
    if (!(player.Headers()[index].dwFlags & WHDR_INQUEUE)) return true;
    Sleep(1);
  }
  return false;
}

// Block k of samples: I = k * 65536, Q = -k * 65536, so 16-bit I = k, Q = -k.
void Ramp(float* iq, int32_t samples) {
  for (int32_t k = 0; k < samples; k++) {
    iq[2 * k] = float(k) * 65536.0f;
    iq[2 * k + 1] = -float(k) * 65536.0f;
  }
}

TEST(WaveOutOpen, QueuesTheRingAsSilenceInTheBandsFormat) {
  for (int32_t rate : {48000, 192000}) {
    SCOPED_TRACE(rate);
    CWaveOut player;
    ASSERT_TRUE(player.Open(1024, kMapper, rate));
    const WAVEFORMATEX& f = player.Format();
    EXPECT_EQ(f.wFormatTag, WAVE_FORMAT_PCM);
    EXPECT_EQ(f.nChannels, 2);
    EXPECT_EQ(f.nSamplesPerSec, DWORD(rate));
    EXPECT_EQ(f.nAvgBytesPerSec, DWORD(rate) * 4);
    EXPECT_EQ(f.nBlockAlign, 4);
    EXPECT_EQ(f.wBitsPerSample, 16);
    EXPECT_EQ(f.cbSize, 0);
    EXPECT_EQ(player.RingSize(), 256);
    EXPECT_EQ(player.BufferSamples(), 1024);
    EXPECT_EQ(player.BufferBytes(), 4096);
    EXPECT_EQ(player.NextIndex(), 0);
    int silent = 0;
    for (int32_t i = 0; i < player.RingSize(); i++) {
      const WAVEHDR& h = player.Headers()[i];
      EXPECT_TRUE(h.dwFlags & WHDR_PREPARED) << i;
      EXPECT_EQ(h.dwBufferLength, 4096u) << i;
      static const char zeros[4096] = {};
      if (memcmp(h.lpData, zeros, sizeof zeros) == 0) silent++;
    }
    EXPECT_EQ(silent, 256);
    // The last buffer is queued behind 255 others of 21 ms or more each.
    EXPECT_TRUE(player.Headers()[255].dwFlags & WHDR_INQUEUE);
  }
}

TEST(WaveOutOpen, RefusesWhatItCannotPlay) {
  CWaveOut player;
  EXPECT_FALSE(player.Open(1024, 200, 48000)) << "no device 200";
  for (int32_t block : {0, -1, kMaxBlockSamples + 1, INT32_MAX}) {
    EXPECT_FALSE(player.Open(block, kMapper, 48000)) << block;
  }
  EXPECT_FALSE(player.Open(1024, kMapper, 0));
  EXPECT_FALSE(player.IsOpen());
  EXPECT_EQ(player.Headers(), nullptr);
  EXPECT_TRUE(player.Open(kMaxBlockSamples, kMapper, 48000));
}

TEST(WaveOutOpen, ReopensAnOpenPlayerWithTheNewValues) {
  CWaveOut player;
  ASSERT_TRUE(player.Open(16, kMapper, 48000));
  ASSERT_TRUE(WaitUntilFree(player, 0));
  float iq[32];
  Ramp(iq, 16);
  ASSERT_TRUE(player.Write(16, iq, 16));
  EXPECT_EQ(player.NextIndex(), 1);
  ASSERT_TRUE(player.Open(512, kMapper, 192000));
  EXPECT_EQ(player.NextIndex(), 0);
  EXPECT_EQ(player.BufferBytes(), 2048);
  EXPECT_EQ(player.Format().nAvgBytesPerSec, 768000u);
}

TEST(WaveOutClose, IsHarmlessOnAClosedPlayerAndTwice) {
  CWaveOut player;
  player.Close();
  ASSERT_TRUE(player.Open(1024, kMapper, 48000));
  player.Close();
  EXPECT_FALSE(player.IsOpen());
  EXPECT_EQ(player.Headers(), nullptr);
  player.Close();
  EXPECT_FALSE(player.Restart()) << "nothing to restart";
  EXPECT_TRUE(player.Open(1024, kMapper, 48000)) << "the device was given back";
}

TEST(WaveOutWrite, ConvertsAtMostOneBufferIntoTheNextBuffer) {
  CWaveOut player;
  ASSERT_TRUE(player.Open(16, kMapper, 48000));
  ASSERT_TRUE(WaitUntilFree(player, 0));
  float iq[200];
  Ramp(iq, 100);
  ASSERT_TRUE(player.Write(100, iq, 16));
  const WAVEHDR& h = player.Headers()[0];
  EXPECT_EQ(h.dwBufferLength, 64u);
  const int16_t* pcm = reinterpret_cast<const int16_t*>(h.lpData);
  for (int k = 0; k < 16; k++) {
    EXPECT_EQ(pcm[2 * k], k);
    EXPECT_EQ(pcm[2 * k + 1], -k);
  }
  EXPECT_EQ(player.NextIndex(), 1);
}

TEST(WaveOutWrite, RefusesBadCallsAndBusyBuffersLeavingTheIndex) {
  float iq[2 * kMaxBlockSamples];
  Ramp(iq, kMaxBlockSamples);
  CWaveOut player;
  EXPECT_FALSE(player.Write(16, iq, 16)) << "never opened";
  // Half-second buffers: the first is still queued when the Write below comes.
  ASSERT_TRUE(player.Open(kMaxBlockSamples, kMapper, 8000));
  EXPECT_FALSE(player.Write(0, iq, 16));
  EXPECT_FALSE(player.Write(-1, iq, 16));
  EXPECT_FALSE(player.Write(16, nullptr, 16));
  const WAVEHDR& busy = player.Headers()[0];
  ASSERT_TRUE(busy.dwFlags & WHDR_INQUEUE);
  EXPECT_FALSE(player.Write(16, iq, 16)) << "buffer 0 is still queued";
  EXPECT_EQ(player.NextIndex(), 0);
  // The refused block touched neither the sound being played nor its length.
  static const char silence[kMaxBlockSamples * 4] = {};
  EXPECT_EQ(busy.dwBufferLength, DWORD(player.BufferBytes()));
  EXPECT_EQ(memcmp(busy.lpData, silence, size_t(player.BufferBytes())), 0);
  ASSERT_TRUE(WaitUntilFree(player, 0));
  EXPECT_TRUE(player.Write(16, iq, 16)) << "the same buffer is tried again";
  EXPECT_EQ(player.NextIndex(), 1);
  player.Close();
  EXPECT_FALSE(player.Write(16, iq, 16)) << "closed";
}

// A demodulated channel's mono samples go to both channels, as many as a buffer
// holds; bad calls are refused as Write refuses them.
TEST(WaveOutWriteMono, DoublesEachSampleIntoTheNextBufferAndRefusesAsWrite) {
  int16_t mono[100];
  for (int k = 0; k < 100; k++) mono[k] = int16_t(1000 - 37 * k);
  CWaveOut player;
  EXPECT_FALSE(player.WriteMono(16, mono)) << "never opened";
  ASSERT_TRUE(player.Open(16, kMapper, 48000));
  EXPECT_FALSE(player.WriteMono(0, mono));
  EXPECT_FALSE(player.WriteMono(16, nullptr));
  EXPECT_EQ(player.NextIndex(), 0);
  ASSERT_TRUE(WaitUntilFree(player, 0));
  ASSERT_TRUE(player.WriteMono(100, mono));
  const WAVEHDR& h = player.Headers()[0];
  EXPECT_EQ(h.dwBufferLength, 64u);
  const int16_t* pcm = reinterpret_cast<const int16_t*>(h.lpData);
  for (int k = 0; k < 16; k++) {
    EXPECT_EQ(pcm[2 * k], mono[k]);
    EXPECT_EQ(pcm[2 * k + 1], mono[k]);
  }
  EXPECT_EQ(player.NextIndex(), 1);
}

TEST(WaveOutWrite, TwoHundredFiftySixWritesBringTheIndexRound) {
  float iq[32];
  Ramp(iq, 16);
  CountingWaveOut player;
  ASSERT_TRUE(player.Open(16, kMapper, 48000));
  for (int i = 0; i < 256; i++) {
    ASSERT_TRUE(WaitUntilFree(player, player.NextIndex())) << i;
    ASSERT_TRUE(player.Write(16, iq, 16)) << i;
  }
  EXPECT_EQ(player.NextIndex(), 0);
  // Every buffer freed for a Write was reported through the hook first.
  EXPECT_GE(player.done, 256);
  const WAVEHDR* last = player.last;
  EXPECT_TRUE(last >= player.Headers() && last < player.Headers() + 256);
}

TEST(WaveOutCallback, ReachesTheHookOnlyForFinishedBuffers) {
  WAVEHDR header = {};
  CWaveOut::WaveOutCallback(nullptr, WOM_DONE, 0, DWORD_PTR(&header), 0);
  CountingWaveOut player;
  DWORD_PTR instance = DWORD_PTR(&player);
  CWaveOut::WaveOutCallback(nullptr, WOM_OPEN, instance, 0, 0);
  CWaveOut::WaveOutCallback(nullptr, WOM_CLOSE, instance, 0, 0);
  EXPECT_EQ(player.done, 0);
  CWaveOut::WaveOutCallback(nullptr, WOM_DONE, instance, DWORD_PTR(&header), 0);
  EXPECT_EQ(player.done, 1);
  EXPECT_EQ(player.last, &header);
}

const int kPlayerBand = 24;  // published by these tests only

// Checks that buffer index of the player holds block `first` of the counter pattern.
void ExpectCounterBlock(const CWaveOut& player, int32_t index, int32_t first, int32_t samples) {
  const int16_t* pcm = reinterpret_cast<const int16_t*>(player.Headers()[index].lpData);
  for (int32_t k = 0; k < samples; k++) {
    int32_t m = (first + k) % 65536;
    ASSERT_EQ(pcm[2 * k], m - 32768) << index << " " << k;
    ASSERT_EQ(pcm[2 * k + 1], 32767 - m) << index << " " << k;
  }
}

const int32_t kBlock = 16, kRing = 1 << 20;

// A band of kBlock-sample blocks at 48000 samples/s, a channel on it and a player
// for it, as VEXA_Wave has them once it plays.
struct PlayedBand {
  Publisher pub;
  BandChannel ch;
  CWaveOut player;
};

bool StartPlaying(PlayedBand& b) {
  char name[kBandNameSize];
  BandName(kPlayerBand, name);
  ChannelInit(b.ch);
  return PublisherCreate(b.pub, kPlayerBand, 48000, kBlock, 7050000, kRing) && Open(b.ch, name) &&
         b.player.Open(kBlock, kMapper, 48000);
}

void StopPlaying(PlayedBand& b) {
  b.player.Close();
  Close(b.ch);
  PublisherClose(b.pub);
}

// WritePos leaps half the ring, far more than 48000 samples/s can write.
void Jump(PlayedBand& b) {
  b.pub.header->WritePos = (b.pub.header->WritePos + kRing / 2) % kRing;
}

TEST(PlayWakeUp, QueuesABurstInOneWakeUpAndRestartsCleanAfterAJump) {
  const int32_t kBurst = 8;
  PlayedBand b;
  ASSERT_TRUE(StartPlaying(b));
  CWaveOut& player = b.player;
  for (int32_t i = 0; i < kBurst; i++) ASSERT_TRUE(WaitUntilFree(player, i)) << i;
  float iq[kBurst * kBlock * 2];
  CounterPattern(0, kBurst * kBlock, iq);
  PublisherWrite(b.pub, iq, kBurst * kBlock);  // one signal for all the blocks

  float block[kBlock * 2];
  EXPECT_EQ(PlayWakeUp(b.ch, player, kBlock, 16, block), kBurst);
  EXPECT_EQ(player.NextIndex(), kBurst);
  for (int32_t i = 0; i < kBurst; i++) ExpectCounterBlock(player, i, i * kBlock, kBlock);

  // After the jump nothing is taken, and what was queued gives way to a fresh ring
  // of silence.
  Jump(b);
  EXPECT_EQ(PlayWakeUp(b.ch, player, kBlock, 16, block), 0);
  EXPECT_EQ(player.NextIndex(), 0);
  static const char silence[kBlock * 4] = {};
  for (int32_t i = 0; i < kBurst; i++) {
    EXPECT_EQ(memcmp(player.Headers()[i].lpData, silence, sizeof silence), 0) << i;
  }
  EXPECT_TRUE(player.Headers()[kWaveRingSize - 1].dwFlags & WHDR_INQUEUE);
  // The first block after the jump is the first one queued.
  ASSERT_TRUE(WaitUntilFree(player, 0));
  CounterPattern(5000, kBlock, iq);
  PublisherWrite(b.pub, iq, kBlock);
  EXPECT_EQ(PlayWakeUp(b.ch, player, kBlock, 16, block), 1);
  EXPECT_EQ(player.NextIndex(), 1);
  ExpectCounterBlock(player, 0, 5000, kBlock);
  StopPlaying(b);
}

// Makes the n-th waveOutPrepareHeader fail, and every waveOutWrite once asked to.
int g_prepareCalls = 0;
int g_failAt = 0;
bool g_failWrites = false;

MMRESULT WINAPI PrepareFailingAt(HWAVEOUT device, LPWAVEHDR header, UINT size) {
  if (++g_prepareCalls == g_failAt) return MMSYSERR_NOMEM;
  return waveOutPrepareHeader(device, header, size);
}

MMRESULT WINAPI WriteFailingWhenAsked(HWAVEOUT device, LPWAVEHDR header, UINT size) {
  if (g_failWrites) return MMSYSERR_NODRIVER;
  return waveOutWrite(device, header, size);
}

class WaveOutPartWay : public ::testing::Test {
 protected:
  void SetUp() override {
    g_waveOut.prepare = PrepareFailingAt;
    g_waveOut.write = WriteFailingWhenAsked;
  }
  void TearDown() override {
    g_waveOut = SystemWaveOut();
    g_failAt = 0;
    g_failWrites = false;
  }
};

// The device fails once it plays: the restart after a jump cannot queue its
// silence, so the player closes and the playing ends as a failure, not as a key.
TEST_F(WaveOutPartWay, ADeviceThatFailsToRestartEndsThePlayingAsAFailure) {
  PlayedBand b;
  ASSERT_TRUE(StartPlaying(b));
  float iq[kBlock * 2], block[kBlock * 2];
  CounterPattern(0, kBlock, iq);
  PublisherWrite(b.pub, iq, kBlock);
  EXPECT_EQ(PlayWakeUp(b.ch, b.player, kBlock, 16, block), 1);
  g_failWrites = true;
  Jump(b);
  EXPECT_FALSE(PlayUntilKey(b.ch, b.player, kBlock, 16, block));
  EXPECT_FALSE(b.player.IsOpen());
  EXPECT_EQ(b.player.Headers(), nullptr);
  StopPlaying(b);
}

TEST_F(WaveOutPartWay, FailedOpenLeavesNothingBehind) {
  for (int failAt : {1, 2, 128, 256}) {
    SCOPED_TRACE(failAt);
    // Leave garbage where the header array is likely to be allocated: headers
    // that Open never reached must not look prepared or owning to Close.
    Ipp8u* dirty = ippsMalloc_8u(int(sizeof(WAVEHDR)) * kWaveRingSize);
    memset(dirty, 0xFF, sizeof(WAVEHDR) * kWaveRingSize);
    ippsFree(dirty);
    g_prepareCalls = 0;
    g_failAt = failAt;
    CWaveOut player;
    EXPECT_FALSE(player.Open(1024, kMapper, 48000));
    EXPECT_EQ(g_prepareCalls, failAt);
    EXPECT_FALSE(player.IsOpen());
    EXPECT_EQ(player.Headers(), nullptr);
    player.Close();
  }
  g_failAt = 0;
  CWaveOut player;
  EXPECT_TRUE(player.Open(1024, kMapper, 48000)) << "the device was given back";
}

}  // namespace
