// The warp's loops four pixels at a time: the sampler's interior steps, the
// shell over the warped picture, and the scans for opaque and partly drawn
// shell pixels. Same arithmetic as sampler.h's plain loops.
#include "imaging/sse2.h"
#include "imaging/tiers.h"

namespace plinthora::imaging::sse2 {

int stepInterior(const uint32_t* pixels, size_t stride, int64_t fx, int64_t fy, int64_t dfx, int64_t dfy, uint32_t* out,
                 int n, bool) {
    int i = 0;
    if (n < 4) return 0;
    const __m128i zero = _mm_setzero_si128();
    const __m128i k127 = _mm_set1_epi32(127), k128 = _mm_set1_epi32(128), k256 = _mm_set1_epi32(256);
    const __m128i half = _mm_set1_epi32(1 << 13);
    // Only the low 32 bits of the positions matter for the weights (bits
    // 9–15), so wrapping lanes are fine.
    auto lanes = [](int64_t f, int64_t df) {
        auto low = [](int64_t v) { return int(uint32_t(uint64_t(v))); };
        return _mm_setr_epi32(low(f), low(f + df), low(f + 2 * df), low(f + 3 * df));
    };
    __m128i vfx = lanes(fx, dfx), vfy = lanes(fy, dfy);
    const __m128i step4x = _mm_set1_epi32(int(uint32_t(uint64_t(dfx * 4))));
    const __m128i step4y = _mm_set1_epi32(int(uint32_t(uint64_t(dfy * 4))));
    for (; i + 4 <= n; i += 4) {
        // (128 − w) | w << 16 per lane: the pair of weights a madd wants.
        const __m128i wx = _mm_and_si128(_mm_srli_epi32(_mm_add_epi32(vfx, k256), 9), k127);
        const __m128i wy = _mm_and_si128(_mm_srli_epi32(_mm_add_epi32(vfy, k256), 9), k127);
        const __m128i WX = _mm_or_si128(_mm_sub_epi32(k128, wx), _mm_slli_epi32(wx, 16));
        const __m128i WY = _mm_or_si128(_mm_sub_epi32(k128, wy), _mm_slli_epi32(wy, 16));
        vfx = _mm_add_epi32(vfx, step4x);
        vfy = _mm_add_epi32(vfy, step4y);
        __m128i sum[4];
        auto one = [&](int k, __m128i wxk, __m128i wyk) {
            const int64_t px = fx + dfx * k, py = fy + dfy * k;
            const int gx = int((px + 256) >> 9), gy = int((py + 256) >> 9);
            const uint32_t* p = pixels + size_t(gy >> 7) * stride + size_t(gx >> 7);
            const __m128i top = _mm_loadl_epi64(reinterpret_cast<const __m128i*>(p));
            const __m128i bot = _mm_loadl_epi64(reinterpret_cast<const __m128i*>(p + stride));
            // Each channel of the left pixel next to the one below it, then
            // the right pixel's: one madd per column gives
            // top·(128 − wy) + bottom·wy.
            const __m128i tb = _mm_unpacklo_epi8(top, bot);
            const __m128i left = _mm_madd_epi16(_mm_unpacklo_epi8(tb, zero), wyk);
            const __m128i right = _mm_madd_epi16(_mm_unpackhi_epi8(tb, zero), wyk);
            // Both ≤ 255·128, so they share a lane as a 16-bit pair.
            sum[k] = _mm_madd_epi16(_mm_or_si128(left, _mm_slli_epi32(right, 16)), wxk);
        };
        one(0, _mm_shuffle_epi32(WX, 0x00), _mm_shuffle_epi32(WY, 0x00));
        one(1, _mm_shuffle_epi32(WX, 0x55), _mm_shuffle_epi32(WY, 0x55));
        one(2, _mm_shuffle_epi32(WX, 0xAA), _mm_shuffle_epi32(WY, 0xAA));
        one(3, _mm_shuffle_epi32(WX, 0xFF), _mm_shuffle_epi32(WY, 0xFF));
        fx += dfx * 4;
        fy += dfy * 4;
        const __m128i a = _mm_packs_epi32(_mm_srli_epi32(_mm_add_epi32(sum[0], half), 14),
                                          _mm_srli_epi32(_mm_add_epi32(sum[1], half), 14));
        const __m128i b = _mm_packs_epi32(_mm_srli_epi32(_mm_add_epi32(sum[2], half), 14),
                                          _mm_srli_epi32(_mm_add_epi32(sum[3], half), 14));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(out + i), _mm_packus_epi16(a, b));
    }
    return i;
}

int skipOpaque(const uint32_t* row, int x, int end, bool want) {
    const __m128i mask = _mm_set1_epi32(int(0xFF000000u));
    const int all = want ? 0xFFFF : 0;
    for (; x + 4 <= end; x += 4) {
        const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(row + x));
        if (_mm_movemask_epi8(_mm_cmpeq_epi32(_mm_and_si128(v, mask), mask)) != all) break;
    }
    return x;
}

int skipSolid(const uint32_t* row, int x, int end) {
    const __m128i mask = _mm_set1_epi32(int(0xFF000000u));
    for (; x + 4 <= end; x += 4) {
        const __m128i a = _mm_and_si128(_mm_loadu_si128(reinterpret_cast<const __m128i*>(row + x)), mask);
        const __m128i solid = _mm_or_si128(_mm_cmpeq_epi32(a, mask), _mm_cmpeq_epi32(a, _mm_setzero_si128()));
        if (_mm_movemask_epi8(solid) != 0xFFFF) break;
    }
    return x;
}

int shellOver(uint32_t* row, const uint32_t* under, int n) {
    int i = 0;
    for (; i + 4 <= n; i += 4) {
        const __m128i c = _mm_loadu_si128(reinterpret_cast<const __m128i*>(under + i));
        const __m128i sp = _mm_loadu_si128(reinterpret_cast<const __m128i*>(row + i));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(row + i), allZero(sp) ? c : over(sp, c));
    }
    return i;
}

int shellOverInPlace(uint32_t* content, const uint32_t* shell, int n) {
    int i = 0;
    for (; i + 4 <= n; i += 4) {
        const __m128i sp = _mm_loadu_si128(reinterpret_cast<const __m128i*>(shell + i));
        if (allZero(sp)) continue;
        const __m128i c = _mm_loadu_si128(reinterpret_cast<const __m128i*>(content + i));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(content + i), over(sp, c));
    }
    return i;
}

}  // namespace plinthora::imaging::sse2
