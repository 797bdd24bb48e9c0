// draw()'s whole-pixel blends four pixels at a time.
#include "imaging/sse2.h"
#include "imaging/tiers.h"

namespace plinthora::imaging::sse2 {

namespace {

enum class Mode { Normal, Screen };

// On 16-bit lanes, rounding exactly as the scalar mul255 does, so both
// paths give the same bytes.
template <Mode M>
int blendRow(uint32_t* d, const uint32_t* s, int n, uint32_t a8) {
    const __m128i zero = _mm_setzero_si128();
    const __m128i k = _mm_set1_epi16(short(a8));
    int i = 0;
    for (; i + 4 <= n; i += 4) {
        // The source's lines ahead, one ask a line, as the AVX-512 loop.
        if (i % 16 == 0) _mm_prefetch(reinterpret_cast<const char*>(s + i) + 2048, _MM_HINT_T0);
        const __m128i sv = _mm_loadu_si128(reinterpret_cast<const __m128i*>(s + i));
        if (allZero(sv)) continue;  // clear source: dst stays
        const __m128i dv = _mm_loadu_si128(reinterpret_cast<const __m128i*>(d + i));
        __m128i slo = _mm_unpacklo_epi8(sv, zero), shi = _mm_unpackhi_epi8(sv, zero);
        if (a8 != 255) {
            slo = mul255(slo, k);
            shi = mul255(shi, k);
        }
        const __m128i dlo = _mm_unpacklo_epi8(dv, zero), dhi = _mm_unpackhi_epi8(dv, zero);
        __m128i lo, hi;
        if constexpr (M == Mode::Normal) {
            lo = _mm_add_epi16(slo, mul255(dlo, inverseAlphas(slo)));
            hi = _mm_add_epi16(shi, mul255(dhi, inverseAlphas(shi)));
        } else {
            lo = _mm_sub_epi16(_mm_add_epi16(slo, dlo), mul255(slo, dlo));
            hi = _mm_sub_epi16(_mm_add_epi16(shi, dhi), mul255(shi, dhi));
        }
        _mm_storeu_si128(reinterpret_cast<__m128i*>(d + i), _mm_packus_epi16(lo, hi));
    }
    return i;
}

}  // namespace

int blendNormal(uint32_t* d, const uint32_t* s, int n, uint32_t a8) { return blendRow<Mode::Normal>(d, s, n, a8); }
int blendScreen(uint32_t* d, const uint32_t* s, int n, uint32_t a8) { return blendRow<Mode::Screen>(d, s, n, a8); }

}  // namespace plinthora::imaging::sse2
