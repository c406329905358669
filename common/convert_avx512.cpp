// The AVX-512 kernel (AVX512F only); this file alone is built with AVX-512
// enabled, and runs only where the dispatcher found it.
#include <immintrin.h>

#include "convert_paths.h"

int ConvertAvx512(const Ipp32f* src, Ipp16s* dst, int len, float scale) {
  const __m512 s = _mm512_set1_ps(scale);
  const __m512 top = _mm512_set1_ps(32767.0f);
  int i = 0;
  for (; i + 16 <= len; i += 16) {
    __m512 v = _mm512_loadu_ps(src + i);
    // The zeroing mask turns NaN into 0; the signed narrowing saturates the rest,
    // -inf and values beyond -2^31 (converted to 0x80000000) included.
    v = _mm512_maskz_mul_ps(_mm512_cmp_ps_mask(v, v, _CMP_ORD_Q), v, s);
    v = _mm512_min_ps(v, top);
    __m256i narrow = _mm512_cvtsepi32_epi16(_mm512_cvtps_epi32(v));
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(dst + i), narrow);
  }
  return i;
}
