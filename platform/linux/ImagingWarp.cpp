// Projective (perspective) map with bilinear sampling, plain and fused with
// the shell drawn over it.
//
// Conventions: the source's pixel-edge rectangle [0,w]×[0,h] maps corner to
// corner onto the quad, which is given in destination pixel-edge
// coordinates. A destination pixel is sampled at its centre (x+½, y+½); the
// inverse map gives a source point whose pixel-centre coordinates are
// (u−½, v−½). So the quad's centre (where its diagonals cross) samples the
// source's centre, and a quad equal to the destination rectangle copies the
// source exactly. A pixel whose centre maps outside [0,w)×[0,h) is fully
// transparent; samples near the source's border clamp to the edge pixels.
#include "platform/linux/ImagingKernels.h"

#include <algorithm>
#include <cmath>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace plinthora::linux_platform::kernels {

namespace {

Matrix3 multiply(const Matrix3& a, const Matrix3& b) {
    Matrix3 r{};
    for (int i = 0; i < 3; ++i)
        for (int j = 0; j < 3; ++j)
            r[i * 3 + j] = a[i * 3] * b[j] + a[i * 3 + 1] * b[3 + j] + a[i * 3 + 2] * b[6 + j];
    return r;
}

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
#if defined(__SSE2__)
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

    // Calls put(x, u, v) for x in [begin, end) of row y. The division is
    // done exactly at both ends of short spans and the source point is
    // interpolated linearly in between: over kSpan pixels the projective
    // curvature of any sane quad is far below 1/256 pixel. Spans are laid
    // on a fixed grid from the bounding box's left edge, so a pixel gets
    // the same sample whichever run it is drawn in.
    template <typename Put>
    inline void row(int y, int begin, int end, Put&& put) const {
        constexpr int kSpan = 16;
        double U0, V0, W0;
        rowStart(y, U0, V0, W0);
        for (int xs = x0 + (begin - x0) / kSpan * kSpan; xs < end; xs += kSpan) {
            const int xe = std::min(xs + kSpan, x1);
            const int from = std::max(xs, begin), to = std::min(xe, end);
            double us, vs, ue, ve;
            if (map(xs, U0, V0, W0, us, vs) && map(xe, U0, V0, W0, ue, ve)) {
                const double du = (ue - us) / (xe - xs), dv = (ve - vs) / (xe - xs);
                const double ua = us + du * (from - xs), va = vs + dv * (from - xs);
                const double ub = us + du * (to - 1 - xs), vb = vs + dv * (to - 1 - xs);
                if (interior(ua, va) && interior(ub, vb)) {
                    // Every sample of the run has all four neighbours inside
                    // the source (the points are on a line): step in 16.16
                    // fixed point with no tests.
                    const uint32_t* pixels = src->pixels.data();
                    const size_t stride = size_t(src->width);
                    int64_t fx = std::llround((ua - 0.5) * 65536.0), fy = std::llround((va - 0.5) * 65536.0);
                    const int64_t dfx = std::llround(du * 65536.0), dfy = std::llround(dv * 65536.0);
                    for (int x = from; x < to; ++x, fx += dfx, fy += dfy) {
                        // Rounded to 1/128 pixel as fetch() does.
                        const int gx = int((fx + 256) >> 9), gy = int((fy + 256) >> 9);
                        const uint32_t* r0 = pixels + size_t(gy >> 7) * stride;
                        put(x, blend4(r0, r0 + stride, gx >> 7, (gx >> 7) + 1, gx & 127, gy & 127));
                    }
                    continue;
                }
                for (int x = from; x < to; ++x) putSample(x, us + du * (x - xs), vs + dv * (x - xs), put);
            } else {
                for (int x = from; x < to; ++x) {
                    double u, v;
                    put(x, map(x, U0, V0, W0, u, v) ? fetch(u, v) : 0u);
                }
            }
        }
    }

    // Whether the sample at (u, v) and its right and lower neighbours lie
    // inside the source with room for the rounding of the 16.16 stepping.
    inline bool interior(double u, double v) const {
        return u >= 0.5 + 1e-3 && v >= 0.5 + 1e-3 && u < src->width - 0.5 - 1e-2 && v < src->height - 0.5 - 1e-2;
    }

    template <typename Put>
    inline void putSample(int x, double u, double v, Put& put) const {
        put(x, fetch(u, v));
    }

