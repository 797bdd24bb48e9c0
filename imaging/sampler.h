// The projective sampler and the shell-over pass shared by the fused warp
// and the plan that repeats it for the frames of a movie. Internal to
// the kernels; see warp.cpp for the conventions.
#pragma once

#include "imaging/bilinear.h"
#include "imaging/pixel.h"
#include "imaging/warp.h"
#include "imaging/tiers.h"

#include <algorithm>
#include <cmath>
#include <cstdint>

#if defined(__x86_64__) && defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace plinthora::imaging {

// The inverse map of one warp, ready for stepping row by row.
struct Sampler {
    SourceRows src;
    Matrix3 inv{};                       // destination (x, y, 1) → source (U, V, W), W > 0 inside
    int x0 = 0, x1 = 0, y0 = 0, y1 = 0;  // destination bounding box of the quad, half-open

    bool prepare(const Bitmap& source, const Quad& quad, int width, int height) {
        src = SourceRows::of(source);
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
    // which lets the vector loops keep every product in signed 16-bit lanes.
    inline uint32_t fetch(double u, double v) const {
        const int sw = src.width, sh = src.height;
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
        return blend4(src.row(iy), src.row(iy1), ix, ix1, wx, wy);
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

    using Span = SampleSpan;

    // Writes the samples of pixels [begin, end) of row y to out[0 ..
    // end − begin).
    // The spans go to drawRun() in batches, so that a tier steps a run of
    // interior ones in one call.
    inline void row(int y, int begin, int end, uint32_t* out) const {
        constexpr int kBatch = 32;
        Span batch[kBatch];
        int n = 0;
        auto flush = [&] {
            if (n) drawRun(batch, batch + n, y, out + (batch[0].from - begin));
            n = 0;
        };
        spans(y, begin, end, [&](const Span& s) {
            batch[n++] = s;
            if (n == kBatch) flush();
        });
        flush();
    }

    // The samples of the consecutive spans [first, last) of row y, to
    // out[0 ..), out standing for pixel first->from: draw() of each.
    inline void drawRun(const Span* first, const Span* last, int y, uint32_t* out) const {
        if (const auto stepSpans = tier().stepSpans; stepSpans && offsetsIn32Bits()) {
            const uint32_t* pixels = src.pixels;
            const size_t stride = size_t(src.width);
            for (const Span* s = first; s != last;) {
                if (s->kind == Span::Interior) {
                    s = stepSpans(pixels, stride, s, last, first->from, out);
                } else {
                    draw(*s, y, out + (s->from - first->from));
                    ++s;
                }
            }
            return;
        }
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
                span.kind =
                    interior(span.fx, span.fy) && interior(span.fx + span.dfx * (n - 1), span.fy + span.dfy * (n - 1))
                        ? Span::Interior
                        : Span::Fixed;
                // A span across the source's edge (each row of a screen's
                // hole has one at either end) is stepped where its samples
                // are interior, a run of the line, and fetched with the edge
                // tests only beyond it: the same positions, the same samples.
                if (span.kind == Span::Fixed) {
                    int a = 0;
                    while (a < n && !interior(span.fx + span.dfx * a, span.fy + span.dfy * a)) ++a;
                    int b = a;
                    while (b < n && interior(span.fx + span.dfx * b, span.fy + span.dfy * b)) ++b;
                    if (b - a >= 4) {
                        const Span whole = span;
                        auto part = [&](int from, int to, Span::Kind kind) {
                            if (from >= to) return;
                            Span p = whole;
                            p.from = whole.from + from;
                            p.to = whole.from + to;
                            p.fx = whole.fx + whole.dfx * from;
                            p.fy = whole.fy + whole.dfy * from;
                            p.kind = kind;
                            emit(p);
                        };
                        part(0, a, Span::Fixed);
                        part(a, b, Span::Interior);
                        part(b, n, Span::Fixed);
                        continue;
                    }
                }
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

    // v in 16.16 fixed point, rounded to nearest, ties to even (the
    // default rounding mode). On x86-64 the one conversion instruction:
    // llrint() is a call into libm there, and this runs for every span.
    static inline int64_t toFixed(double v) {
#if defined(__x86_64__) && defined(__SSE2__)
        return _mm_cvtsd_si64(_mm_set_sd(v * 65536.0));
#else
        return std::llrint(v * 65536.0);
#endif
    }

    // n samples from the 16.16 pixel-centre position (fx, fy) stepping by
    // (dfx, dfy), all with their four neighbours inside the source. The
    // position is rounded to 1/128 pixel as fetch() does, and the
    // arithmetic is blend4()'s: the tier's vector loops, then one at a time.
    inline void stepInterior(int64_t fx, int64_t fy, int64_t dfx, int64_t dfy, uint32_t* out, int n) const {
        const uint32_t* pixels = src.pixels;
        const size_t stride = size_t(src.width);
        const int i = n >= 4 ? tier().stepInterior(pixels, stride, fx, fy, dfx, dfy, out, n, offsetsIn32Bits()) : 0;
        fx += dfx * i;
        fy += dfy * i;
        for (int k = i; k < n; ++k, fx += dfx, fy += dfy) {
            const int gx = int((fx + 256) >> 9), gy = int((fy + 256) >> 9);
            const uint32_t* r0 = pixels + size_t(gy >> 7) * stride;
            out[k] = blend4(r0, r0 + stride, gx >> 7, (gx >> 7) + 1, gx & 127, gy & 127);
        }
    }

    // Whether positions in 16.16 and word offsets of the source's pixels
    // are whole in 32 bits, as the eight-lane stepping has them.
    inline bool offsetsIn32Bits() const {
        return src.width < (1 << 15) && src.height < (1 << 15) &&
               size_t(src.width) * size_t(src.height) < (size_t(1) << 31);
    }

    // Whether the 16.16 pixel-centre position (fx, fy), rounded to 1/128
    // pixel, has its right and lower neighbours inside the source.
    inline bool interior(int64_t fx, int64_t fy) const {
        const int64_t ix = (fx + 256) >> 16, iy = (fy + 256) >> 16;
        return ix >= 0 && iy >= 0 && ix + 1 < src.width && iy + 1 < src.height;
    }

    // fetch() at a 16.16 pixel-centre position: the same rounding to 1/128
    // pixel as the stepping, so both give a pixel the same sample.
    inline uint32_t fetchFixed(int64_t fx, int64_t fy) const {
        const int sw = src.width, sh = src.height;
        // u = fx/65536 + ½ in [0, w), likewise v.
        if (fx < -32768 || fy < -32768 || fx >= int64_t(sw) * 65536 - 32768 || fy >= int64_t(sh) * 65536 - 32768)
            return 0;
        const int gx = int((fx + 256) >> 9), gy = int((fy + 256) >> 9);
        const int ix = gx >> 7, iy = gy >> 7;
        const uint32_t* pixels = src.pixels;
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
// opaque.
inline int skipWhile(const uint32_t* row, int x, int end, bool want) {
    if (end - x >= 4) x = tier().skipOpaque(row, x, end, want);
    while (x < end && opaque(row[x]) == want) ++x;
    return x;
}

// row[i] = over(row[i], under[i]) for i in [0, n): the shell over the
// warped content, straight copies where the shell is clear.
inline void shellOver(uint32_t* row, const uint32_t* under, int n) {
    for (int i = n >= 4 ? tier().shellOver(row, under, n) : 0; i < n; ++i)
        row[i] = row[i] == 0 ? under[i] : over(row[i], under[i]);
}

// The same with the content already in place: content[i] = over(shell[i],
// content[i]).
inline void shellOverInPlace(uint32_t* content, const uint32_t* shell, int n) {
    for (int i = n >= 4 ? tier().shellOverInPlace(content, shell, n) : 0; i < n; ++i)
        if (shell[i] != 0) content[i] = over(shell[i], content[i]);
}

}  // namespace plinthora::imaging
