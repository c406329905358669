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

// Input samples one DemodRun call takes at the most.
const int kDemodMaxIn = 16384;

struct Demod;  // the record, with its fixed buffers: see demod_state.h

// "usb", "lsb", "cw", "am" or "fm" (any case); false for anything else.
bool DemodParseMode(const char* text, DemodMode& mode);

// Designs the channel. bandRate is the band's complex sample rate; offsetHz is
// the frequency given by the user less the band's centre: the dial for USB and
// LSB (a signal at dial + 1500 Hz is heard at 1500 Hz), the signal itself for
// CW (heard at 700 Hz), AM and FM. widthHz 0 takes the mode's own passband.
// False when the rates or the frequency are beyond what the record can hold.
bool DemodInit(Demod& d, DemodMode mode, double bandRate, double offsetHz, double audioRate,
               int widthHz, DemodLevel level);

// Takes n (at most kDemodMaxIn) complex samples, interleaved float I,Q at the
// band's scale (full scale 2^31), and writes mono 16-bit audio to out. Returns
// the count written, never more than DemodMaxOut(d, n).
int DemodRun(Demod& d, const float* in, int n, int16_t* out);
int DemodMaxOut(const Demod& d, int n);
