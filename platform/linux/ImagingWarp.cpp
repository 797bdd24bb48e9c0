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

namespace plinthora::linux_platform::kernels {

namespace {

Matrix3 multiply(const Matrix3& a, const Matrix3& b) {
    Matrix3 r{};
    for (int i = 0; i < 3; ++i)
        for (int j = 0; j < 3; ++j)
            r[i * 3 + j] = a[i * 3] * b[j] + a[i * 3 + 1] * b[3 + j] + a[i * 3 + 2] * b[6 + j];
    return r;
}

// Interpolates the two 8-bit lanes (0x00XX00XX) of a and b by w/256.
inline uint32_t lerpPair(uint32_t a, uint32_t b, uint32_t w) {
    return ((a * (256u - w) + b * w + 0x00800080u) >> 8) & 0x00FF00FFu;
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

    // The warped pixel at destination (x, y) given the row's start values
    // U0, V0, W0 at x = 0; transparent outside the quad.
    inline uint32_t sample(int x, double U0, double V0, double W0) const {
        const double W = W0 + inv[6] * x;
        if (!(W > 0)) return 0;
        const double rw = 1.0 / W;
        const double u = (U0 + inv[0] * x) * rw;
        const double v = (V0 + inv[3] * x) * rw;
        const int sw = src->width, sh = src->height;
        if (!(u >= 0 && v >= 0 && u < sw && v < sh)) return 0;
        // Pixel-centre coordinates in 8-bit fixed point, rounded so that an
        // exact pixel position is not pushed a hair towards its neighbour
        // (the offset keeps the truncation a floor for u, v ≥ 0).
        const int fx = int((u - 0.5) * 256.0 + 512.5) - 512;
        const int fy = int((v - 0.5) * 256.0 + 512.5) - 512;
        int ix = fx >> 8, iy = fy >> 8;
        const uint32_t wx = uint32_t(fx & 255), wy = uint32_t(fy & 255);
        int ix1 = ix + 1, iy1 = iy + 1;
        ix = std::clamp(ix, 0, sw - 1);
        ix1 = std::clamp(ix1, 0, sw - 1);
        iy = std::clamp(iy, 0, sh - 1);
        iy1 = std::clamp(iy1, 0, sh - 1);
        const uint32_t* r0 = src->pixels.data() + size_t(iy) * size_t(sw);
        const uint32_t* r1 = src->pixels.data() + size_t(iy1) * size_t(sw);
        const uint32_t p00 = r0[ix], p01 = r0[ix1], p10 = r1[ix], p11 = r1[ix1];
        const uint32_t rbTop = lerpPair(p00 & 0x00FF00FFu, p01 & 0x00FF00FFu, wx);
        const uint32_t agTop = lerpPair((p00 >> 8) & 0x00FF00FFu, (p01 >> 8) & 0x00FF00FFu, wx);
        const uint32_t rbBot = lerpPair(p10 & 0x00FF00FFu, p11 & 0x00FF00FFu, wx);
        const uint32_t agBot = lerpPair((p10 >> 8) & 0x00FF00FFu, (p11 >> 8) & 0x00FF00FFu, wx);
        return lerpPair(rbTop, rbBot, wy) | (lerpPair(agTop, agBot, wy) << 8);
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
            double U0, V0, W0;
            s.rowStart(y, U0, V0, W0);
            uint32_t* row = out.pixels.data() + size_t(y) * size_t(out.width);
            for (int x = s.x0; x < s.x1; ++x) row[x] = s.sample(x, U0, V0, W0);
        }
    }, 16);
    return out;
}

Bitmap warpUnder(const Bitmap& content, const Quad& quad, const Bitmap& shell) {
    Bitmap out(shell.width, shell.height, shell.scale);
    if (out.empty()) return out;
    Sampler s;
    const bool any = s.prepare(content, quad, out.width, out.height);
    const size_t w = size_t(out.width);
    parallelFor(out.height, [&](int begin, int end) {
        for (int y = begin; y < end; ++y) {
            const uint32_t* srow = shell.pixels.data() + size_t(y) * w;
            uint32_t* row = out.pixels.data() + size_t(y) * w;
            // Outside the hole's bounding box the warp is transparent, so the
            // shell comes through unchanged.
            std::memcpy(row, srow, w * sizeof(uint32_t));
            if (!any || y < s.y0 || y >= s.y1) continue;
            double U0, V0, W0;
            s.rowStart(y, U0, V0, W0);
            for (int x = s.x0; x < s.x1; ++x) {
                const uint32_t sp = srow[x];
                const uint32_t sa = sp >> 24;
                if (sa == 255) continue;  // the frame body hides the content
                const uint32_t c = s.sample(x, U0, V0, W0);
                row[x] = sp == 0 ? c : over(sp, c);  // fast where the shell is clear
            }
        }
    }, 16);
    return out;
}

}  // namespace plinthora::linux_platform::kernels
