// One audio channel demodulated from a band: the wanted frequency is shifted
// and decimated by an IqPath, filtered to the mode's passband, demodulated and
// levelled to 16-bit mono audio at the rate asked for. All design happens in
// DemodInit; DemodRun only computes, into buffers the record holds.
#pragma once

#include <stdint.h>

enum DemodMode { kDemodUsb, kDemodLsb, kDemodCw, kDemodAm, kDemodFm };

// How the audio level is kept: an AGC for a listener (fast attack, slow decay
// after a hang), or a steady gain for a decoder.
enum DemodLevel { kDemodAgc, kDemodSteady };

// The steady gain of USB, LSB, CW and AM (40 dB): audio full scale is a signal
// 40 dB under the band's full scale. A channel whose noise sits 100 dB under the
// band's full scale comes out about 23 steps of 16 bits rms, and signals up to
// 60 dB over that noise are not clipped. FM's level is
// its deviation: a deviation of half the passband is full scale, in both levels.
const double kDemodSteadyGain = 100.0;

// The AGC brings peaks to a quarter of full scale (-12 dBFS), with at most
// 60 dB of gain, so a silent band stays quiet.
const double kDemodAgcTarget = 0.25, kDemodAgcMaxGain = 1000.0;

// The pitch a CW signal is heard at.
const double kDemodCwPitchHz = 700.0;

// Input samples one DemodRun call takes at the most.
const int kDemodMaxIn = 16384;

struct Demod;  // the record, with its fixed buffers: see demod_state.h

// "usb", "lsb", "cw", "am" or "fm" (any case); false for anything else.
bool DemodParseMode(const char* text, DemodMode& mode);
// The mode's name as DemodParseMode reads it, in lower case.
const char* DemodModeName(DemodMode mode);

// The widths (Hz) DemodInit takes for a mode, and the one that 0 stands for. For
// USB and LSB the width is the passband's upper audio edge (it starts at 50 Hz:
// 50-3000 Hz by default); for CW, AM and FM the passband is that wide, centred on
// the signal.
struct DemodWidths {
  int lowest, highest, usual;
};
DemodWidths DemodWidthRange(DemodMode mode);

// The frequencies, relative to the one given to DemodInit, that the channel's
// passband covers (widthHz 0: the mode's own): USB 50..3000, LSB -3000..-50.
void DemodPassband(DemodMode mode, int widthHz, double& lowHz, double& highHz);

// Designs the channel. bandRate is the band's complex sample rate; offsetHz is
// the frequency given by the user less the band's centre: the dial for USB and
// LSB (a signal at dial + 1500 Hz is heard at 1500 Hz), the signal itself for
// CW (heard at 700 Hz), AM and FM. widthHz 0 takes the mode's own passband.
// False when the rates or the frequency are beyond what the record can hold, the
// width is outside DemodWidthRange or the passband leaves the band.
bool DemodInit(Demod& d, DemodMode mode, double bandRate, double offsetHz, double audioRate,
               int widthHz, DemodLevel level);

// Takes n (at most kDemodMaxIn) complex samples, interleaved float I,Q at the
// band's scale (full scale 2^31), and writes mono 16-bit audio to out. Returns
// the count written, never more than DemodMaxOut(d, n).
int DemodRun(Demod& d, const float* in, int n, int16_t* out);
int DemodMaxOut(const Demod& d, int n);

// Multiplies the audio by factor (1 after DemodInit): a volume over either level.
void DemodSetVolume(Demod& d, double factor);
