// The projective sampler and the shell-over pass shared by the fused warp
// and the plan that repeats it for the frames of a movie. Internal to
// the kernels; see warp.cpp for the conventions.
#pragma once

#include "imaging/kernels.h"

#include <algorithm>
#include <cmath>
#include <cstdint>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace plinthora::linux_platform::PLINTHORA_KERNELS {

#if PLINTHORA_AVX2
// Eight lanes of the low 32 bits of f, f + df, …, f + 7·df: the low bits
// of a sum or a product depend only on the low bits of its terms, so the
// lanes can be worked out in 32 bits, wrapping.
PLINTHORA_AVX2_FN __m256i lowLanes8(int64_t f, int64_t df) {
    const __m256i low = _mm256_set1_epi32(int(uint32_t(uint64_t(f))));
    const __m256i step = _mm256_set1_epi32(int(uint32_t(uint64_t(df))));
    return _mm256_add_epi32(low, _mm256_mullo_epi32(step, _mm256_setr_epi32(0, 1, 2, 3, 4, 5, 6, 7)));
}

// The two pixels right of the sample at word offset `at`, each channel
// interleaved with the one below it.
PLINTHORA_AVX2_FN __m128i columnPair(const uint32_t* pixels, size_t stride, int at) {
    const uint32_t* p = pixels + at;
    return _mm_unpacklo_epi8(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(p)),
                             _mm_loadl_epi64(reinterpret_cast<const __m128i*>(p + stride)));
}

// Samples k and k + 4 of a batch of eight, one in each 128-bit half.
PLINTHORA_AVX2_FN __m256i samplePair(const uint32_t* pixels, size_t stride, const int* at, int k, __m256i wxk,
                                     __m256i wyk) {
    const __m256i zero = _mm256_setzero_si256();
    const __m256i tb = _mm256_inserti128_si256(_mm256_castsi128_si256(columnPair(pixels, stride, at[k])),
                                               columnPair(pixels, stride, at[k + 4]), 1);
    const __m256i left = _mm256_madd_epi16(_mm256_unpacklo_epi8(tb, zero), wyk);
    const __m256i right = _mm256_madd_epi16(_mm256_unpackhi_epi8(tb, zero), wyk);
    const __m256i sum = _mm256_madd_epi16(_mm256_or_si256(left, _mm256_slli_epi32(right, 16)), wxk);
    return _mm256_srli_epi32(_mm256_add_epi32(sum, _mm256_set1_epi32(1 << 13)), 14);
}

// Sampler::stepInterior()'s samples eight at a time, the same arithmetic
// in twice the lanes: pixels k and k + 4 share a register, one in each
// 128-bit half, so that the packing at the end puts them back in order.
// The positions of interior samples are whole in 32 bits, and so are the
// word offsets of their pixels when the picture has fewer than 2^31 words
// and sides below 2^15 (the caller sees to it): both are worked out eight
// lanes at a time. Returns how many samples it made (a multiple of eight).
__attribute__((target("avx2"))) inline int stepInteriorAvx2(const uint32_t* pixels, size_t stride, int64_t fx,
                                                            int64_t fy, int64_t dfx, int64_t dfy, uint32_t* out,
                                                            int n) {
    const __m256i k127 = _mm256_set1_epi32(127), k128 = _mm256_set1_epi32(128), k256 = _mm256_set1_epi32(256);
    const __m256i vstride = _mm256_set1_epi32(int(stride));
    __m256i vfx = lowLanes8(fx, dfx), vfy = lowLanes8(fy, dfy);
    const __m256i step8x = _mm256_set1_epi32(int(uint32_t(uint64_t(dfx * 8))));
    const __m256i step8y = _mm256_set1_epi32(int(uint32_t(uint64_t(dfy * 8))));
    alignas(32) int at[8];
    int i = 0;
    for (; i + 8 <= n; i += 8) {
        const __m256i gx = _mm256_add_epi32(vfx, k256), gy = _mm256_add_epi32(vfy, k256);
        _mm256_store_si256(reinterpret_cast<__m256i*>(at),
                           _mm256_add_epi32(_mm256_mullo_epi32(_mm256_srli_epi32(gy, 16), vstride),
                                            _mm256_srli_epi32(gx, 16)));
        const __m256i wx = _mm256_and_si256(_mm256_srli_epi32(gx, 9), k127);
        const __m256i wy = _mm256_and_si256(_mm256_srli_epi32(gy, 9), k127);
        const __m256i WX = _mm256_or_si256(_mm256_sub_epi32(k128, wx), _mm256_slli_epi32(wx, 16));
        const __m256i WY = _mm256_or_si256(_mm256_sub_epi32(k128, wy), _mm256_slli_epi32(wy, 16));
        vfx = _mm256_add_epi32(vfx, step8x);
        vfy = _mm256_add_epi32(vfy, step8y);
        const __m256i s0 =
            samplePair(pixels, stride, at, 0, _mm256_shuffle_epi32(WX, 0x00), _mm256_shuffle_epi32(WY, 0x00));
        const __m256i s1 =
            samplePair(pixels, stride, at, 1, _mm256_shuffle_epi32(WX, 0x55), _mm256_shuffle_epi32(WY, 0x55));
        const __m256i s2 =
            samplePair(pixels, stride, at, 2, _mm256_shuffle_epi32(WX, 0xAA), _mm256_shuffle_epi32(WY, 0xAA));
        const __m256i s3 =
            samplePair(pixels, stride, at, 3, _mm256_shuffle_epi32(WX, 0xFF), _mm256_shuffle_epi32(WY, 0xFF));
        // Halves: 0, 1 | 4, 5 and 2, 3 | 6, 7, then 0–3 | 4–7.
        const __m256i a = _mm256_packs_epi32(s0, s1), b = _mm256_packs_epi32(s2, s3);
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + i), _mm256_packus_epi16(a, b));
    }
    return i;
}

