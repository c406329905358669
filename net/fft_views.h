// The spectra that clients are shown, one record per distinct view of a band
// (band, centre, span, bins): however many clients show the same view, its
// frames are computed once. A view reads the band through its own reader; the
// first client thread to look after new samples arrive computes, the others
// find the frame done. Views are made when a client first asks for them and
// freed with the last client that holds one.
#pragma once

#include <stdint.h>

const double kViewFramesPerSecond = 20.0;

struct ViewKey {
  int32_t band;
  int32_t bandRate;  // the band's SampleRate and L0 as the view was designed for
  int32_t bandL0;
  uint32_t centre;  // Hz
  uint32_t span;    // Hz: the band's rate or at most half of it
  int bins;         // a power of two, kSpectrumMinBins .. kSpectrumMaxBins
};

bool SameViewKey(const ViewKey& a, const ViewKey& b);

struct SpectrumView;

// The view of key, shared with every other client that holds it; null when it
// cannot be made (no free record, the band is not there, memory is short).
SpectrumView* ViewAcquire(const ViewKey& key);
void ViewRelease(SpectrumView* view);  // null is harmless

// Computes what the band has brought since the last look; returns the number of
// the latest frame (0: none yet).
int64_t ViewUpdate(SpectrumView* view);

// Draws the latest frame in pixels bytes (see SpectrumRender).
void ViewDraw(SpectrumView* view, int pixels, double lowDb, double highDb, uint8_t* out);

// Views in use: for the tests and the log.
int ViewCount();
