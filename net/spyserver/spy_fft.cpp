#include "spy_fft.h"

#include <stdio.h>
#include <string.h>

#include "fft_display.h"

static const uint32_t kDefaultPixels = 1024;
static const uint32_t kFewestPixels = 100, kMostPixels = kSpectrumMaxBins;
static const int32_t kDefaultRange = 127;
static const int32_t kMostDb = 200;  // offset and range within +-kMostDb, range above 0
// Bins across the display at the least: a narrow display still resolves the band.
static const int kFewestBins = 1024;

void SpyFftInit(SpyFft& f, const SpyDevice& d) {
  memset(&f, 0, sizeof f);
  f.wantedCentre = d.centre;
  f.centre = d.centre;
  f.pixels = kDefaultPixels;
  f.dbRange = kDefaultRange;
}

static uint32_t clampU32(uint32_t v, uint32_t lowest, uint32_t highest) {
  return v < lowest ? lowest : v > highest ? highest : v;
}

// The offset comes as a u32 that is an int32 on the client's side.
static int32_t clampDb(uint32_t raw, int32_t lowest) {
  int32_t v = int32_t(raw);
  return v < lowest ? lowest : v > kMostDb ? kMostDb : v;
}

bool SpyFftSet(SpyFft& f, uint32_t setting, uint32_t value) {
  switch (setting) {
    case kSpyFftFrequency:
      f.wantedCentre = value;
      return true;
    case kSpyFftDecimation:
      f.stage = value;  // clamped against the band's stages in SpyFftApply
      return true;
    case kSpyFftDbOffset:
      f.dbOffset = clampDb(value, -kMostDb);
      break;
    case kSpyFftDbRange:
      f.dbRange = clampDb(value, 1);
      break;
    case kSpyFftDisplayPixels:
      f.pixels = clampU32(value, kFewestPixels, kMostPixels);
      break;
  }
  // FFT_FORMAT: every value keeps uint8, the one format sent.
  return false;
}

static int binsFor(uint32_t pixels) {
  int bins = kFewestBins;
  while (uint32_t(bins) < pixels) bins *= 2;
  return bins;
}

static void logView(const SpyFft& f, const StreamClient& c, const SpyDevice& d) {
  if (!f.view) {
    printf("%s FFT off\n", c.tag);
    return;
  }
  printf(
      "%s FFT: %u pixels, decimation %u (span %u Hz), centre %u Hz, %d..%d dB; %d spectrum "
      "views in use\n",
      c.tag, f.pixels, 1u << f.stage, d.sampleRate >> f.stage, f.centre,
      int(f.dbOffset - f.dbRange), int(f.dbOffset), ViewCount());
}

void SpyFftApply(SpyFft& f, const StreamClient& c, const SpyDevice& d, bool on) {
  if (f.stage > d.stages) f.stage = d.stages;
  f.centre = SpyClampCentre(d, f.stage, f.wantedCentre);
  ViewKey key = {c.band,   int32_t(d.sampleRate),   int32_t(d.centre),
                 f.centre, d.sampleRate >> f.stage, binsFor(f.pixels)};
  bool same = f.view && SameViewKey(key, f.key);
  if (on && same) return;
  if (!on && !f.view) return;
  SpyFftEnd(f);
  if (on) {
    f.key = key;
    f.view = ViewAcquire(key);
    if (!f.view) printf("%s no spectrum view of band %d can be made now\n", c.tag, int(c.band));
  }
  logView(f, c, d);
}

void SpyFftPump(SpyFft& f, StreamClient& c) {
  if (!f.view) return;
  int64_t latest = ViewUpdate(f.view);
  if (latest == f.seen) return;
  f.seen = latest;
  if (!QueueHasRoom(c.queue)) {
    QueueCountDrop(c.queue);
    return;
  }
  uint8_t* buffer = QueueTake(c.queue);
  SpyPutHeader(buffer, kSpyFftU8, kSpyStreamFft, f.sequence++, f.pixels);
  double high = f.dbOffset, low = double(f.dbOffset) - double(f.dbRange);
  ViewDraw(f.view, int(f.pixels), low, high, buffer + kSpyHeaderBytes);
  QueuePush(c.queue, buffer, kSpyHeaderBytes + int(f.pixels), false);
}

void SpyFftEnd(SpyFft& f) {
  ViewRelease(f.view);
  f.view = nullptr;
  f.seen = 0;
}
