#include "fft_views.h"

#include <windows.h>

#include <stdlib.h>
#include <string.h>

#include "band_channel.h"
#include "iq_path.h"
#include "fft_display.h"
#include "stream_client.h"

struct SpectrumView {
  int users;  // clients holding it; 0: the record is free
  ViewKey key;
  SRWLOCK lock;  // held while the view reads its band or computes or draws
  BandChannel channel;
  int32_t chunkSamples;
  float* input;  // chunkSamples complex samples
  Spectrum spectrum;
};

static const int kMaxViews = kStreamPoolMax;
static SpectrumView g_views[kMaxViews];
static SRWLOCK g_viewsLock = SRWLOCK_INIT;  // over users and making and freeing views

bool SameViewKey(const ViewKey& a, const ViewKey& b) {
  return a.band == b.band && a.bandRate == b.bandRate && a.bandL0 == b.bandL0 &&
         a.centre == b.centre && a.span == b.span && a.bins == b.bins;
}

static void viewFree(SpectrumView& v) {
  SpectrumFree(v.spectrum);
  free(v.input);
  v.input = nullptr;
  Close(v.channel);
  v.users = 0;
}

static bool viewMake(SpectrumView& v, const ViewKey& key) {
  v.key = key;
  InitializeSRWLock(&v.lock);
  ChannelInit(v.channel);
  char name[kBandNameSize];
  BandName(key.band, name);
  if (!Open(v.channel, name)) return false;
  v.chunkSamples = StreamChunkSamples(v.channel);
  v.input = static_cast<float*>(malloc(sizeof(float) * 2 * size_t(v.chunkSamples)));
  double shift = double(key.centre) - double(key.bandL0);
  return v.input && SpectrumInit(v.spectrum, double(key.bandRate), shift, double(key.span),
                                 key.bins, kViewFramesPerSecond);
}

SpectrumView* ViewAcquire(const ViewKey& key) {
  AcquireSRWLockExclusive(&g_viewsLock);
  SpectrumView* found = nullptr;
  for (SpectrumView& v : g_views) {
    if (v.users > 0 && SameViewKey(v.key, key)) found = &v;
  }
  for (int i = 0; !found && i < kMaxViews; i++) {
    SpectrumView& v = g_views[i];
    if (v.users > 0) continue;
    if (viewMake(v, key)) {
      found = &v;
    } else {
      viewFree(v);
      break;
    }
  }
  if (found) found->users++;
  ReleaseSRWLockExclusive(&g_viewsLock);
  return found;
}

void ViewRelease(SpectrumView* view) {
  if (!view) return;
  AcquireSRWLockExclusive(&g_viewsLock);
  if (--view->users == 0) viewFree(*view);
  ReleaseSRWLockExclusive(&g_viewsLock);
}

int64_t ViewUpdate(SpectrumView* view) {
  SpectrumView& v = *view;
  AcquireSRWLockExclusive(&v.lock);
  while (Read(v.channel, v.chunkSamples * kSampleBytes, v.input)) {
    SpectrumRun(v.spectrum, v.input, v.chunkSamples);
  }
  // A resync or an overrun only costs the display a frame or two.
  TakeResync(v.channel);
  TakeOverrun(v.channel);
  int64_t frames = v.spectrum.frames;
  ReleaseSRWLockExclusive(&v.lock);
  return frames;
}

void ViewDraw(SpectrumView* view, int pixels, double lowDb, double highDb, uint8_t* out) {
  SpectrumView& v = *view;
  AcquireSRWLockExclusive(&v.lock);
  SpectrumRender(v.spectrum.levels, v.spectrum.bins, pixels, lowDb, highDb, out);
  ReleaseSRWLockExclusive(&v.lock);
}

int ViewCount() {
  AcquireSRWLockExclusive(&g_viewsLock);
  int n = 0;
  for (const SpectrumView& v : g_views) n += v.users > 0 ? 1 : 0;
  ReleaseSRWLockExclusive(&g_viewsLock);
  return n;
}
