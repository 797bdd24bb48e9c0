// 4:2:0 rows to and from ARGB32 eight pixels at a time, in yuv.cpp's
// integers, so the bytes are the plain loops'.
#include "imaging/tiers.h"

#include <emmintrin.h>

#include <cstring>

namespace plinthora::imaging::sse2 {

namespace {

// Four 32-bit dot products from two registers of two pixels' (or blocks')
// partial sums each.
__m128i dots(__m128i lo, __m128i hi) {
    const __m128 l = _mm_castsi128_ps(lo), r = _mm_castsi128_ps(hi);
    return _mm_add_epi32(_mm_castps_si128(_mm_shuffle_ps(l, r, _MM_SHUFFLE(2, 0, 2, 0))),
                         _mm_castps_si128(_mm_shuffle_ps(l, r, _MM_SHUFFLE(3, 1, 3, 1))));
}

__m128i weights(int b, int g, int r) {
    return _mm_setr_epi16(short(b), short(g), short(r), 0, short(b), short(g), short(r), 0);
}

}  // namespace

int yuvRowToArgb(const ToRgb& c, const uint8_t* Y, const uint8_t* U, const uint8_t* V, uint32_t* o, int width) {
    const __m128i zero = _mm_setzero_si128(), alpha = _mm_set1_epi8(char(0xFF));
    const __m128i yOff = _mm_set1_epi16(short(c.yOffset)), k128 = _mm_set1_epi16(128);
    auto pair = [](int lo, int hi) { return _mm_set1_epi32(int(uint32_t(uint16_t(lo)) | uint32_t(hi) << 16)); };
    const __m128i wY = pair(c.cy, 4096), wR = pair(0, c.crv), wG = pair(-c.cgu, -c.cgv), wB = pair(c.cbu, 0);
    const __m128i one = _mm_set1_epi16(1);
    // Four chroma samples less 128, each twice (one per pixel of a pair).
    auto chroma = [&](const uint8_t* p) {
        uint32_t four;
        std::memcpy(&four, p, 4);
        const __m128i c8 = _mm_cvtsi32_si128(int(four));
        return _mm_sub_epi16(_mm_unpacklo_epi8(_mm_unpacklo_epi8(c8, c8), zero), k128);
    };
    int x = 0;
    for (; x + 8 <= width; x += 8) {
        const __m128i u16 = chroma(U + x / 2), v16 = chroma(V + x / 2);
        const __m128i y16 =
            _mm_sub_epi16(_mm_unpacklo_epi8(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(Y + x)), zero), yOff);
        __m128i r[2], g[2], b[2];
        for (int h = 0; h < 2; ++h) {
            const __m128i ys = h ? _mm_unpackhi_epi16(y16, one) : _mm_unpacklo_epi16(y16, one);
            const __m128i uv = h ? _mm_unpackhi_epi16(u16, v16) : _mm_unpacklo_epi16(u16, v16);
            const __m128i yy = _mm_madd_epi16(ys, wY);
            r[h] = _mm_srai_epi32(_mm_add_epi32(yy, _mm_madd_epi16(uv, wR)), 13);
            g[h] = _mm_srai_epi32(_mm_add_epi32(yy, _mm_madd_epi16(uv, wG)), 13);
            b[h] = _mm_srai_epi32(_mm_add_epi32(yy, _mm_madd_epi16(uv, wB)), 13);
        }
        const __m128i R = _mm_packus_epi16(_mm_packs_epi32(r[0], r[1]), zero);
        const __m128i G = _mm_packus_epi16(_mm_packs_epi32(g[0], g[1]), zero);
        const __m128i B = _mm_packus_epi16(_mm_packs_epi32(b[0], b[1]), zero);
        const __m128i bg = _mm_unpacklo_epi8(B, G), ra = _mm_unpacklo_epi8(R, alpha);
        _mm_storeu_si128(reinterpret_cast<__m128i*>(o + x), _mm_unpacklo_epi16(bg, ra));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(o + x + 4), _mm_unpackhi_epi16(bg, ra));
    }
    return x;
}

