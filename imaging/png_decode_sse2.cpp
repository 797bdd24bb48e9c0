// The PNG decoder's Average and Paeth filters undone on four-byte pixels,
// one pixel per step in 16-bit lanes: each byte depends on the one a pixel
// to its left, so a pixel is as wide as a step can be, and wider vectors
// would not help.
#include "imaging/tiers.h"

#include <emmintrin.h>

#include <cstring>

namespace plinthora::imaging::sse2 {

namespace {

__m128i load4(const uint8_t* p) {
    int v;
    std::memcpy(&v, p, 4);
    return _mm_unpacklo_epi8(_mm_cvtsi32_si128(v), _mm_setzero_si128());
}
void store4(uint8_t* p, __m128i v) {
    const int w = _mm_cvtsi128_si32(_mm_packus_epi16(_mm_and_si128(v, _mm_set1_epi16(0xFF)), _mm_setzero_si128()));
    std::memcpy(p, &w, 4);
}
__m128i abs16(__m128i x) { return _mm_max_epi16(x, _mm_sub_epi16(_mm_setzero_si128(), x)); }
__m128i select(__m128i mask, __m128i yes, __m128i no) {
    return _mm_or_si128(_mm_and_si128(mask, yes), _mm_andnot_si128(mask, no));
}

}  // namespace

size_t unfilterAverage4(uint8_t* row, const uint8_t* prev, size_t len) {
    __m128i a = _mm_setzero_si128();
    size_t i = 0;
    for (; i + 4 <= len; i += 4) {
        const __m128i avg = _mm_srli_epi16(_mm_add_epi16(a, load4(prev + i)), 1);
        a = _mm_and_si128(_mm_add_epi16(load4(row + i), avg), _mm_set1_epi16(0xFF));
        store4(row + i, a);
    }
    return i;
}

size_t unfilterPaeth4(uint8_t* row, const uint8_t* prev, size_t len) {
    __m128i a = _mm_setzero_si128(), c = _mm_setzero_si128();
    size_t i = 0;
    for (; i + 4 <= len; i += 4) {
        const __m128i b = load4(prev + i);
        const __m128i pa = _mm_sub_epi16(b, c), pb = _mm_sub_epi16(a, c);
        const __m128i absA = abs16(pa), absB = abs16(pb), absC = abs16(_mm_add_epi16(pa, pb));
        const __m128i smallest = _mm_min_epi16(absC, _mm_min_epi16(absA, absB));
        const __m128i pred = select(_mm_cmpeq_epi16(absA, smallest), a, select(_mm_cmpeq_epi16(absB, smallest), b, c));
        a = _mm_and_si128(_mm_add_epi16(load4(row + i), pred), _mm_set1_epi16(0xFF));
        store4(row + i, a);
        c = b;
    }
    return i;
}

}  // namespace plinthora::imaging::sse2
