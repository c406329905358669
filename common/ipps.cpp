#include "ipps.h"

#include <emmintrin.h>
#include <malloc.h>
#include <math.h>

#include "convert_paths.h"

static const int kAlignment = 32;
static const float kMax16 = 32767.0f;

// The SSE2 conversion instruction returns 0x80000000 for NaN and for values beyond
// the 32-bit range; clearing NaN and clamping the top first leaves only large
// negatives there, which the signed pack saturates to -32768 as it should.
static inline __m128i ConvertFour(__m128 v, __m128 scale, __m128 top) {
  v = _mm_mul_ps(v, scale);
  v = _mm_and_ps(v, _mm_cmpord_ps(v, v));
  v = _mm_min_ps(v, top);
  return _mm_cvtps_epi32(v);
}

// Every path ends here: its kernel does the leading multiple of 16 values, this
// loop and the scalar tail the rest, all under one MXCSR setting.
void ConvertOnPath(ConvertPath path, const Ipp32f* pSrc, Ipp16s* pDst, int len, int scaleFactor) {
  // The conversion instruction rounds as MXCSR says, and a host program that loads
  // the plug-in may have changed that: round to nearest for this call only.
  const unsigned int savedMode = _mm_getcsr();
  _mm_setcsr(savedMode & ~unsigned(_MM_ROUND_MASK));
  const float scaleValue = ldexpf(1.0f, -scaleFactor);
  int i = 0;
  if (path == kPathAvx2) i = ConvertAvx2(pSrc, pDst, len, scaleValue);
  if (path == kPathAvx512) i = ConvertAvx512(pSrc, pDst, len, scaleValue);
  const __m128 scale = _mm_set1_ps(scaleValue);
  const __m128 top = _mm_set1_ps(kMax16);
  for (; i + 8 <= len; i += 8) {
    __m128i lo = ConvertFour(_mm_loadu_ps(pSrc + i), scale, top);
    __m128i hi = ConvertFour(_mm_loadu_ps(pSrc + i + 4), scale, top);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(pDst + i), _mm_packs_epi32(lo, hi));
  }
  for (; i < len; i++) {
    __m128i one = ConvertFour(_mm_set_ss(pSrc[i]), scale, top);
    pDst[i] = Ipp16s(_mm_cvtsi128_si32(_mm_packs_epi32(one, one)));
  }
  _mm_setcsr(savedMode);
}

IppStatus __stdcall ippsConvert_32f16s_Sfs(const Ipp32f* pSrc, Ipp16s* pDst, int len, IppRoundMode,
                                           int scaleFactor) {
  if (!pSrc || !pDst) return ippStsNullPtrErr;
  if (len < 1) return ippStsSizeErr;
  ConvertOnPath(ChosenConvertPath(), pSrc, pDst, len, scaleFactor);
  return ippStsNoErr;
}

Ipp8u* __stdcall ippsMalloc_8u(int len) {
  if (len < 1) return nullptr;
  return static_cast<Ipp8u*>(_aligned_malloc(size_t(len), kAlignment));
}

void __stdcall ippsFree(void* ptr) {
  _aligned_free(ptr);
}
