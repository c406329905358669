// Turning a block of float I/Q samples into the bytes of a WAV file.
#pragma once

#include <stdint.h>

#include "wav_writer.h"

// Packs values floats as 3-byte little-endian integers: the value truncated to a
// 32-bit integer (saturated outside that range, NaN as 0) shifted right by 8.
void Pack24(const float* values, int32_t count, uint8_t* out);

// Converts samples complex samples (I, Q interleaved) into the file format;
// returns the byte count (4 or 6 bytes per complex sample).
uint32_t ConvertBlock(const float* iq, int32_t samples, SampleFormat format, int scaleFactor,
                      uint8_t* out);
