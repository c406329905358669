// The demodulator's design and its block loop. The channel is shifted to the
// centre of its passband and decimated by an IqPath to the lowest rate that
// holds it, filtered there by the channel filter, detected (AM, FM), brought to
// the audio rate by a resampler, moved to its pitch (USB, LSB, CW: the real part
// of the moved channel is the audio, so the other sideband, removed by the
// filter, never folds onto it) and levelled.
#include <math.h>
#include <string.h>

#include "demod_stages.h"
#include "dsp_math.h"
#include "dsp_stages.h"

static const double kSsbLowHz = 50.0;
// The channel filter's passband and transition together stay within this share
// of the channel's rate, where the IqPath keeps its alias rejection.
static const double kChannelShare = 0.4;
// The channel's rate is at least the audio rate over this: a lower one would add
// the resampler's taps at that rate to the delay.
static const double kMaxAudioOverChannel = 16.0;
// The AM carrier is followed with this corner, under the speech.
static const double kAmCarrierHz = 20.0;

struct ModeDesign {
  const char* name;
  DemodWidths widths;
  double transitionHz;     // the channel filter's transition, at the least ...
  double transitionShare;  // ... and as a share of the passband's width
};

static const ModeDesign kModes[] = {
    {"usb", {200, 5000, 3000}, 100.0, 0.03},   {"lsb", {200, 5000, 3000}, 100.0, 0.03},
    {"cw", {50, 2000, 500}, 50.0, 0.03},       {"am", {1000, 16000, 6000}, 100.0, 0.08},
    {"fm", {2000, 16000, 12000}, 100.0, 0.08},
};

static char Lower(char c) {
  return c >= 'A' && c <= 'Z' ? char(c - 'A' + 'a') : c;
}

bool DemodParseMode(const char* text, DemodMode& mode) {
  if (!text) return false;
  for (int m = 0; m < int(sizeof kModes / sizeof kModes[0]); m++) {
    const char* name = kModes[m].name;
    int k = 0;
    while (name[k] && Lower(text[k]) == name[k]) k++;
    if (!name[k] && !text[k]) {
      mode = DemodMode(m);
      return true;
    }
  }
  return false;
}

const char* DemodModeName(DemodMode mode) {
  return kModes[mode].name;
}

DemodWidths DemodWidthRange(DemodMode mode) {
  return kModes[mode].widths;
}

void DemodPassband(DemodMode mode, int widthHz, double& lowHz, double& highHz) {
  const double w = widthHz ? widthHz : kModes[mode].widths.usual;
  lowHz = mode == kDemodUsb ? kSsbLowHz : mode == kDemodLsb ? -w : -0.5 * w;
  highHz = mode == kDemodUsb ? w : mode == kDemodLsb ? -kSsbLowHz : 0.5 * w;
}

// The channel's rate: the audio rate divided by a whole number when the channel
// needs less, else a whole multiple of it, so the resampler's delays repeat and
// its bank is exact.
static double ChannelRate(double need, double audioRate) {
  if (need > audioRate) return audioRate * ceil(need / audioRate);
  return audioRate / fmin(floor(audioRate / need), kMaxAudioOverChannel);
}

// Audio samples the resampler makes at the most from c channel samples.
static int AudioOut(const Demod& d, int c) {
  if (!d.resample) return c;
  return int(ceil((c + d.toAudio.taps + 1) * d.audioRate / d.chanRate)) + 2;
}

// The input of one internal pass: at most kIqChunk, and no more than the pass's
// buffers hold at each rate.
static int PassIn(const Demod& d) {
  int m = kIqChunk;
  while (m >= 16) {
    const int c = IqPathMaxOut(d.path, m);
    if (c <= kDemodPass && AudioOut(d, c) <= kDemodAudioPass) return m;
    m /= 2;
  }
  return 0;
}

static bool DesignStages(Demod& d, double centre, double half, double transition) {
  if (!IqPathInit(d.path, d.bandRate, d.chanRate, centre)) return false;
  if (!ChannelFilterDesign(d.filter, d.chanRate, half, transition)) return false;
  d.resample = fabs(d.chanRate - d.audioRate) > 1e-9 * d.audioRate;
  if (d.resample) {
    const double r = d.audioRate / d.chanRate;
    const bool up = r > 1.0;
    if (!ResamplerDesign(d.toAudio, d.chanRate, d.audioRate, up ? kChannelShare : kChannelShare * r,
                         up ? 0.5 : 0.6 * r))
      return false;
  }
  d.passIn = PassIn(d);
  return d.passIn > 0;
}