int argbRowsToYuv(const uint32_t* r0, const uint32_t* r1, uint8_t* Y0, uint8_t* Y1, uint8_t* U, uint8_t* V, int w) {
    const ToYuv& k = toYuv();
    const __m128i zero = _mm_setzero_si128();
    const __m128i wY = weights(k.yb, k.yg, k.yr), wU = weights(k.ub, k.ug, k.ur), wV = weights(k.vb, k.vg, k.vr);
    const __m128i yBias = _mm_set1_epi32(k.yBias), cBias = _mm_set1_epi32(k.cBias);
    auto luma4 = [&](__m128i lo16, __m128i hi16) {
        return _mm_srai_epi32(_mm_add_epi32(dots(_mm_madd_epi16(lo16, wY), _mm_madd_epi16(hi16, wY)), yBias), 15);
    };
    int x = 0;
    for (; x + 8 <= w; x += 8) {
        const __m128i a0 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(r0 + x));
        const __m128i b0 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(r0 + x + 4));
        const __m128i a1 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(r1 + x));
        const __m128i b1 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(r1 + x + 4));
        const __m128i a0l = _mm_unpacklo_epi8(a0, zero), a0h = _mm_unpackhi_epi8(a0, zero);
        const __m128i b0l = _mm_unpacklo_epi8(b0, zero), b0h = _mm_unpackhi_epi8(b0, zero);
        const __m128i a1l = _mm_unpacklo_epi8(a1, zero), a1h = _mm_unpackhi_epi8(a1, zero);
        const __m128i b1l = _mm_unpacklo_epi8(b1, zero), b1h = _mm_unpackhi_epi8(b1, zero);
        const __m128i y0 = _mm_packs_epi32(luma4(a0l, a0h), luma4(b0l, b0h));
        const __m128i y1 = _mm_packs_epi32(luma4(a1l, a1h), luma4(b1l, b1h));
        const __m128i ys = _mm_packus_epi16(y0, y1);
        _mm_storel_epi64(reinterpret_cast<__m128i*>(Y0 + x), ys);
        _mm_storel_epi64(reinterpret_cast<__m128i*>(Y1 + x), _mm_unpackhi_epi64(ys, ys));
        // Channel sums of the four 2 × 2 blocks: the rows added, then each
        // pixel to its right-hand neighbour.
        const __m128i al = _mm_add_epi16(a0l, a1l), ah = _mm_add_epi16(a0h, a1h);
        const __m128i bl = _mm_add_epi16(b0l, b1l), bh = _mm_add_epi16(b0h, b1h);
        const __m128i s01 = _mm_add_epi16(_mm_unpacklo_epi64(al, ah), _mm_unpackhi_epi64(al, ah));
        const __m128i s23 = _mm_add_epi16(_mm_unpacklo_epi64(bl, bh), _mm_unpackhi_epi64(bl, bh));
        const __m128i u =
            _mm_srai_epi32(_mm_add_epi32(dots(_mm_madd_epi16(s01, wU), _mm_madd_epi16(s23, wU)), cBias), 17);
        const __m128i v =
            _mm_srai_epi32(_mm_add_epi32(dots(_mm_madd_epi16(s01, wV), _mm_madd_epi16(s23, wV)), cBias), 17);
        const __m128i uv = _mm_packus_epi16(_mm_packs_epi32(u, v), zero);
        const uint32_t u4 = uint32_t(_mm_cvtsi128_si32(uv)), v4 = uint32_t(_mm_cvtsi128_si32(_mm_srli_si128(uv, 4)));
        std::memcpy(U + x / 2, &u4, 4);
        std::memcpy(V + x / 2, &v4, 4);
    }
    return x;
}

}  // namespace plinthora::imaging::sse2
