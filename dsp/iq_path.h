// One client's signal path from a band's samples to the stream it asked for:
// shift the wanted frequency to the centre, change the rate (half-band stages
// for powers of two, a resampler for any other ratio), then pack to the wire
// format with a digital gain. All design happens in IqPathInit; IqPathRun only
// computes, into buffers the record holds.
#pragma once

#include <stdint.h>

// Input samples one IqPathRun call takes at the most.
const int kIqPathMaxIn = 16384;

struct IqPath;  // the record, with its fixed buffers: see iq_path_state.h

// Designs the path from inRate to outRate (complex samples per second, both > 0;
// outRate may be above inRate) that moves the input frequency shiftHz (relative to
// the input's centre, either sign) to the output's centre. False when the rates or
// the ratio are beyond what the record can hold.
bool IqPathInit(IqPath& path, double inRate, double outRate, double shiftHz);

// Moves the tuning without a new design or a gap in the stream.
void IqPathRetune(IqPath& path, double shiftHz);

// Takes n (at most kIqPathMaxIn) complex samples, interleaved float I,Q at the
// band's scale (full scale 2^31), and writes complex samples, interleaved float
// I,Q scaled so that the band's full scale is 1.0, to out. Returns the count
// written, never more than IqPathMaxOut(path, n).
int IqPathRun(IqPath& path, const float* in, int n, float* out);
int IqPathMaxOut(const IqPath& path, int n);

// Wire formats of the two protocols: the 8-bit ones differ in their zero.
enum IqFormat {
  kIqU8Centre128,   // round(128 + 128 x): SpyServer
  kIqU8Centre1275,  // round(127.5 + 127.5 x): rtl_tcp
  kIqS16,           // round(32768 x), little-endian
  kIqS24,           // round(8388608 x), three bytes little-endian
  kIqF32,           // x as a little-endian float
};

// Bytes one complex sample takes in format f.
int IqFormatBytes(IqFormat f);

// Packs n complex samples (full scale 1.0) times gain into out, clipped to the
// format's range; returns the bytes written (n * IqFormatBytes(f)).
int IqPack(IqFormat f, const float* iq, int n, float gain, void* out);
