// draw()'s whole-pixel blends sixteen pixels at a time (built for AVX-512
// F, BW and VL): the SSE2 loop in four times the lanes, the same
// arithmetic and bytes.
#include "imaging/tiers.h"

// GCC 12 takes the undefined upper lanes its AVX-512 shifts and unpacks
// start from for uninitialised reads.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#include <immintrin.h>
#pragma GCC diagnostic pop

namespace plinthora::imaging::avx512 {

namespace {

enum class Mode { Normal, Screen };

__m512i mul255x16(__m512i x, __m512i y) {
    const __m512i t = _mm512_add_epi16(_mm512_mullo_epi16(x, y), _mm512_set1_epi16(128));
    return _mm512_mulhi_epu16(t, _mm512_set1_epi16(257));
}

// 255 − αs per lane of unpacked source pixels.
__m512i inverseAlphas16(__m512i s16) {
    return _mm512_xor_si512(_mm512_shufflehi_epi16(_mm512_shufflelo_epi16(s16, 0xFF), 0xFF), _mm512_set1_epi16(255));
}

template <Mode M>
int blendRow(uint32_t* d, const uint32_t* s, int n, uint32_t a8) {
    const __m512i zero = _mm512_setzero_si512();
    const __m512i k = _mm512_set1_epi16(short(a8));
    // Sixteen pixels a step; the last few (a watermark's stretches are
    // short) in a masked one.
    for (int i = 0; i < n; i += 16) {
        const __mmask16 m = n - i >= 16 ? __mmask16(0xFFFF) : __mmask16((1u << (n - i)) - 1);
        // A watermark's stretches are read once a frame from memory, and
        // short: the hardware's own prefetch stops at each page and each
        // gap, and the blend waited on their lines. 2 KB ahead keeps them
        // coming (the blend's time in a movie's export about halved).
        _mm_prefetch(reinterpret_cast<const char*>(s + i) + 2048, _MM_HINT_T0);
        const __m512i sv = _mm512_maskz_loadu_epi32(m, s + i);
        if (_mm512_test_epi32_mask(sv, sv) == 0) continue;  // clear source: dst stays
        const __m512i dv = _mm512_maskz_loadu_epi32(m, d + i);
        __m512i slo = _mm512_unpacklo_epi8(sv, zero), shi = _mm512_unpackhi_epi8(sv, zero);
        if (a8 != 255) {
            slo = mul255x16(slo, k);
            shi = mul255x16(shi, k);
        }
        const __m512i dlo = _mm512_unpacklo_epi8(dv, zero), dhi = _mm512_unpackhi_epi8(dv, zero);
        __m512i lo, hi;
        if constexpr (M == Mode::Normal) {
            lo = _mm512_add_epi16(slo, mul255x16(dlo, inverseAlphas16(slo)));
            hi = _mm512_add_epi16(shi, mul255x16(dhi, inverseAlphas16(shi)));
        } else {
            lo = _mm512_sub_epi16(_mm512_add_epi16(slo, dlo), mul255x16(slo, dlo));
            hi = _mm512_sub_epi16(_mm512_add_epi16(shi, dhi), mul255x16(shi, dhi));
        }
        _mm512_mask_storeu_epi32(d + i, m, _mm512_packus_epi16(lo, hi));
    }
    return n;
}

}  // namespace

int blendNormal(uint32_t* d, const uint32_t* s, int n, uint32_t a8) { return blendRow<Mode::Normal>(d, s, n, a8); }
int blendScreen(uint32_t* d, const uint32_t* s, int n, uint32_t a8) { return blendRow<Mode::Screen>(d, s, n, a8); }

}  // namespace plinthora::imaging::avx512