// stepInteriorAvx2() for each interior span in [first, last), in one loop
// so that a span's set-up overlaps the one before it; each span's samples
// go to out + (its from − base). Leaves each span's last n mod 8.
template <class Span>
__attribute__((target("avx2"))) inline void stepSpansAvx2(const uint32_t* pixels, size_t stride, const Span* first,
                                                          const Span* last, int base, uint32_t* out) {
    for (const Span* s = first; s != last; ++s)
        stepInteriorAvx2(pixels, stride, s->fx, s->fy, s->dfx, s->dfy, out + (s->from - base), s->to - s->from);
}
#endif

// The inverse map of one warp, ready for stepping row by row.
struct Sampler {
    const Bitmap* src = nullptr;
    Matrix3 inv{};  // destination (x, y, 1) → source (U, V, W), W > 0 inside
    int x0 = 0, x1 = 0, y0 = 0, y1 = 0;  // destination bounding box of the quad, half-open

    bool prepare(const Bitmap& source, const Quad& quad, int width, int height) {
        src = &source;
        if (source.empty() || width <= 0 || height <= 0) return false;
        const auto fwd = squareToQuad(source.width, source.height, quad);
        if (!fwd) return false;
        const auto back = inverse(*fwd);
        if (!back) return false;
        inv = *back;
        // Scale the inverse so that W is positive inside the quad: the
        // centre of the source must come back with W > 0.
        const double cx = (quad.topLeft.x + quad.topRight.x + quad.bottomLeft.x + quad.bottomRight.x) / 4;
        const double cy = (quad.topLeft.y + quad.topRight.y + quad.bottomLeft.y + quad.bottomRight.y) / 4;
        if (inv[6] * cx + inv[7] * cy + inv[8] < 0)
            for (double& v : inv) v = -v;
        const double xs[] = {quad.topLeft.x, quad.topRight.x, quad.bottomLeft.x, quad.bottomRight.x};
        const double ys[] = {quad.topLeft.y, quad.topRight.y, quad.bottomLeft.y, quad.bottomRight.y};
        const double minX = *std::min_element(xs, xs + 4), maxX = *std::max_element(xs, xs + 4);
        const double minY = *std::min_element(ys, ys + 4), maxY = *std::max_element(ys, ys + 4);
        if (!std::isfinite(minX + maxX + minY + maxY)) return false;
        x0 = int(std::clamp(std::floor(minX), 0.0, double(width)));
        x1 = int(std::clamp(std::ceil(maxX), 0.0, double(width)));
        y0 = int(std::clamp(std::floor(minY), 0.0, double(height)));
        y1 = int(std::clamp(std::ceil(maxY), 0.0, double(height)));
        return x0 < x1 && y0 < y1;
    }

