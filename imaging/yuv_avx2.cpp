// 4:2:0 rows to and from ARGB32 sixteen pixels at a time (built for AVX2).
#include "imaging/tiers.h"

#include <immintrin.h>

namespace plinthora::imaging::avx2 {

namespace {

__m256i pair16(int lo, int hi) { return _mm256_set1_epi32(int(uint32_t(uint16_t(lo)) | uint32_t(hi) << 16)); }

// Eight chroma samples less 128, each twice: four to a half.
__m256i chroma8(const uint8_t* p, __m256i k128) {
    const __m128i c8 = _mm_loadl_epi64(reinterpret_cast<const __m128i*>(p));
    return _mm256_sub_epi16(_mm256_cvtepu8_epi16(_mm_unpacklo_epi8(c8, c8)), k128);
}

__m256i weights8(int b, int g, int r) {
    return _mm256_setr_epi16(short(b), short(g), short(r), 0, short(b), short(g), short(r), 0, short(b), short(g),
                             short(r), 0, short(b), short(g), short(r), 0);
}

// Four 32-bit dot products per half from two registers of two pixels' (or
// blocks') partial sums each.
__m256i dots8(__m256i lo, __m256i hi) {
    const __m256 l = _mm256_castsi256_ps(lo), r = _mm256_castsi256_ps(hi);
    return _mm256_add_epi32(_mm256_castps_si256(_mm256_shuffle_ps(l, r, _MM_SHUFFLE(2, 0, 2, 0))),
                            _mm256_castps_si256(_mm256_shuffle_ps(l, r, _MM_SHUFFLE(3, 1, 3, 1))));
}

__m256i luma8(__m256i lo16, __m256i hi16, __m256i wY, __m256i yBias) {
    return _mm256_srai_epi32(_mm256_add_epi32(dots8(_mm256_madd_epi16(lo16, wY), _mm256_madd_epi16(hi16, wY)), yBias),
                             15);
}

// Pixels a to a + 3 in the low half, b to b + 3 in the high one.
__m256i halves(const uint32_t* p, int a, int b) {
    return _mm256_inserti128_si256(_mm256_castsi128_si256(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p + a))),
                                   _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + b)), 1);
}

// The SSE2 loops below in twice the lanes, sixteen pixels a step: each
// 128-bit half does what one SSE2 step does for eight of them, so the
// arithmetic, and the bytes, are the same. Return how many pixels they did.
int rowToArgb(const ToRgb& c, const uint8_t* Y, const uint8_t* U, const uint8_t* V, uint32_t* o, int width) {
    const __m256i zero = _mm256_setzero_si256(), alpha = _mm256_set1_epi8(char(0xFF));
    const __m256i yOff = _mm256_set1_epi16(short(c.yOffset)), k128 = _mm256_set1_epi16(128);
    const __m256i wY = pair16(c.cy, 4096), wR = pair16(0, c.crv), wG = pair16(-c.cgu, -c.cgv), wB = pair16(c.cbu, 0);
    const __m256i one = _mm256_set1_epi16(1);
    int x = 0;
    for (; x + 16 <= width; x += 16) {
        const __m256i u16 = chroma8(U + x / 2, k128), v16 = chroma8(V + x / 2, k128);
        const __m256i y16 =
            _mm256_sub_epi16(_mm256_cvtepu8_epi16(_mm_loadu_si128(reinterpret_cast<const __m128i*>(Y + x))), yOff);
        __m256i r[2], g[2], b[2];
        for (int h = 0; h < 2; ++h) {
            const __m256i ys = h ? _mm256_unpackhi_epi16(y16, one) : _mm256_unpacklo_epi16(y16, one);
            const __m256i uv = h ? _mm256_unpackhi_epi16(u16, v16) : _mm256_unpacklo_epi16(u16, v16);
            const __m256i yy = _mm256_madd_epi16(ys, wY);
            r[h] = _mm256_srai_epi32(_mm256_add_epi32(yy, _mm256_madd_epi16(uv, wR)), 13);
            g[h] = _mm256_srai_epi32(_mm256_add_epi32(yy, _mm256_madd_epi16(uv, wG)), 13);
            b[h] = _mm256_srai_epi32(_mm256_add_epi32(yy, _mm256_madd_epi16(uv, wB)), 13);
        }
        const __m256i R = _mm256_packus_epi16(_mm256_packs_epi32(r[0], r[1]), zero);
        const __m256i G = _mm256_packus_epi16(_mm256_packs_epi32(g[0], g[1]), zero);
        const __m256i B = _mm256_packus_epi16(_mm256_packs_epi32(b[0], b[1]), zero);
        const __m256i bg = _mm256_unpacklo_epi8(B, G), ra = _mm256_unpacklo_epi8(R, alpha);
        const __m256i lo = _mm256_unpacklo_epi16(bg, ra), hi = _mm256_unpackhi_epi16(bg, ra);
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(o + x), _mm256_permute2x128_si256(lo, hi, 0x20));
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(o + x + 8), _mm256_permute2x128_si256(lo, hi, 0x31));
    }
    return x;
}

