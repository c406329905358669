// The AVX2 kernel; this file alone is built with AVX2 enabled, and runs only where
// the dispatcher found AVX2.
#include <immintrin.h>

#include "convert_paths.h"

// As the SSE2 loop: clear NaN, clamp the top, and leave the values beyond -2^31
// (which convert to 0x80000000) to the signed pack.
static inline __m256i ConvertEight(__m256 v, __m256 scale, __m256 top) {
  v = _mm256_mul_ps(v, scale);
  v = _mm256_and_ps(v, _mm256_cmp_ps(v, v, _CMP_ORD_Q));
  v = _mm256_min_ps(v, top);
  return _mm256_cvtps_epi32(v);
}

int ConvertAvx2(const Ipp32f* src, Ipp16s* dst, int len, float scale) {
  const __m256 s = _mm256_set1_ps(scale);
  const __m256 top = _mm256_set1_ps(32767.0f);
  int i = 0;
  for (; i + 16 <= len; i += 16) {
    __m256i lo = ConvertEight(_mm256_loadu_ps(src + i), s, top);
    __m256i hi = ConvertEight(_mm256_loadu_ps(src + i + 8), s, top);
    // The pack works within 128-bit halves; the permute puts the quarters in order.
    __m256i packed = _mm256_permute4x64_epi64(_mm256_packs_epi32(lo, hi), 0xD8);
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(dst + i), packed);
  }
  return i;
}
