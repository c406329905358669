// A band's samples from an I/Q WAV file (stereo, I left and Q right, 16-bit
// PCM or 32-bit float), published once from a chosen UTC boundary on; before
// and after it the band carries silence.
#pragma once

#include <stdint.h>

#include <vector>

struct SimFile {
  std::vector<float> iq;  // interleaved I, Q at the band's scale (full scale 2^31)
  int32_t rate;           // the file's sample rate, which the band takes
  int32_t startOn;        // the first sample goes out on a UTC multiple of this; 0: at once
  int64_t firstIndex;     // the band sample (counted from the first block) that is the file's first
};

// Reads the whole file; false with a line on stderr naming what is wrong.
bool SimFileLoad(SimFile& f, const char* path);

// Places the file's first sample for a band whose first block (of `block`
// samples) goes out now, at UTC nowUtcSeconds. A block goes out when its last
// sample has been taken, so the band's sample n is taken n - block samples
// from now.
void SimFileSchedule(SimFile& f, int32_t block, double nowUtcSeconds);

// The band's samples [first, first + n): the file's where they fall, else zero.
void SimFileFill(const SimFile& f, uint64_t first, int32_t n, float* iq);

// UTC now in seconds since 1970, as the system clock counts it.
double SimUtcSeconds();