    // The bilinear sample at source point (u, v) (pixel-edge coordinates);
    // transparent outside the source. Weights have 7 bits (1/128 pixel),
    // which lets the SSE2 path keep every product in signed 16-bit lanes.
    inline uint32_t fetch(double u, double v) const {
        const int sw = src->width, sh = src->height;
        if (!(u >= 0 && v >= 0 && u < sw && v < sh)) return 0;
        // Pixel-centre coordinates in 7-bit fixed point, rounded so that an
        // exact pixel position is not pushed a hair towards its neighbour
        // (the offset keeps the truncation a floor for u, v ≥ 0).
        const int fx = int((u - 0.5) * 128.0 + 256.5) - 256;
        const int fy = int((v - 0.5) * 128.0 + 256.5) - 256;
        int ix = fx >> 7, iy = fy >> 7;
        const int wx = fx & 127, wy = fy & 127;
        int ix1 = ix + 1, iy1 = iy + 1;
        ix = std::clamp(ix, 0, sw - 1);
        ix1 = std::clamp(ix1, 0, sw - 1);
        iy = std::clamp(iy, 0, sh - 1);
        iy1 = std::clamp(iy1, 0, sh - 1);
        return blend4(src->pixels.data() + size_t(iy) * size_t(sw), src->pixels.data() + size_t(iy1) * size_t(sw), ix,
                      ix1, wx, wy);
    }

    // Bilinear mix of r0[ix], r0[ix1], r1[ix], r1[ix1] with 7-bit weights.
    static inline uint32_t blend4(const uint32_t* r0, const uint32_t* r1, int ix, int ix1, int wx, int wy) {
#if PLINTHORA_SIMD
        const __m128i zero = _mm_setzero_si128();
        // Lanes: p00 (4 × 16 bit) | p01, and p10 | p11.
        const __m128i top = _mm_unpacklo_epi8(_mm_unpacklo_epi32(_mm_cvtsi32_si128(int(r0[ix])), _mm_cvtsi32_si128(int(r0[ix1]))), zero);
        const __m128i bot = _mm_unpacklo_epi8(_mm_unpacklo_epi32(_mm_cvtsi32_si128(int(r1[ix])), _mm_cvtsi32_si128(int(r1[ix1]))), zero);
        // Vertical: ≤ 255·128, fits a signed 16-bit lane.
        const __m128i vert = _mm_add_epi16(_mm_mullo_epi16(top, _mm_set1_epi16(short(128 - wy))),
                                           _mm_mullo_epi16(bot, _mm_set1_epi16(short(wy))));
        // Pair each left channel with its right neighbour, then one madd.
        const __m128i pairs = _mm_unpacklo_epi16(vert, _mm_unpackhi_epi64(vert, vert));
        const __m128i weights = _mm_set1_epi32(int(uint32_t(wx) << 16 | uint32_t(128 - wx)));
        __m128i sum = _mm_madd_epi16(pairs, weights);
        sum = _mm_srli_epi32(_mm_add_epi32(sum, _mm_set1_epi32(1 << 13)), 14);
        const __m128i packed = _mm_packs_epi32(sum, sum);
        return uint32_t(_mm_cvtsi128_si32(_mm_packus_epi16(packed, packed)));
#else
        uint32_t out = 0;
        for (int shift = 0; shift < 32; shift += 8) {
            const int c00 = int((r0[ix] >> shift) & 255), c01 = int((r0[ix1] >> shift) & 255);
            const int c10 = int((r1[ix] >> shift) & 255), c11 = int((r1[ix1] >> shift) & 255);
            const int vl = c00 * (128 - wy) + c10 * wy, vr = c01 * (128 - wy) + c11 * wy;
            out |= uint32_t((vl * (128 - wx) + vr * wx + (1 << 13)) >> 14) << shift;
        }
        return out;
#endif
    }


    // Source point of destination pixel x on a row with start values
    // U0, V0, W0; false where the map is behind the eye (W ≤ 0).
    inline bool map(int x, double U0, double V0, double W0, double& u, double& v) const {
        const double W = W0 + inv[6] * x;
        if (!(W > 0)) return false;
        const double rw = 1.0 / W;
        u = (U0 + inv[0] * x) * rw;
        v = (V0 + inv[3] * x) * rw;
        return true;
    }

    // How the pixels [from, to) of one span of a row are sampled: stepped
    // in fixed point with no edge tests, stepped with them, or mapped
    // exactly pixel by pixel.
    struct Span {
        enum Kind : uint8_t { Interior, Fixed, Exact };
        int from = 0, to = 0;
        int64_t fx = 0, fy = 0, dfx = 0, dfy = 0;
        Kind kind = Exact;
    };