bool DemodInit(Demod& d, DemodMode mode, double bandRate, double offsetHz, double audioRate,
               int widthHz, DemodLevel level) {
  if (mode < kDemodUsb || mode > kDemodFm) return false;
  const ModeDesign& design = kModes[mode];
  if (widthHz && (widthHz < design.widths.lowest || widthHz > design.widths.highest)) return false;
  if (!(bandRate > 0.0 && bandRate < 1e9 && audioRate >= 8000.0 && audioRate <= 384000.0))
    return false;
  double low, high;
  DemodPassband(mode, widthHz, low, high);
  if (!(fabs(offsetHz) < 1e10 && offsetHz + low >= -0.5 * bandRate &&
        offsetHz + high <= 0.5 * bandRate))
    return false;
  memset(&d, 0, sizeof d);
  d.mode = mode;
  d.level = level;
  d.bandRate = bandRate;
  d.audioRate = audioRate;
  const double half = 0.5 * (high - low), centre = 0.5 * (high + low);
  const double transition = fmax(design.transitionHz, design.transitionShare * (high - low));
  d.chanRate = ChannelRate((half + transition) / kChannelShare, audioRate);
  // The pitch: USB and LSB go back to where the dial puts them, CW to its tone.
  const double pitch = mode == kDemodCw ? kDemodCwPitchHz : centre;
  d.beat = mode == kDemodUsb || mode == kDemodLsb || mode == kDemodCw;
  if (d.beat && fabs(pitch) + half + transition >= 0.5 * audioRate) return false;
  if (!DesignStages(d, offsetHz + centre, half, transition)) return false;
  NcoTune(d.pitch, -pitch, audioRate);
  d.pitch.scale = 1.0f;
  d.gain = mode == kDemodFm ? 1.0f : float(kDemodSteadyGain);
  d.volume = 1.0f;
  d.dcShare = float(1.0 - exp(-2.0 * kPi * kAmCarrierHz / d.chanRate));
  d.fmScale = float(d.chanRate / (2.0 * kPi) / half);
  AgcInit(d.agc, audioRate);
  return true;
}

void DemodSetVolume(Demod& d, double factor) {
  d.volume = float(factor);
}

int DemodMaxOut(const Demod& d, int n) {
  // Every stage may release at once what it held back: the IqPath's input, the
  // resampler's taps.
  const double held = 2.0 * (d.toAudio.taps + 2) * d.audioRate / d.chanRate;
  return int(ceil((n + 2.0 * d.path.slackIn) * d.audioRate / d.bandRate + held)) + 16;
}

// From c detected channel samples in ci, cq to levelled audio in out.
static int ToAudio(Demod& d, int c, int16_t* out) {
  int a = c;
  if (d.resample) {
    ResamplerPush(d.toAudio, d.ci, d.cq, c);
    a = ResamplerRun(d.toAudio, d.audio);
  } else {
    for (int s = 0; s < c; s++) {
      d.audio[2 * s] = d.ci[s];
      d.audio[2 * s + 1] = d.cq[s];
    }
  }
  if (d.beat) {
    NcoMix(d.pitch, d.audio, a, d.ai, d.aq);
  } else {
    for (int s = 0; s < a; s++) d.ai[s] = d.audio[2 * s];
  }
  LevelRun(d, d.ai, a, out);
  return a;
}

int DemodRun(Demod& d, const float* in, int n, int16_t* out) {
  int written = 0;
  for (int done = 0; done < n; done += d.passIn) {
    const int m = n - done < d.passIn ? n - done : d.passIn;
    const int c = IqPathRun(d.path, in + 2 * done, m, d.chan);
    ChannelFilterRun(d.filter, d.chan, c, d.ci, d.cq);
    if (d.mode == kDemodAm) AmDetect(d, d.ci, d.cq, c);
    if (d.mode == kDemodFm) FmDetect(d, d.ci, d.cq, c);
    written += ToAudio(d, c, out + written);
  }
  return written;
}
