// The warp's interior samples sixteen at a time (built for AVX-512 F, BW
// and VL). A span of a screen's hole reads at most a couple of source rows
// over some 17 columns, so instead of sixteen loads of two pixels each, a
// step loads the 32 pixels from the leftmost column it needs on each row
// and picks every lane's left and right neighbours out of them with one
// permute each. The last samples of a span take a masked step, not a
// narrower loop.
#include "imaging/tiers.h"

// GCC 12 takes the undefined upper lanes its AVX-512 shifts and unpacks
// start from for uninitialised reads.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#include <immintrin.h>
#pragma GCC diagnostic pop

namespace plinthora::imaging::avx512 {

namespace {

// Sixteen lanes of the low 32 bits of f, f + df, …, f + 15·df: the low
// bits of a sum or a product depend only on the low bits of its terms.
__m512i lowLanes16(int64_t f, int64_t df) {
    const __m512i low = _mm512_set1_epi32(int(uint32_t(uint64_t(f))));
    const __m512i step = _mm512_set1_epi32(int(uint32_t(uint64_t(df))));
    return _mm512_add_epi32(
        low, _mm512_mullo_epi32(step, _mm512_setr_epi32(0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15)));
}

// The pixel (16.16 position + 256) >> 16 of a lane, as the stepping rounds.
inline int whole(int64_t f) { return int((f + 256) >> 16); }

// Samples [0, count) (1 to 16) from (fx, fy) stepping by (dfx, dfy), whose
// lanes' low 32 bits are vfx and vfy; all of them with their four
// neighbours inside the source, rows `stride` words long, word offsets
// whole in 32 bits. The arithmetic is blend4()'s: 16-bit products for the
// vertical mix (each at most 255·128), a madd for the horizontal one, as
// the other tiers.
__attribute__((always_inline)) inline void stepSixteen(const uint32_t* pixels, size_t stride, int64_t fx, int64_t fy,
                                                       int64_t dfx, int64_t dfy, __m512i vfx, __m512i vfy,
                                                       uint32_t* out, int count) {
    const __mmask16 used = __mmask16((1u << count) - 1);
    const __m512i k256 = _mm512_set1_epi32(256);
    const __m512i gx = _mm512_add_epi32(vfx, k256), gy = _mm512_add_epi32(vfy, k256);
    const __m512i ix = _mm512_srli_epi32(gx, 16), iy = _mm512_srli_epi32(gy, 16);
    // Positions lie on a line, so the first and last lanes bound the rest.
    const int ixa = whole(fx), ixb = whole(fx + dfx * (count - 1));
    const int iya = whole(fy), iyb = whole(fy + dfy * (count - 1));
    const int left = ixa < ixb ? ixa : ixb, top = iya < iyb ? iya : iyb;
    __m512i p00, p01, p10, p11;
    if ((ixa < ixb ? ixb : ixa) + 1 - left <= 31 && (iya < iyb ? iyb - iya : iya - iyb) <= 1) {
        const __m512i at = _mm512_sub_epi32(ix, _mm512_set1_epi32(left));
        const __m512i at1 = _mm512_add_epi32(at, _mm512_set1_epi32(1));
        // Loads stop at the row's end: the last row has nothing after it.
        const int avail = int(stride) - left;
        const __mmask16 lo = avail >= 16 ? __mmask16(0xFFFF) : __mmask16((1u << avail) - 1);
        const __mmask16 hi = avail >= 32 ? __mmask16(0xFFFF) : avail > 16 ? __mmask16((1u << (avail - 16)) - 1) : 0;
        const uint32_t* r = pixels + size_t(top) * stride + size_t(left);
        auto pick = [&](const uint32_t* row, __m512i& l, __m512i& rt) {
            const __m512i a = _mm512_maskz_loadu_epi32(lo, row), b = _mm512_maskz_loadu_epi32(hi, row + 16);
            l = _mm512_permutex2var_epi32(a, at, b);
            rt = _mm512_permutex2var_epi32(a, at1, b);
        };
        pick(r, p00, p01);
        pick(r + stride, p10, p11);
        if (iya != iyb) {
            // Lanes a row lower take the middle row on top and the third below.
            const __mmask16 lower = _mm512_cmpgt_epu32_mask(iy, _mm512_set1_epi32(top));
            __m512i p20, p21;
            pick(r + 2 * stride, p20, p21);
            p00 = _mm512_mask_blend_epi32(lower, p00, p10);
            p01 = _mm512_mask_blend_epi32(lower, p01, p11);
            p10 = _mm512_mask_blend_epi32(lower, p10, p20);
            p11 = _mm512_mask_blend_epi32(lower, p11, p21);
        }
    } else {
        // Samples that reach further (a picture shrunk to less than half,
        // or a steep quad) gather their pixels one by one.
        const __m512i at = _mm512_add_epi32(_mm512_mullo_epi32(iy, _mm512_set1_epi32(int(stride))), ix);
        const __m512i below = _mm512_add_epi32(at, _mm512_set1_epi32(int(stride)));
        const __m512i none = _mm512_setzero_si512(), one = _mm512_set1_epi32(1);
        p00 = _mm512_mask_i32gather_epi32(none, used, at, pixels, 4);
        p01 = _mm512_mask_i32gather_epi32(none, used, _mm512_add_epi32(at, one), pixels, 4);
        p10 = _mm512_mask_i32gather_epi32(none, used, below, pixels, 4);
        p11 = _mm512_mask_i32gather_epi32(none, used, _mm512_add_epi32(below, one), pixels, 4);
    }
    const __m512i k127 = _mm512_set1_epi32(127);
    const __m512i wx = _mm512_and_si512(_mm512_srli_epi32(gx, 9), k127);
    const __m512i wy = _mm512_and_si512(_mm512_srli_epi32(gy, 9), k127);
    // wy in both 16-bit halves, and 128 − wy likewise.
    const __m512i WY = _mm512_or_si512(wy, _mm512_slli_epi32(wy, 16));
    const __m512i IWY = _mm512_sub_epi32(_mm512_set1_epi32(0x00800080), WY);
    // (128 − wx) | wx << 16: the pair a madd wants.
    const __m512i WX = _mm512_add_epi32(_mm512_sub_epi32(_mm512_set1_epi32(128), wx), _mm512_slli_epi32(wx, 16));
    const __m512i even = _mm512_set1_epi32(0x00FF00FF);
    // Blue and red in the 16-bit halves of a lane, then green and alpha.
    auto column = [&](__m512i upper, __m512i bottom, __m512i& rb, __m512i& ga) {
        rb = _mm512_add_epi16(_mm512_mullo_epi16(_mm512_and_si512(upper, even), IWY),
                              _mm512_mullo_epi16(_mm512_and_si512(bottom, even), WY));
        ga = _mm512_add_epi16(_mm512_mullo_epi16(_mm512_srli_epi16(upper, 8), IWY),
                              _mm512_mullo_epi16(_mm512_srli_epi16(bottom, 8), WY));
    };
    __m512i lrb, lga, rrb, rga;
    column(p00, p10, lrb, lga);
    column(p01, p11, rrb, rga);
    // Per 128-bit lane: pixels 0 and 1 (low) or 2 and 3 (high), each
    // channel's left and right values side by side.
    const __m512i wxLo = _mm512_unpacklo_epi32(WX, WX), wxHi = _mm512_unpackhi_epi32(WX, WX);
    const __m512i half = _mm512_set1_epi32(1 << 13), greenAlpha = _mm512_set1_epi32(0xFF00);
    auto mix = [&](__m512i rb, __m512i ga, bool high, __m512i w) {
        const __m512i srb =
            _mm512_madd_epi16(high ? _mm512_unpackhi_epi16(rb, rrb) : _mm512_unpacklo_epi16(rb, rrb), w);
        const __m512i sga =
            _mm512_madd_epi16(high ? _mm512_unpackhi_epi16(ga, rga) : _mm512_unpacklo_epi16(ga, rga), w);
        // Blue (red) in the low byte, green (alpha) in the next.
        return _mm512_ternarylogic_epi32(_mm512_srli_epi32(_mm512_add_epi32(srb, half), 14),
                                         _mm512_srli_epi32(_mm512_add_epi32(sga, half), 6), greenAlpha, 0xF8);
    };
    // Words b g, r a of pixels 0, 1 then 2, 3 of each 128-bit lane: the
    // pixels in order.
    const __m512i px = _mm512_packus_epi32(mix(lrb, lga, false, wxLo), mix(lrb, lga, true, wxHi));
    if (count == 16)
        _mm512_storeu_si512(out, px);
    else
        _mm512_mask_storeu_epi32(out, used, px);
}

// Every sample of one run from (fx, fy), sixteen at a time.
__attribute__((always_inline)) inline void stepRun(const uint32_t* pixels, size_t stride, int64_t fx, int64_t fy,
                                                   int64_t dfx, int64_t dfy, uint32_t* out, int n) {
    __m512i vfx = lowLanes16(fx, dfx), vfy = lowLanes16(fy, dfy);
    const __m512i step16x = _mm512_set1_epi32(int(uint32_t(uint64_t(dfx * 16))));
    const __m512i step16y = _mm512_set1_epi32(int(uint32_t(uint64_t(dfy * 16))));
    for (int i = 0; i < n; i += 16) {
        stepSixteen(pixels, stride, fx + dfx * i, fy + dfy * i, dfx, dfy, vfx, vfy, out + i, n - i < 16 ? n - i : 16);
        vfx = _mm512_add_epi32(vfx, step16x);
        vfy = _mm512_add_epi32(vfy, step16y);
    }
}

}  // namespace

const SampleSpan* stepSpans(const uint32_t* pixels, size_t stride, const SampleSpan* first, const SampleSpan* last,
                            int base, uint32_t* out) {
    const SampleSpan* s = first;
    for (; s != last && s->kind == SampleSpan::Interior; ++s) {
        // A plan's spans for a whole canvas are several megabytes, read
        // once a frame: the loads of the kind of the next spans missed.
        if (last - s > 6) _mm_prefetch(reinterpret_cast<const char*>(s + 6), _MM_HINT_T0);
        stepRun(pixels, stride, s->fx, s->fy, s->dfx, s->dfy, out + (s->from - base), s->to - s->from);
    }
    return s;
}

int stepInterior(const uint32_t* pixels, size_t stride, int64_t fx, int64_t fy, int64_t dfx, int64_t dfy, uint32_t* out,
                 int n, bool offsets32) {
    if (!offsets32) return sse2::stepInterior(pixels, stride, fx, fy, dfx, dfy, out, n, offsets32);
    stepRun(pixels, stride, fx, fy, dfx, dfy, out, n);
    return n;
}

}  // namespace plinthora::imaging::avx512