    // Writes the samples of pixels [begin, end) of row y to out[0 ..
    // end − begin).
    inline void row(int y, int begin, int end, uint32_t* out) const {
        spans(y, begin, end, [&](const Span& s) { draw(s, y, out + (s.from - begin)); });
    }

    // The samples of the consecutive spans [first, last) of row y, to
    // out[0 ..), out standing for pixel first->from: draw() of each.
    inline void drawRun(const Span* first, const Span* last, int y, uint32_t* out) const {
#if PLINTHORA_AVX2
        if (offsetsIn32Bits() && hasAvx2()) {
            const uint32_t* pixels = src->pixels.data();
            const size_t stride = size_t(src->width);
            for (const Span* s = first; s != last;) {
                const Span* e = s;
                while (e != last && e->kind == Span::Interior) ++e;
                if (e == s) {
                    draw(*s, y, out + (s->from - first->from));
                    ++s;
                    continue;
                }
                stepSpansAvx2(pixels, stride, s, e, first->from, out);
                for (; s != e; ++s) {
                    const int n = s->to - s->from, done = n & ~7;
                    if (done < n)
                        stepInterior(s->fx + s->dfx * done, s->fy + s->dfy * done, s->dfx, s->dfy,
                                     out + (s->from - first->from) + done, n - done);
                }
            }
            return;
        }
#endif
        for (const Span* s = first; s != last; ++s) draw(*s, y, out + (s->from - first->from));
    }

    // The samples of one span of row y, to out[0 .. to − from). The source
    // is the one the sampler points to now, so that a plan can work its
    // spans out once and draw them for the frames of a movie.
    inline void draw(const Span& s, int y, uint32_t* out) const {
        const int n = s.to - s.from;
        if (s.kind == Span::Interior) {
            stepInterior(s.fx, s.fy, s.dfx, s.dfy, out, n);
        } else if (s.kind == Span::Fixed) {
            for (int i = 0; i < n; ++i) out[i] = fetchFixed(s.fx + s.dfx * i, s.fy + s.dfy * i);
        } else {
            double U0, V0, W0;
            rowStart(y, U0, V0, W0);
            for (int x = s.from; x < s.to; ++x) {
                double u, v;
                *out++ = map(x, U0, V0, W0, u, v) ? fetch(u, v) : 0u;
            }
        }
    }

    // The spans that cover pixels [begin, end) of row y, in order, each to
    // `emit`. The division is done exactly at both ends of short spans and
    // the source point is interpolated linearly in between. For a screen
    // hole's mild perspective the curvature over kSpan pixels is far below
    // the 1/128 pixel the weights resolve; a steeper quad bends more, so a
    // span whose exact midpoint strays from the line by more than 1/256
    // pixel takes the exact per-pixel route. Spans are laid on a fixed grid
    // from the bounding box's left edge, so a pixel gets the same sample
    // whichever run it is drawn in. Needs only the source's size.
    template <class Emit>
    inline void spans(int y, int begin, int end, Emit&& emit) const {
        constexpr int kSpan = 16;
        double U0, V0, W0;
        rowStart(y, U0, V0, W0);
        // The source points of a batch of span ends are mapped up front: the
        // divisions are independent there and overlap, instead of each one
        // stalling its span. A span's end is the next one's start.
        constexpr int kBatch = 32;
        double bu[kBatch + 1], bv[kBatch + 1];
        bool bok[kBatch + 1];
        int j = kBatch;
        for (int xs = x0 + (begin - x0) / kSpan * kSpan; xs < end; xs += kSpan, ++j) {
            if (j == kBatch) {
                for (int k = 0; k <= kBatch; ++k) {
                    const int x = std::min(xs + k * kSpan, x1);
                    bu[k] = bv[k] = 0;
                    bok[k] = map(x, U0, V0, W0, bu[k], bv[k]);
                    if (x == x1) break;
                }
                j = 0;
            }
            const int xe = std::min(xs + kSpan, x1);
            Span span;
            span.from = std::max(xs, begin);
            span.to = std::min(xe, end);
            const double us = bu[j], vs = bv[j], ue = bu[j + 1], ve = bv[j + 1];
            const bool startOk = bok[j], endOk = bok[j + 1];
            // Fixed point needs the span's points within reach of the
            // source; a map that flings them far away (the quad's horizon
            // near the canvas) takes the exact per-pixel route.
            constexpr double kReach = 1 << 20;
            if (startOk && endOk && std::abs(us) < kReach && std::abs(vs) < kReach && std::abs(ue) < kReach &&
                std::abs(ve) < kReach && nearlyStraight(xs, xe, us, vs, ue, ve, U0, V0, W0)) {
                // Full spans divide by a power of two: exactly a multiply.
                const bool full = xe - xs == kSpan;
                const double du = full ? (ue - us) * (1.0 / kSpan) : (ue - us) / (xe - xs);
                const double dv = full ? (ve - vs) * (1.0 / kSpan) : (ve - vs) / (xe - xs);
                // 16.16 pixel-centre positions stepped from the span's start,
                // so that a pixel's sample depends on its span only, not on
                // the run it is drawn in.
                span.dfx = toFixed(du);
                span.dfy = toFixed(dv);
                span.fx = toFixed(us - 0.5) + span.dfx * (span.from - xs);
                span.fy = toFixed(vs - 0.5) + span.dfy * (span.from - xs);
                const int n = span.to - span.from;
                // The positions are on a line: when both ends have all four
                // neighbours inside the source, so has every sample.
                span.kind = interior(span.fx, span.fy) &&
                                    interior(span.fx + span.dfx * (n - 1), span.fy + span.dfy * (n - 1))
                                ? Span::Interior
                                : Span::Fixed;
            }
            emit(span);
        }
    }

