// 4:2:0 rows to and from ARGB32 32 pixels at a time (built for AVX-512 F,
// BW and VL): each 128-bit lane does what one SSE2 step does for eight
// pixels, so the arithmetic, and the bytes, are the same.
#include "imaging/tiers.h"

// GCC 12 takes the undefined upper lanes its AVX-512 shifts and unpacks
// start from for uninitialised reads.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#include <immintrin.h>
#pragma GCC diagnostic pop

namespace plinthora::imaging::avx512 {

namespace {

__m512i pair16(int lo, int hi) { return _mm512_set1_epi32(int(uint32_t(uint16_t(lo)) | uint32_t(hi) << 16)); }

// Sixteen chroma samples less 128, each twice: eight to a 128-bit lane.
__m512i chroma16(const uint8_t* p, __m512i k128) {
    const __m128i c = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
    const __m256i twice =
        _mm256_inserti128_si256(_mm256_castsi128_si256(_mm_unpacklo_epi8(c, c)), _mm_unpackhi_epi8(c, c), 1);
    return _mm512_sub_epi16(_mm512_cvtepu8_epi16(twice), k128);
}

__m512i weights16(int b, int g, int r) {
    const uint64_t four = uint64_t(uint16_t(b)) | uint64_t(uint16_t(g)) << 16 | uint64_t(uint16_t(r)) << 32;
    return _mm512_set1_epi64(int64_t(four));
}

// Four 32-bit dot products per lane from two registers of two pixels' (or
// blocks') partial sums each.
__m512i dots16(__m512i lo, __m512i hi) {
    const __m512 l = _mm512_castsi512_ps(lo), r = _mm512_castsi512_ps(hi);
    return _mm512_add_epi32(_mm512_castps_si512(_mm512_shuffle_ps(l, r, _MM_SHUFFLE(2, 0, 2, 0))),
                            _mm512_castps_si512(_mm512_shuffle_ps(l, r, _MM_SHUFFLE(3, 1, 3, 1))));
}

__m512i luma16(__m512i lo16, __m512i hi16, __m512i wY, __m512i yBias) {
    return _mm512_srai_epi32(_mm512_add_epi32(dots16(_mm512_madd_epi16(lo16, wY), _mm512_madd_epi16(hi16, wY)), yBias),
                             15);
}

// Rows of luma that share a chroma row: one (Y1 null) or two. The chroma
// terms are worked out once for both.
int rowsToArgb(const ToRgb& c, const uint8_t* Y0, const uint8_t* Y1, const uint8_t* U, const uint8_t* V, uint32_t* o0,
               uint32_t* o1, int width) {
    const __m512i zero = _mm512_setzero_si512(), alpha = _mm512_set1_epi8(char(0xFF));
    const __m512i yOff = _mm512_set1_epi16(short(c.yOffset)), k128 = _mm512_set1_epi16(128);
    const __m512i wY = pair16(c.cy, 4096), wR = pair16(0, c.crv), wG = pair16(-c.cgu, -c.cgv), wB = pair16(c.cbu, 0);
    const __m512i one = _mm512_set1_epi16(1);
    // Pixels 0–3 and 4–7 of each lane's eight, as 64-bit pieces of the two
    // registers, back in order.
    const __m512i first = _mm512_setr_epi64(0, 1, 8, 9, 2, 3, 10, 11);
    const __m512i second = _mm512_setr_epi64(4, 5, 12, 13, 6, 7, 14, 15);
    int x = 0;
    for (; x + 32 <= width; x += 32) {
        const __m512i u16 = chroma16(U + x / 2, k128), v16 = chroma16(V + x / 2, k128);
        __m512i cr[2], cg[2], cb[2];
        for (int h = 0; h < 2; ++h) {
            const __m512i uv = h ? _mm512_unpackhi_epi16(u16, v16) : _mm512_unpacklo_epi16(u16, v16);
            cr[h] = _mm512_madd_epi16(uv, wR);
            cg[h] = _mm512_madd_epi16(uv, wG);
            cb[h] = _mm512_madd_epi16(uv, wB);
        }
        for (int row = 0; row < 2; ++row) {
            const uint8_t* Y = row ? Y1 : Y0;
            if (!Y) break;
            uint32_t* o = row ? o1 : o0;
            const __m512i y16 = _mm512_sub_epi16(
                _mm512_cvtepu8_epi16(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(Y + x))), yOff);
            __m512i r[2], g[2], b[2];
            for (int h = 0; h < 2; ++h) {
                const __m512i ys = h ? _mm512_unpackhi_epi16(y16, one) : _mm512_unpacklo_epi16(y16, one);
                const __m512i yy = _mm512_madd_epi16(ys, wY);
                r[h] = _mm512_srai_epi32(_mm512_add_epi32(yy, cr[h]), 13);
                g[h] = _mm512_srai_epi32(_mm512_add_epi32(yy, cg[h]), 13);
                b[h] = _mm512_srai_epi32(_mm512_add_epi32(yy, cb[h]), 13);
            }
            const __m512i R = _mm512_packus_epi16(_mm512_packs_epi32(r[0], r[1]), zero);
            const __m512i G = _mm512_packus_epi16(_mm512_packs_epi32(g[0], g[1]), zero);
            const __m512i B = _mm512_packus_epi16(_mm512_packs_epi32(b[0], b[1]), zero);
            const __m512i bg = _mm512_unpacklo_epi8(B, G), ra = _mm512_unpacklo_epi8(R, alpha);
            const __m512i lo = _mm512_unpacklo_epi16(bg, ra), hi = _mm512_unpackhi_epi16(bg, ra);
            _mm512_storeu_si512(o + x, _mm512_permutex2var_epi64(lo, first, hi));
            _mm512_storeu_si512(o + x + 16, _mm512_permutex2var_epi64(lo, second, hi));
        }
    }
    return x;
}

// Rows y and y + 1 of the bitmap (r0, r1) to their luma rows and their
// chroma row.
int rowsToYuv(const uint32_t* r0, const uint32_t* r1, uint8_t* Y0, uint8_t* Y1, uint8_t* U, uint8_t* V, int w) {
    const ToYuv& k = toYuv();
    const __m512i zero = _mm512_setzero_si512();
    const __m512i wY = weights16(k.yb, k.yg, k.yr), wU = weights16(k.ub, k.ug, k.ur), wV = weights16(k.vb, k.vg, k.vr);
    const __m512i yBias = _mm512_set1_epi32(k.yBias), cBias = _mm512_set1_epi32(k.cBias);
    // Each lane's luma bytes, row y's then row y + 1's, gathered row by row;
    // and its four U then four V bytes, gathered plane by plane.
    const __m512i lumaOrder = _mm512_setr_epi64(0, 2, 4, 6, 1, 3, 5, 7);
    const __m512i chromaOrder = _mm512_setr_epi32(0, 4, 8, 12, 1, 5, 9, 13, 2, 3, 6, 7, 10, 11, 14, 15);
    int x = 0;
    for (; x + 32 <= w; x += 32) {
        // Lane L: pixels 8L to 8L + 3 in a, 8L + 4 to 8L + 7 in b.
        auto split = [&](const uint32_t* r, __m512i& a, __m512i& b) {
            const __m512i p0 = _mm512_loadu_si512(r + x), p1 = _mm512_loadu_si512(r + x + 16);
            a = _mm512_shuffle_i64x2(p0, p1, _MM_SHUFFLE(2, 0, 2, 0));
            b = _mm512_shuffle_i64x2(p0, p1, _MM_SHUFFLE(3, 1, 3, 1));
        };
        __m512i a0, b0, a1, b1;
        split(r0, a0, b0);
        split(r1, a1, b1);
        const __m512i a0l = _mm512_unpacklo_epi8(a0, zero), a0h = _mm512_unpackhi_epi8(a0, zero);
        const __m512i b0l = _mm512_unpacklo_epi8(b0, zero), b0h = _mm512_unpackhi_epi8(b0, zero);
        const __m512i a1l = _mm512_unpacklo_epi8(a1, zero), a1h = _mm512_unpackhi_epi8(a1, zero);
        const __m512i b1l = _mm512_unpacklo_epi8(b1, zero), b1h = _mm512_unpackhi_epi8(b1, zero);
        const __m512i y0 = _mm512_packs_epi32(luma16(a0l, a0h, wY, yBias), luma16(b0l, b0h, wY, yBias));
        const __m512i y1 = _mm512_packs_epi32(luma16(a1l, a1h, wY, yBias), luma16(b1l, b1h, wY, yBias));
        const __m512i ys = _mm512_permutexvar_epi64(lumaOrder, _mm512_packus_epi16(y0, y1));
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(Y0 + x), _mm512_castsi512_si256(ys));
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(Y1 + x), _mm512_extracti64x4_epi64(ys, 1));
        const __m512i al = _mm512_add_epi16(a0l, a1l), ah = _mm512_add_epi16(a0h, a1h);
        const __m512i bl = _mm512_add_epi16(b0l, b1l), bh = _mm512_add_epi16(b0h, b1h);
        const __m512i s01 = _mm512_add_epi16(_mm512_unpacklo_epi64(al, ah), _mm512_unpackhi_epi64(al, ah));
        const __m512i s23 = _mm512_add_epi16(_mm512_unpacklo_epi64(bl, bh), _mm512_unpackhi_epi64(bl, bh));
        const __m512i u = _mm512_srai_epi32(
            _mm512_add_epi32(dots16(_mm512_madd_epi16(s01, wU), _mm512_madd_epi16(s23, wU)), cBias), 17);
        const __m512i v = _mm512_srai_epi32(
            _mm512_add_epi32(dots16(_mm512_madd_epi16(s01, wV), _mm512_madd_epi16(s23, wV)), cBias), 17);
        const __m512i uv = _mm512_permutexvar_epi32(chromaOrder, _mm512_packus_epi16(_mm512_packs_epi32(u, v), zero));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(U + x / 2), _mm512_castsi512_si128(uv));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(V + x / 2), _mm512_extracti32x4_epi32(uv, 1));
    }
    return x;
}

}  // namespace

int yuvRowToArgb(const ToRgb& c, const uint8_t* Y, const uint8_t* U, const uint8_t* V, uint32_t* o, int width) {
    const int x = rowsToArgb(c, Y, nullptr, U, V, o, nullptr, width);
    return x + avx2::yuvRowToArgb(c, Y + x, U + x / 2, V + x / 2, o + x, width - x);
}

// What is left of each row the caller finishes with yuvRowToArgb().
int yuvRowPairToArgb(const ToRgb& c, const uint8_t* Y0, const uint8_t* Y1, const uint8_t* U, const uint8_t* V,
                     uint32_t* o0, uint32_t* o1, int width) {
    return rowsToArgb(c, Y0, Y1, U, V, o0, o1, width);
}

int argbRowsToYuv(const uint32_t* r0, const uint32_t* r1, uint8_t* Y0, uint8_t* Y1, uint8_t* U, uint8_t* V, int w) {
    const int x = rowsToYuv(r0, r1, Y0, Y1, U, V, w);
    return x + avx2::argbRowsToYuv(r0 + x, r1 + x, Y0 + x, Y1 + x, U + x / 2, V + x / 2, w - x);
}

}  // namespace plinthora::imaging::avx512