// Rows y and y + 1 of the bitmap (r0, r1) to their luma rows and their
// chroma row.
int rowsToYuv(const uint32_t* r0, const uint32_t* r1, uint8_t* Y0, uint8_t* Y1, uint8_t* U, uint8_t* V, int w) {
    const ToYuv& k = toYuv();
    const __m256i zero = _mm256_setzero_si256();
    const __m256i wY = weights8(k.yb, k.yg, k.yr), wU = weights8(k.ub, k.ug, k.ur), wV = weights8(k.vb, k.vg, k.vr);
    const __m256i yBias = _mm256_set1_epi32(k.yBias), cBias = _mm256_set1_epi32(k.cBias);
    int x = 0;
    // Pixels 0–3 and 8–11 of a step in one register, 4–7 and 12–15 in the
    // other, so that each half holds one SSE2 step's eight.
    for (; x + 16 <= w; x += 16) {
        const __m256i a0 = halves(r0, x, x + 8), b0 = halves(r0, x + 4, x + 12);
        const __m256i a1 = halves(r1, x, x + 8), b1 = halves(r1, x + 4, x + 12);
        const __m256i a0l = _mm256_unpacklo_epi8(a0, zero), a0h = _mm256_unpackhi_epi8(a0, zero);
        const __m256i b0l = _mm256_unpacklo_epi8(b0, zero), b0h = _mm256_unpackhi_epi8(b0, zero);
        const __m256i a1l = _mm256_unpacklo_epi8(a1, zero), a1h = _mm256_unpackhi_epi8(a1, zero);
        const __m256i b1l = _mm256_unpacklo_epi8(b1, zero), b1h = _mm256_unpackhi_epi8(b1, zero);
        const __m256i y0 = _mm256_packs_epi32(luma8(a0l, a0h, wY, yBias), luma8(b0l, b0h, wY, yBias));
        const __m256i y1 = _mm256_packs_epi32(luma8(a1l, a1h, wY, yBias), luma8(b1l, b1h, wY, yBias));
        // Halves: row y then row y + 1, eight bytes each; then row by row.
        const __m256i ys = _mm256_permute4x64_epi64(_mm256_packus_epi16(y0, y1), _MM_SHUFFLE(3, 1, 2, 0));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(Y0 + x), _mm256_castsi256_si128(ys));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(Y1 + x), _mm256_extracti128_si256(ys, 1));
        const __m256i al = _mm256_add_epi16(a0l, a1l), ah = _mm256_add_epi16(a0h, a1h);
        const __m256i bl = _mm256_add_epi16(b0l, b1l), bh = _mm256_add_epi16(b0h, b1h);
        const __m256i s01 = _mm256_add_epi16(_mm256_unpacklo_epi64(al, ah), _mm256_unpackhi_epi64(al, ah));
        const __m256i s23 = _mm256_add_epi16(_mm256_unpacklo_epi64(bl, bh), _mm256_unpackhi_epi64(bl, bh));
        const __m256i u = _mm256_srai_epi32(
            _mm256_add_epi32(dots8(_mm256_madd_epi16(s01, wU), _mm256_madd_epi16(s23, wU)), cBias), 17);
        const __m256i v = _mm256_srai_epi32(
            _mm256_add_epi32(dots8(_mm256_madd_epi16(s01, wV), _mm256_madd_epi16(s23, wV)), cBias), 17);
        // Per half: four U then four V bytes; gathered to eight U, eight V.
        const __m256i uv = _mm256_packus_epi16(_mm256_packs_epi32(u, v), zero);
        const __m256i ordered = _mm256_permutevar8x32_epi32(uv, _mm256_setr_epi32(0, 4, 1, 5, 2, 3, 6, 7));
        const __m128i both = _mm256_castsi256_si128(ordered);
        _mm_storel_epi64(reinterpret_cast<__m128i*>(U + x / 2), both);
        _mm_storel_epi64(reinterpret_cast<__m128i*>(V + x / 2), _mm_unpackhi_epi64(both, both));
    }
    return x;
}

}  // namespace

int yuvRowToArgb(const ToRgb& c, const uint8_t* Y, const uint8_t* U, const uint8_t* V, uint32_t* o, int width) {
    const int x = rowToArgb(c, Y, U, V, o, width);
    return x + sse2::yuvRowToArgb(c, Y + x, U + x / 2, V + x / 2, o + x, width - x);
}

int argbRowsToYuv(const uint32_t* r0, const uint32_t* r1, uint8_t* Y0, uint8_t* Y1, uint8_t* U, uint8_t* V, int w) {
    const int x = rowsToYuv(r0, r1, Y0, Y1, U, V, w);
    return x + sse2::argbRowsToYuv(r0 + x, r1 + x, Y0 + x, Y1 + x, U + x / 2, V + x / 2, w - x);
}

}  // namespace plinthora::imaging::avx2
