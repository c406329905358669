// The player's loop, one wake-up at a time, so a unit test can drive it.
#pragma once

#include "band_channel.h"
#include "demod_play.h"
#include "wave_out.h"

// Waits up to kResponsiveWaitMs for the publisher's signal, then takes every whole
// block of blockInSamples there is into block and writes each to the player, so
// the player keeps up with a publisher that signals once for several blocks.
// Prints "#" for each block the sound queue refuses. Stops taking when a key is
// pressed. When the band was published anew or its WritePos jumped, the player
// drops what it has queued and starts again on a fresh ring of silence, so no
// sound from before the jump is played after it; a player that cannot restart is
// closed. With demod, each block is played as that channel's audio instead of
// I/Q, and a restart forgets the channel's past too. Returns the number of
// blocks taken from the band.
int32_t PlayWakeUp(BandChannel& ch, CWaveOut& player, int32_t blockInSamples, int32_t scaleFactor,
                   float* block, DemodPlay* demod = nullptr);

// Plays wake-up after wake-up until a key is pressed or the device fails (a player
// that could not restart is closed). True for the key, false for the device.
bool PlayUntilKey(BandChannel& ch, CWaveOut& player, int32_t blockInSamples, int32_t scaleFactor,
                  float* block, DemodPlay* demod = nullptr);
