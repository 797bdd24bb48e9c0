// draw()'s whole-pixel blends eight pixels at a time: the SSE2 loop in
// twice the lanes, the same arithmetic and bytes.
#include "imaging/tiers.h"

#include <immintrin.h>

namespace plinthora::imaging::avx2 {

namespace {

enum class Mode { Normal, Screen };

__m256i mul255x16(__m256i x, __m256i y) {
    const __m256i t = _mm256_add_epi16(_mm256_mullo_epi16(x, y), _mm256_set1_epi16(128));
    return _mm256_mulhi_epu16(t, _mm256_set1_epi16(257));
}

// 255 − αs per lane of unpacked source pixels.
__m256i inverseAlphas16(__m256i s16) {
    return _mm256_xor_si256(_mm256_shufflehi_epi16(_mm256_shufflelo_epi16(s16, 0xFF), 0xFF), _mm256_set1_epi16(255));
}

template <Mode M>
int blendRow(uint32_t* d, const uint32_t* s, int n, uint32_t a8) {
    const __m256i zero = _mm256_setzero_si256();
    const __m256i k = _mm256_set1_epi16(short(a8));
    int i = 0;
    for (; i + 8 <= n; i += 8) {
        // The source's lines ahead, as the AVX-512 loop asks for them.
        _mm_prefetch(reinterpret_cast<const char*>(s + i) + 2048, _MM_HINT_T0);
        const __m256i sv = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(s + i));
        if (_mm256_testz_si256(sv, sv)) continue;  // clear source: dst stays
        const __m256i dv = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(d + i));
        __m256i slo = _mm256_unpacklo_epi8(sv, zero), shi = _mm256_unpackhi_epi8(sv, zero);
        if (a8 != 255) {
            slo = mul255x16(slo, k);
            shi = mul255x16(shi, k);
        }
        const __m256i dlo = _mm256_unpacklo_epi8(dv, zero), dhi = _mm256_unpackhi_epi8(dv, zero);
        __m256i lo, hi;
        if constexpr (M == Mode::Normal) {
            lo = _mm256_add_epi16(slo, mul255x16(dlo, inverseAlphas16(slo)));
            hi = _mm256_add_epi16(shi, mul255x16(dhi, inverseAlphas16(shi)));
        } else {
            lo = _mm256_sub_epi16(_mm256_add_epi16(slo, dlo), mul255x16(slo, dlo));
            hi = _mm256_sub_epi16(_mm256_add_epi16(shi, dhi), mul255x16(shi, dhi));
        }
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(d + i), _mm256_packus_epi16(lo, hi));
    }
    return i;
}

}  // namespace

int blendNormal(uint32_t* d, const uint32_t* s, int n, uint32_t a8) {
    const int i = blendRow<Mode::Normal>(d, s, n, a8);
    return n - i >= 4 ? i + sse2::blendNormal(d + i, s + i, n - i, a8) : i;
}
int blendScreen(uint32_t* d, const uint32_t* s, int n, uint32_t a8) {
    const int i = blendRow<Mode::Screen>(d, s, n, a8);
    return n - i >= 4 ? i + sse2::blendScreen(d + i, s + i, n - i, a8) : i;
}

}  // namespace plinthora::imaging::avx2
