// The player's demodulated channel: each block of the band becomes mono audio at
// kDemodAudioRate, played on both channels, through the same queue of 256 sound
// buffers as I/Q; the buffers are kDemodBufferFrames long, so the queue holds
// 0.34 s and the sound follows the band within about 0.4 s.
#pragma once

#include <stdint.h>

#include "demod_state.h"
#include "wave_out.h"

const int32_t kDemodAudioRate = 48000;
const int32_t kDemodBufferFrames = 64;
// Audio a block may make, with what waits for a whole buffer.
const int32_t kDemodAudioHold = 65536;

struct DemodPlay {
  // The design, for a restart.
  DemodMode mode;
  double bandRate, offsetHz;
  int widthHz;
  double volume;
  Demod demod;
  int16_t audio[kDemodAudioHold];
  int32_t held;  // audio samples that wait for a whole buffer
};

// Designs the channel for blocks of up to blockInSamples; the scale factor is a
// volume, 16 the demodulator's own level and each step from it 6 dB. False when
// the demodulator refuses or a block could make more audio than the record holds.
bool DemodPlayInit(DemodPlay& p, DemodMode mode, double bandRate, double offsetHz, int widthHz,
                   int32_t scaleFactor, int32_t blockInSamples);

// Forgets the band's past: the filters' memory and the audio waiting, so nothing
// of a band that jumped is played after the jump. False when the design fails,
// which DemodPlayInit has ruled out.
bool DemodPlayRestart(DemodPlay& p);

// Demodulates n samples of block and queues every whole buffer of audio there is;
// false when the queue refused one (that audio is lost).
bool DemodPlayBlock(DemodPlay& p, CWaveOut& player, const float* block, int32_t n);