    // True when the exact source point at the span's middle lies within
    // 1/256 pixel of the straight line between its ends. The deviation of a
    // projective map from its chord peaks near the middle, so one exact
    // point bounds the whole span.
    inline bool nearlyStraight(int xs, int xe, double us, double vs, double ue, double ve, double U0, double V0,
                               double W0) const {
        constexpr double kTolerance = 1.0 / 256;
        if (xe - xs < 4 || inv[6] == 0) return true;  // an affine map has no curvature
        const int xm = (xs + xe) / 2;
        double um, vm;
        if (!map(xm, U0, V0, W0, um, vm)) return false;
        const double t = double(xm - xs) / double(xe - xs);
        return std::abs(um - (us + (ue - us) * t)) <= kTolerance && std::abs(vm - (vs + (ve - vs) * t)) <= kTolerance;
    }

    // v in 16.16 fixed point, rounded to nearest (a tie may go either way).
    static inline int64_t toFixed(double v) {
#if PLINTHORA_SIMD && defined(__x86_64__)
        return _mm_cvtsd_si64(_mm_set_sd(v * 65536.0));
#else
        return std::llround(v * 65536.0);
#endif
    }

    // n samples from the 16.16 pixel-centre position (fx, fy) stepping by
    // (dfx, dfy), all with their four neighbours inside the source. The
    // position is rounded to 1/128 pixel as fetch() does, and the
    // arithmetic is blend4()'s, four pixels at a time.
    inline void stepInterior(int64_t fx, int64_t fy, int64_t dfx, int64_t dfy, uint32_t* out, int n) const {
        const uint32_t* pixels = src->pixels.data();
        const size_t stride = size_t(src->width);
        int i = 0;
#if PLINTHORA_AVX2
        if (n >= 8 && offsetsIn32Bits() && hasAvx2()) {
            i = stepInteriorAvx2(pixels, stride, fx, fy, dfx, dfy, out, n);
            fx += dfx * i;
            fy += dfy * i;
        }
#endif
#if PLINTHORA_SIMD
        if (n - i >= 4) {
            const __m128i zero = _mm_setzero_si128();
            const __m128i k127 = _mm_set1_epi32(127), k128 = _mm_set1_epi32(128), k256 = _mm_set1_epi32(256);
            const __m128i half = _mm_set1_epi32(1 << 13);
            // Only the low 32 bits of the positions matter for the weights
            // (bits 9–15), so wrapping lanes are fine.
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
                    // Each channel of the left pixel next to the one below
                    // it, then the right pixel's: one madd per column gives
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
        }
#endif
        for (; i < n; ++i, fx += dfx, fy += dfy) {
            const int gx = int((fx + 256) >> 9), gy = int((fy + 256) >> 9);
            const uint32_t* r0 = pixels + size_t(gy >> 7) * stride;
            out[i] = blend4(r0, r0 + stride, gx >> 7, (gx >> 7) + 1, gx & 127, gy & 127);
        }
    }

