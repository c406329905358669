// The path's design and its block loop: mixer, half-bands while the rate halves
// without going under the output rate, then the resampler for what remains.
#include <math.h>
#include <string.h>

#include "dsp_stages.h"

// Everything at the input's rate and above the output's passband (80% of its
// width) is removed; above the input's own width too when the output is wider.
static const double kPassShare = 0.4;

static bool DesignResampler(IqPath& path, double rate) {
  const double r = path.outRate / rate;
  if (r < 1.0) return ResamplerDesign(path.rs, rate, path.outRate, kPassShare * r, 0.6 * r);
  return ResamplerDesign(path.rs, rate, path.outRate, kPassShare, 0.5);
}

bool IqPathInit(IqPath& path, double inRate, double outRate, double shiftHz) {
  if (!(inRate > 0.0 && outRate > 0.0 && inRate < 1e12 && outRate <= inRate * kIqPathMaxUp))
    return false;
  if (!isfinite(shiftHz)) return false;
  memset(&path, 0, sizeof path);  // the padding past held samples reads as zeros
  path.inRate = inRate;
  path.outRate = outRate;
  path.nco.scale = ldexpf(1.0f, -31);
  NcoTune(path.nco, shiftHz, inRate);
  double rate = inRate;
  int offset = 0;
  while (rate / 2.0 >= outRate * (1.0 - 1e-12)) {
    if (path.halfBands == kMaxHalfBands) return false;
    HalfBand& hb = path.hb[path.halfBands];
    rate /= 2.0;
    if (!HalfBandDesign(hb, kPassShare * outRate / (2.0 * rate))) return false;
    hb.capacity = (kIqChunk >> (path.halfBands + 1)) + kHalfBandSlack;
    hb.offset = offset;
    offset += 4 * hb.capacity;
    path.slackIn += HalfBandHeld(hb) << path.halfBands;
    path.halfBands++;
  }
  path.resample = fabs(rate - outRate) > 1e-9 * outRate;
  if (path.resample) {
    if (!DesignResampler(path, rate)) return false;
    path.slackIn += path.rs.taps << path.halfBands;
  }
  return true;
}

void IqPathRetune(IqPath& path, double shiftHz) {
  if (isfinite(shiftHz)) NcoTune(path.nco, shiftHz, path.inRate);  // else the tuning stays
}

int IqPathMaxOut(const IqPath& path, int n) {
  return int(ceil((n + path.slackIn) * (path.outRate / path.inRate))) + kMaxHalfBands + 2;
}

// The stages after the mixer, from m samples in tmpI, tmpQ to interleaved out.
static int Forward(IqPath& path, int m, float* out) {
  for (int s = 0; s < path.halfBands; s++) {
    HalfBandPush(path.hb[s], path.pool, path.tmpI, path.tmpQ, m);
    m = HalfBandRun(path.hb[s], path.pool, path.tmpI, path.tmpQ);
  }
  if (path.resample) {
    ResamplerPush(path.rs, path.tmpI, path.tmpQ, m);
    return ResamplerRun(path.rs, out);
  }
  for (int i = 0; i < m; i++) {
    out[2 * i] = path.tmpI[i];
    out[2 * i + 1] = path.tmpQ[i];
  }
  return m;
}

int IqPathRun(IqPath& path, const float* in, int n, float* out) {
  int written = 0;
  for (int done = 0; done < n; done += kIqChunk) {
    const int m = n - done < kIqChunk ? n - done : kIqChunk;
    NcoMix(path.nco, in + 2 * done, m, path.tmpI, path.tmpQ);
    written += Forward(path, m, out + 2 * written);
  }
  return written;
}
