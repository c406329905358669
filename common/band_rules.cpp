#include "band_rules.h"

#include <math.h>

#include "band_channel.h"

const double kBurstFactor = 2.0;
const double kBurstSlackMs = 250.0;
const double kBurstSlackBlocks = 2.0;
const double kMostRings = 1e15;  // beyond any time away a reader can measure

static double BytesByTime(const LapLook& look) {
  return look.rate > 0 ? double(look.rate) * kSampleBytes * double(look.awayMs) / 1000.0 : 0;
}

// Once the time rules out a whole ring, the count is the nearest whole number: a
// publisher at its pace wrote what its rate says, give or take a block.
int64_t HiddenRings(const LapLook& look) {
  double rings = (BytesByTime(look) - look.fresh) / look.ring;
  if (rings < 1) return 0;
  rings = floor(rings + 0.5);
  return int64_t(rings < kMostRings ? rings : kMostRings);
}

int64_t OverrunBytes(const LapLook& look) {
  int64_t block = look.block > 0 ? int64_t(look.block) * kSampleBytes : 0;
  int64_t margin = block > look.chunk ? block : look.chunk;
  int64_t limit = 2 * margin <= look.ring ? look.ring - margin : look.ring;
  int64_t hidden = HiddenRings(look);
  if (hidden == 0 && int64_t(look.unread) + look.fresh <= limit) return 0;
  return int64_t(look.unread) + look.fresh + hidden * look.ring;
}

bool IsJump(const LapLook& look, int32_t speedup) {
  if (look.rate <= 0) return false;
  double block = look.block > 0 ? look.block : 0;
  double pace = double(look.rate) * kSampleBytes * kBurstFactor * speedup;
  double most = pace * (double(look.awayMs) + kBurstSlackMs) / 1000.0 +
                kBurstSlackBlocks * block * kSampleBytes;
  return look.fresh > most;
}

bool RingHoldsAllSince(const LapLook& look) {
  return look.rate > 0 && BytesByTime(look) < look.ring;
}

uint64_t QuietLimitMs(int32_t rate, int32_t block) {
  double blockMs = rate > 0 && block > 0 ? double(block) * 1000.0 / rate : 0;
  return uint64_t(kQuietMs + 2 * blockMs);
}