    // Start values of the row through pixel centres at height y + ½.
    inline void rowStart(int y, double& U0, double& V0, double& W0) const {
        const double py = y + 0.5;
        U0 = inv[0] * 0.5 + inv[1] * py + inv[2];
        V0 = inv[3] * 0.5 + inv[4] * py + inv[5];
        W0 = inv[6] * 0.5 + inv[7] * py + inv[8];
    }
};

}  // namespace

std::optional<Matrix3> squareToQuad(double w, double h, const Quad& q) {
    if (!(w > 0) || !(h > 0)) return std::nullopt;
    const double x0 = q.topLeft.x, y0 = q.topLeft.y, x1 = q.topRight.x, y1 = q.topRight.y;
    const double x2 = q.bottomRight.x, y2 = q.bottomRight.y, x3 = q.bottomLeft.x, y3 = q.bottomLeft.y;
    // Unit square (0,0) (1,0) (1,1) (0,1) → x0..x3, the classic closed form.
    const double sx = x0 - x1 + x2 - x3, sy = y0 - y1 + y2 - y3;
    const double dx1 = x1 - x2, dx2 = x3 - x2, dy1 = y1 - y2, dy2 = y3 - y2;
    double g = 0, hh = 0;
    if (sx != 0 || sy != 0) {
        const double den = dx1 * dy2 - dx2 * dy1;
        if (den == 0 || !std::isfinite(den)) return std::nullopt;
        g = (sx * dy2 - dx2 * sy) / den;
        hh = (dx1 * sy - sx * dy1) / den;
    }
    const Matrix3 unit{x1 - x0 + g * x1, x3 - x0 + hh * x3, x0,
                       y1 - y0 + g * y1, y3 - y0 + hh * y3, y0,
                       g,                hh,                1};
    const Matrix3 scale{1 / w, 0, 0, 0, 1 / h, 0, 0, 0, 1};
    return multiply(unit, scale);
}

std::optional<Matrix3> inverse(const Matrix3& m) {
    const double a = m[0], b = m[1], c = m[2], d = m[3], e = m[4], f = m[5], g = m[6], h = m[7], i = m[8];
    const double A = e * i - f * h, B = -(d * i - f * g), C = d * h - e * g;
    const double det = a * A + b * B + c * C;
    if (det == 0 || !std::isfinite(det)) return std::nullopt;
    const double k = 1 / det;
    return Matrix3{A * k, -(b * i - c * h) * k, (b * f - c * e) * k,
                   B * k, (a * i - c * g) * k,  -(a * f - c * d) * k,
                   C * k, -(a * h - b * g) * k, (a * e - b * d) * k};
}

Bitmap warp(const Bitmap& src, const Quad& quad, int width, int height) {
    Bitmap out(std::max(width, 0), std::max(height, 0));
    Sampler s;
    if (!s.prepare(src, quad, out.width, out.height)) return out;
    parallelFor(s.y1 - s.y0, [&](int begin, int end) {
        for (int y = s.y0 + begin; y < s.y0 + end; ++y) {
            uint32_t* row = out.pixels.data() + size_t(y) * size_t(out.width);
            s.row(y, s.x0, s.x1, [&](int x, uint32_t c) { row[x] = c; });
        }
    }, 16);
    return out;
}

Bitmap warpUnder(const Bitmap& content, const Quad& quad, const Bitmap& shell) {
    // Outside the hole's bounding box the warp is transparent, so the shell
    // comes through unchanged: start from a copy of it.
    Bitmap out;
    out.width = shell.width;
    out.height = shell.height;
    out.scale = shell.scale;
    out.pixels = shell.pixels;
    if (out.empty()) return out;
    Sampler s;
    if (!s.prepare(content, quad, out.width, out.height)) return out;
    const size_t w = size_t(out.width);
    parallelFor(s.y1 - s.y0, [&](int begin, int end) {
        for (int y = s.y0 + begin; y < s.y0 + end; ++y) {
            uint32_t* row = out.pixels.data() + size_t(y) * w;
            // Only the runs the shell does not cover fully are warped.
            int x = s.x0;
            while (x < s.x1) {
                while (x < s.x1 && (row[x] >> 24) == 255) ++x;
                const int runStart = x;
                while (x < s.x1 && (row[x] >> 24) != 255) ++x;
                if (runStart == x) continue;
                s.row(y, runStart, x, [&](int px, uint32_t c) {
                    const uint32_t sp = row[px];
                    row[px] = sp == 0 ? c : over(sp, c);  // fast where the shell is clear
                });
            }
        }
    }, 16);
    return out;
}

}  // namespace plinthora::linux_platform::kernels
