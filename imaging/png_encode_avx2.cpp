// The PNG encoder's row loops (png_encode_rows.h) over whole 32-byte vectors
// for AVX2, written out: the compiler widened the filters' bytes to 32-bit
// lanes and left unpremultiplying's branches scalar. Filter costs are sums
// of absolute differences against zero of each byte's magnitude, Paeth's
// predictor works in 16-bit lanes. Integer arithmetic throughout, so the
// same sums and bytes as the plain loops.
#include "imaging/png_encode_rows.h"
#include "imaging/tiers.h"

#include <immintrin.h>

namespace plinthora::imaging::avx2 {

namespace {

[[gnu::always_inline]] inline __m256i load(const uint8_t* p) {
    return _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p));
}

// (a + b) >> 1 per byte: the rounded-up average less the bit it rounded.
[[gnu::always_inline]] inline __m256i floorAverage(__m256i a, __m256i b) {
    return _mm256_sub_epi8(_mm256_avg_epu8(a, b), _mm256_and_si256(_mm256_xor_si256(a, b), _mm256_set1_epi8(1)));
}

// rows::paeth() on 16 bytes widened to 16-bit lanes.
[[gnu::always_inline]] inline __m256i paethHalf(__m256i a, __m256i b, __m256i c) {
    const __m256i pa = _mm256_abs_epi16(_mm256_sub_epi16(b, c));
    const __m256i pb = _mm256_abs_epi16(_mm256_sub_epi16(a, c));
    const __m256i pc = _mm256_abs_epi16(_mm256_sub_epi16(_mm256_add_epi16(a, b), _mm256_add_epi16(c, c)));
    const __m256i bc = _mm256_blendv_epi8(b, c, _mm256_cmpgt_epi16(pb, pc));
    return _mm256_blendv_epi8(a, bc, _mm256_or_si256(_mm256_cmpgt_epi16(pa, pb), _mm256_cmpgt_epi16(pa, pc)));
}

// The unpacks take each 128-bit lane's low and high halves; packing them
// back puts every byte where it came from.
[[gnu::always_inline]] inline __m256i paeth(__m256i a, __m256i b, __m256i c) {
    const __m256i z = _mm256_setzero_si256();
    const __m256i lo = paethHalf(_mm256_unpacklo_epi8(a, z), _mm256_unpacklo_epi8(b, z), _mm256_unpacklo_epi8(c, z));
    const __m256i hi = paethHalf(_mm256_unpackhi_epi8(a, z), _mm256_unpackhi_epi8(b, z), _mm256_unpackhi_epi8(c, z));
    return _mm256_packus_epi16(lo, hi);
}

// rows::cost() of each byte, summed per 8 bytes into four 64-bit lanes.
[[gnu::always_inline]] inline __m256i costs(__m256i v) {
    const __m256i z = _mm256_setzero_si256();
    return _mm256_sad_epu8(_mm256_min_epu8(v, _mm256_sub_epi8(z, v)), z);
}

uint32_t total(__m256i sums) {
    const __m128i half = _mm_add_epi64(_mm256_castsi256_si128(sums), _mm256_extracti128_si256(sums, 1));
    return uint32_t(_mm_cvtsi128_si64(half) + _mm_extract_epi64(half, 1));
}

}  // namespace

// Eight opaque pixels are only their bytes reordered, eight clear ones
// zeros (the shell's corners); any others go the plain way.
int pngUnpremultiply(const uint32_t* src, int width, uint8_t* out) {
    const int done = width & ~7;
    const __m128i rgba = _mm_setr_epi8(2, 1, 0, 3, 6, 5, 4, 7, 10, 9, 8, 11, 14, 13, 12, 15);
    const __m256i order = _mm256_broadcastsi128_si256(rgba), opaque = _mm256_set1_epi32(int(0xFF000000u));
    for (int x = 0; x < done; x += 8) {
        const __m256i p = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(src + x));
        const __m256i alpha = _mm256_and_si256(p, opaque);
        __m256i* o = reinterpret_cast<__m256i*>(out + size_t(x) * 4);
        if (_mm256_movemask_epi8(_mm256_cmpeq_epi32(alpha, opaque)) == -1)
            _mm256_storeu_si256(o, _mm256_shuffle_epi8(p, order));
        else if (_mm256_testz_si256(alpha, alpha))
            _mm256_storeu_si256(o, _mm256_setzero_si256());
        else
            png::rows::unpremultiply(src, x, x + 8, out);
    }
    return done;
}

size_t pngFilterCosts(const uint8_t* cur, const uint8_t* prev, size_t n, uint32_t* sums) {
    const size_t done = n & ~size_t(31);
    __m256i none = _mm256_setzero_si256(), sub = none, up = none, avg = none, pae = none;
    for (size_t i = 0; i < done; i += 32) {
        const __m256i x = load(cur + i), a = load(cur + i - 4), b = load(prev + i), c = load(prev + i - 4);
        none = _mm256_add_epi64(none, costs(x));
        sub = _mm256_add_epi64(sub, costs(_mm256_sub_epi8(x, a)));
        up = _mm256_add_epi64(up, costs(_mm256_sub_epi8(x, b)));
        avg = _mm256_add_epi64(avg, costs(_mm256_sub_epi8(x, floorAverage(a, b))));
        pae = _mm256_add_epi64(pae, costs(_mm256_sub_epi8(x, paeth(a, b, c))));
    }
    sums[0] += total(none);
    sums[1] += total(sub);
    sums[2] += total(up);
    sums[3] += total(avg);
    sums[4] += total(pae);
    return done;
}

size_t pngFilter(int filter, const uint8_t* cur, const uint8_t* prev, size_t n, uint8_t* out) {
    if (filter != 3 && filter != 4) return png::rows::filterWhole<32>(filter, cur, prev, n, out);
    const size_t done = n & ~size_t(31);
    for (size_t i = 0; i < done; i += 32) {
        const __m256i a = load(cur + i - 4), b = load(prev + i);
        const __m256i predicted = filter == 4 ? paeth(a, b, load(prev + i - 4)) : floorAverage(a, b);
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + i), _mm256_sub_epi8(load(cur + i), predicted));
    }
    return done;
}

}  // namespace plinthora::imaging::avx2
