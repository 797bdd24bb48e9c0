// Helpers of the SSE2 loops (the _sse2.cpp files): the scalar kernels'
// arithmetic on 16-bit lanes, rounding as they do.
#pragma once

#include <emmintrin.h>

namespace plinthora::imaging::sse2 {

// mul255 on 16-bit lanes holding 0..255: (t + (t >> 8)) >> 8 with
// t = x·y + 128 < 2^16 equals (t·257) >> 16, one high multiply.
inline __m128i mul255(__m128i x, __m128i y) {
    const __m128i t = _mm_add_epi16(_mm_mullo_epi16(x, y), _mm_set1_epi16(128));
    return _mm_mulhi_epu16(t, _mm_set1_epi16(257));
}

// Each pixel's alpha copied to its four 16-bit channel lanes (two pixels
// per register, unpacked).
inline __m128i alphas(__m128i p16) { return _mm_shufflehi_epi16(_mm_shufflelo_epi16(p16, 0xFF), 0xFF); }

// 255 − αs per lane of two unpacked source pixels.
inline __m128i inverseAlphas(__m128i s16) { return _mm_xor_si128(alphas(s16), _mm_set1_epi16(255)); }

// Four pixels of over(): the same rounding as the scalar version.
inline __m128i over(__m128i s, __m128i d) {
    const __m128i zero = _mm_setzero_si128();
    const __m128i lo = mul255(_mm_unpacklo_epi8(d, zero), inverseAlphas(_mm_unpacklo_epi8(s, zero)));
    const __m128i hi = mul255(_mm_unpackhi_epi8(d, zero), inverseAlphas(_mm_unpackhi_epi8(s, zero)));
    return _mm_adds_epu8(s, _mm_packus_epi16(lo, hi));
}

inline bool allZero(__m128i v) { return _mm_movemask_epi8(_mm_cmpeq_epi32(v, _mm_setzero_si128())) == 0xFFFF; }

}  // namespace plinthora::imaging::sse2
