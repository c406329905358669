#include "demod_play.h"

#include <math.h>
#include <string.h>

bool DemodPlayInit(DemodPlay& p, DemodMode mode, double bandRate, double offsetHz, int widthHz,
                   int32_t scaleFactor, int32_t blockInSamples) {
  p.mode = mode;
  p.bandRate = bandRate;
  p.offsetHz = offsetHz;
  p.widthHz = widthHz;
  p.volume = ldexp(1.0, 16 - scaleFactor);
  return DemodPlayRestart(p) &&
         DemodMaxOut(p.demod, blockInSamples) + kDemodBufferFrames <= kDemodAudioHold;
}

bool DemodPlayRestart(DemodPlay& p) {
  p.held = 0;
  if (!DemodInit(p.demod, p.mode, p.bandRate, p.offsetHz, kDemodAudioRate, p.widthHz, kDemodAgc))
    return false;
  DemodSetVolume(p.demod, p.volume);
  return true;
}

bool DemodPlayBlock(DemodPlay& p, CWaveOut& player, const float* block, int32_t n) {
  const int32_t total = p.held + DemodRun(p.demod, block, n, p.audio + p.held);
  bool queued = true;
  int32_t done = 0;
  for (; total - done >= kDemodBufferFrames; done += kDemodBufferFrames)
    queued = player.WriteMono(kDemodBufferFrames, p.audio + done) && queued;
  p.held = total - done;
  memmove(p.audio, p.audio + done, sizeof(int16_t) * p.held);
  return queued;
}
