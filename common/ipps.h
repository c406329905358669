// The three signal-library calls the programs use, under the vendor's signatures,
// so a build could link the vendor library in place of ipps.cpp.
#pragma once

typedef unsigned char Ipp8u;
typedef signed short Ipp16s;
typedef float Ipp32f;

typedef enum {
  ippStsSizeErr = -6,
  ippStsNullPtrErr = -8,
  ippStsNoErr = 0,
} IppStatus;

typedef enum {
  ippRndZero = 0,
  ippRndNear = 1,
} IppRoundMode;

#ifdef __cplusplus
extern "C" {
#endif

// dst[i] = saturate16(round_to_nearest(src[i] * 2^-scaleFactor)). Only round to
// nearest is offered; NaN converts to 0.
IppStatus __stdcall ippsConvert_32f16s_Sfs(const Ipp32f* pSrc, Ipp16s* pDst, int len,
                                           IppRoundMode rndMode, int scaleFactor);

// len bytes aligned to 32 bytes, or null; release with ippsFree.
Ipp8u* __stdcall ippsMalloc_8u(int len);
void __stdcall ippsFree(void* ptr);

#ifdef __cplusplus
}
#endif
