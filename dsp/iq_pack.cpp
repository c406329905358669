// Packing to the wire formats. Rounding is to the nearest, ties to even, as the
// recorder's conversion does, so a 16-bit stream at full rate matches its files.
#include <emmintrin.h>
#include <stdint.h>
#include <string.h>

#include "iq_path.h"

int IqFormatBytes(IqFormat f) {
  switch (f) {
    case kIqU8Centre128:
    case kIqU8Centre1275:
      return 2;
    case kIqS16:
      return 4;
    case kIqS24:
      return 6;
    case kIqF32:
      break;
  }
  return 8;
}

static int RoundClip(float v, float lo, float hi) {
  v = v < lo ? lo : v > hi ? hi : v;
  return _mm_cvtss_si32(_mm_set_ss(v));
}

// offset + scale x, clipped to [lo, hi], for eight values.
static __m128i Round8(const float* x, __m128 offset, __m128 scale, __m128 lo, __m128 hi) {
  const __m128 a = _mm_add_ps(offset, _mm_mul_ps(scale, _mm_loadu_ps(x)));
  const __m128 b = _mm_add_ps(offset, _mm_mul_ps(scale, _mm_loadu_ps(x + 4)));
  return _mm_packs_epi32(_mm_cvtps_epi32(_mm_min_ps(_mm_max_ps(a, lo), hi)),
                         _mm_cvtps_epi32(_mm_min_ps(_mm_max_ps(b, lo), hi)));
}

static void PackS16(const float* x, int values, float gain, int16_t* out) {
  const float scale = 32768.0f * gain;
  const __m128 o = _mm_setzero_ps(), s = _mm_set1_ps(scale);
  const __m128 lo = _mm_set1_ps(-32768.0f), hi = _mm_set1_ps(32767.0f);
  int i = 0;
  for (; i + 8 <= values; i += 8)
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out + i), Round8(x + i, o, s, lo, hi));
  for (; i < values; i++) out[i] = int16_t(RoundClip(scale * x[i], -32768.0f, 32767.0f));
}

// Three bytes a value; the scale and clip in float keep every 24-bit step exact.
static void PackS24(const float* x, int values, float gain, uint8_t* out) {
  const float scale = 8388608.0f * gain;
  for (int i = 0; i < values; i++, out += 3) {
    const int v = RoundClip(scale * x[i], -8388608.0f, 8388607.0f);
    out[0] = uint8_t(v);
    out[1] = uint8_t(v >> 8);
    out[2] = uint8_t(v >> 16);
  }
}

static void PackU8(const float* x, int values, float centre, float gain, uint8_t* out) {
  const float scale = centre * gain;
  const __m128 o = _mm_set1_ps(centre), s = _mm_set1_ps(scale);
  const __m128 lo = _mm_setzero_ps(), hi = _mm_set1_ps(255.0f);
  int i = 0;
  for (; i + 8 <= values; i += 8) {
    const __m128i w = Round8(x + i, o, s, lo, hi);
    _mm_storel_epi64(reinterpret_cast<__m128i*>(out + i), _mm_packus_epi16(w, w));
  }
  for (; i < values; i++) out[i] = uint8_t(RoundClip(centre + scale * x[i], 0.0f, 255.0f));
}

static void PackF32(const float* x, int values, float gain, float* out) {
  const __m128 g = _mm_set1_ps(gain);
  int i = 0;
  for (; i + 4 <= values; i += 4) _mm_storeu_ps(out + i, _mm_mul_ps(g, _mm_loadu_ps(x + i)));
  for (; i < values; i++) out[i] = gain * x[i];
}

int IqPack(IqFormat f, const float* iq, int n, float gain, void* out) {
  switch (f) {
    case kIqU8Centre128:
      PackU8(iq, 2 * n, 128.0f, gain, static_cast<uint8_t*>(out));
      break;
    case kIqU8Centre1275:
      PackU8(iq, 2 * n, 127.5f, gain, static_cast<uint8_t*>(out));
      break;
    case kIqS16:
      PackS16(iq, 2 * n, gain, static_cast<int16_t*>(out));
      break;
    case kIqS24:
      PackS24(iq, 2 * n, gain, static_cast<uint8_t*>(out));
      break;
    case kIqF32:
      PackF32(iq, 2 * n, gain, static_cast<float*>(out));
      break;
  }
  return n * IqFormatBytes(f);
}
