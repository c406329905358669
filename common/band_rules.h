// The rules by which a reader judges what the publisher did between two of its
// looks, as pure functions of what the looks saw.
#pragma once

#include <stdint.h>

// What a look saw of the band since the look before.
struct LapLook {
  int32_t unread;   // bytes the reader had not yet taken at the last look
  int32_t fresh;    // bytes WritePos moved since then, counted forward round the ring
  uint64_t awayMs;  // time since the last look
  int32_t rate;     // the band's SampleRate
  int32_t block;    // the band's BlockInSamples
  int32_t ring;     // the ring's size in bytes
  int32_t chunk;    // bytes the reader takes at a time
};

// The whole rings the publisher wrote beyond `fresh` in the time away at its rate:
// 0 unless that time covers at least a whole ring more than `fresh`.
int64_t HiddenRings(const LapLook& look);

// The bytes the reader must skip because the publisher can have written over what
// it had not yet taken, 0 when all of that is still safe to take. The block the
// publisher may be writing is kept clear by a margin of the larger of the reader's
// chunk and the publisher's block; a ring under two of those has no room for the
// margin, so there only a true lap counts.
int64_t OverrunBytes(const LapLook& look);

// True when WritePos moved further than a publisher at `speedup` times its rate can
// write in the time away: twice the pace, plus a quarter second and two blocks for
// one that writes in bursts. A band not in use announces no pace to hold it to.
bool IsJump(const LapLook& look, int32_t speedup);

// True when a publisher that started after the last look cannot yet have gone round
// its ring, so all it wrote is still there from the ring's start.
bool RingHoldsAllSince(const LapLook& look);

// How long WritePos may stand still before a band is let go: a slow band gets two of
// its blocks on top of the quiet limit.
uint64_t QuietLimitMs(int32_t rate, int32_t block);