    // Whether positions in 16.16 and word offsets of the source's pixels
    // are whole in 32 bits, as the eight-lane stepping has them.
    inline bool offsetsIn32Bits() const {
        return src->width < (1 << 15) && src->height < (1 << 15) &&
               size_t(src->width) * size_t(src->height) < (size_t(1) << 31);
    }

    // Whether the 16.16 pixel-centre position (fx, fy), rounded to 1/128
    // pixel, has its right and lower neighbours inside the source.
    inline bool interior(int64_t fx, int64_t fy) const {
        const int64_t ix = (fx + 256) >> 16, iy = (fy + 256) >> 16;
        return ix >= 0 && iy >= 0 && ix + 1 < src->width && iy + 1 < src->height;
    }

    // fetch() at a 16.16 pixel-centre position: the same rounding to 1/128
    // pixel as the stepping, so both give a pixel the same sample.
    inline uint32_t fetchFixed(int64_t fx, int64_t fy) const {
        const int sw = src->width, sh = src->height;
        // u = fx/65536 + ½ in [0, w), likewise v.
        if (fx < -32768 || fy < -32768 || fx >= int64_t(sw) * 65536 - 32768 || fy >= int64_t(sh) * 65536 - 32768)
            return 0;
        const int gx = int((fx + 256) >> 9), gy = int((fy + 256) >> 9);
        const int ix = gx >> 7, iy = gy >> 7;
        const uint32_t* pixels = src->pixels.data();
        const uint32_t* r0 = pixels + size_t(std::clamp(iy, 0, sh - 1)) * size_t(sw);
        const uint32_t* r1 = pixels + size_t(std::clamp(iy + 1, 0, sh - 1)) * size_t(sw);
        return blend4(r0, r1, std::clamp(ix, 0, sw - 1), std::clamp(ix + 1, 0, sw - 1), gx & 127, gy & 127);
    }

    // Start values of the row through pixel centres at height y + ½.
    inline void rowStart(int y, double& U0, double& V0, double& W0) const {
        const double py = y + 0.5;
        U0 = inv[0] * 0.5 + inv[1] * py + inv[2];
        V0 = inv[3] * 0.5 + inv[4] * py + inv[5];
        W0 = inv[6] * 0.5 + inv[7] * py + inv[8];
    }
};


inline bool opaque(uint32_t p) { return (p >> 24) == 255; }

// The first x in [x, end) whose pixel is (is not, when `want` is false)
// opaque; four pixels a test where SSE2 is there.
inline int skipWhile(const uint32_t* row, int x, int end, bool want) {
#if PLINTHORA_SIMD
    const __m128i mask = _mm_set1_epi32(int(0xFF000000u));
    const int all = want ? 0xFFFF : 0;
    for (; x + 4 <= end; x += 4) {
        const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(row + x));
        if (_mm_movemask_epi8(_mm_cmpeq_epi32(_mm_and_si128(v, mask), mask)) != all) break;
    }
#endif
    while (x < end && opaque(row[x]) == want) ++x;
    return x;
}

// row[i] = over(row[i], under[i]) for i in [0, n): the shell over the
// warped content, straight copies where the shell is clear.
inline void shellOver(uint32_t* row, const uint32_t* under, int n) {
    int i = 0;
#if PLINTHORA_SIMD
    for (; i + 4 <= n; i += 4) {
        const __m128i c = _mm_loadu_si128(reinterpret_cast<const __m128i*>(under + i));
        const __m128i sp = _mm_loadu_si128(reinterpret_cast<const __m128i*>(row + i));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(row + i), simd::allZero(sp) ? c : simd::over(sp, c));
    }
#endif
    for (; i < n; ++i) row[i] = row[i] == 0 ? under[i] : over(row[i], under[i]);
}

// The same with the content already in place: content[i] = over(shell[i],
// content[i]).
inline void shellOverInPlace(uint32_t* content, const uint32_t* shell, int n) {
    int i = 0;
#if PLINTHORA_SIMD
    for (; i + 4 <= n; i += 4) {
        const __m128i sp = _mm_loadu_si128(reinterpret_cast<const __m128i*>(shell + i));
        if (simd::allZero(sp)) continue;
        const __m128i c = _mm_loadu_si128(reinterpret_cast<const __m128i*>(content + i));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(content + i), simd::over(sp, c));
    }
#endif
    for (; i < n; ++i)
        if (shell[i] != 0) content[i] = over(shell[i], content[i]);
}

}  // namespace plinthora::linux_platform::PLINTHORA_KERNELS
