#include "play_loop.h"

#include <conio.h>
#include <stdio.h>

int32_t PlayWakeUp(BandChannel& ch, CWaveOut& player, int32_t blockInSamples, int32_t scaleFactor,
                   float* block, DemodPlay* demod) {
  const int32_t blockBytes = blockInSamples * kSampleBytes;
  int32_t taken = 0;
  WaitForData(ch, kResponsiveWaitMs);
  while (!_kbhit() && Read(ch, blockBytes, block)) {
    taken++;
    const bool queued = demod ? DemodPlayBlock(*demod, player, block, blockInSamples)
                              : player.Write(blockInSamples, block, scaleFactor);
    if (!queued) printf("#");
  }
  int64_t lost = TakeOverrun(ch);
  if (TakeResync(ch)) {
    if (lost > 0)
      printf(
          "\nThe player fell a ring behind, about %lld samples lost: the sound restarts from "
          "the band's position\n",
          (long long)lost);
    else
      printf("\nThe band started anew or jumped: the sound restarts from its new position\n");
    if (demod) DemodPlayRestart(*demod);
    if (!player.Restart()) fprintf(stderr, "Can't restart the sound on the waveout device\n");
  }
  return taken;
}

bool PlayUntilKey(BandChannel& ch, CWaveOut& player, int32_t blockInSamples, int32_t scaleFactor,
                  float* block, DemodPlay* demod) {
  // The wake-up's time-out lets a key end the playing while the publisher is silent.
  while (!_kbhit() && player.IsOpen())
    PlayWakeUp(ch, player, blockInSamples, scaleFactor, block, demod);
  return player.IsOpen();
}
