// The record behind Demod: the IqPath that shifts and decimates the band to the
// channel's rate, then the channel filter, the detector's memory, the resampler to
// the audio rate, the mixer that moves a sideband to its pitch and the level, each
// with its fixed buffers. Only demod*.cpp and the stage files touch the fields.
#pragma once

#include "demod.h"
#include "iq_path_state.h"

// The limits of the record: taps of the channel filter, channel samples and audio
// samples one internal pass makes, each at the most.
const int kChannelMaxTaps = 512;
const int kDemodPass = kIqChunk;
const int kDemodAudioPass = 8192;

// The channel filter: a linear-phase low-pass on the complex channel (real taps,
// a multiple of 4). It holds taps - 1 samples of history ahead of the new ones.
struct ChannelFilter {
  int taps;
  float coef[kChannelMaxTaps];
  float xi[kChannelMaxTaps + kDemodPass + 8];
  float xq[kChannelMaxTaps + kDemodPass + 8];
};

// The listening level: a peak envelope that rises fast, holds for the hang, then
// falls slowly; the gain brings it to the target.
struct Agc {
  float envelope;
  float attack;  // share of the way to a higher peak taken each sample
  float decay;   // factor on the envelope each sample after the hang
  float lowest;  // envelope under which the gain stops growing
  int hang, hangLeft;
};

struct Demod {
  DemodMode mode;
  DemodLevel level;
  double bandRate, chanRate, audioRate;
  int passIn;          // input samples one internal pass takes
  bool resample;       // the channel's rate is not the audio's
  bool beat;           // USB, LSB, CW: the channel's centre is moved to its pitch
  float gain;          // from the detector's output (band full scale 1.0) to audio full scale
  float volume;        // DemodSetVolume's factor
  float dc, dcShare;   // AM: the carrier, followed slowly, and how fast
  float lastI, lastQ;  // FM: the sample before
  float fmScale;       // FM: from radians per sample to audio
  IqPath path;
  ChannelFilter filter;
  Resampler toAudio;
  Nco pitch;
  Agc agc;
  float chan[2 * kDemodPass + 8];  // IqPath's output, interleaved
  float ci[kDemodPass + 8], cq[kDemodPass + 8];
  float audio[2 * kDemodAudioPass + 8];  // at the audio rate, interleaved
  float ai[kDemodAudioPass + 8], aq[kDemodAudioPass + 8];
};
