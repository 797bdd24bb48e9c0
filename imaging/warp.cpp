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
#include "imaging/warp.h"

#include "imaging/parallel_for.h"
#include "imaging/pixel.h"
#include "imaging/sampler.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <mutex>
#include <utility>
#include <vector>

namespace plinthora::imaging {

namespace {

Matrix3 multiply(const Matrix3& a, const Matrix3& b) {
    Matrix3 r{};
    for (size_t i = 0; i < 3; ++i)
        for (size_t j = 0; j < 3; ++j)
            r[i * 3 + j] = a[i * 3] * b[j] + a[i * 3 + 1] * b[3 + j] + a[i * 3 + 2] * b[6 + j];
    return r;
}


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
    const Matrix3 unit{x1 - x0 + g * x1, x3 - x0 + hh * x3, x0, y1 - y0 + g * y1, y3 - y0 + hh * y3, y0, g, hh, 1};
    const Matrix3 scale{1 / w, 0, 0, 0, 1 / h, 0, 0, 0, 1};
    return multiply(unit, scale);
}

std::optional<Matrix3> inverse(const Matrix3& m) {
    const double a = m[0], b = m[1], c = m[2], d = m[3], e = m[4], f = m[5], g = m[6], h = m[7], i = m[8];
    const double A = e * i - f * h, B = -(d * i - f * g), C = d * h - e * g;
    const double det = a * A + b * B + c * C;
    if (det == 0 || !std::isfinite(det)) return std::nullopt;
    const double k = 1 / det;
    return Matrix3{A * k, -(b * i - c * h) * k, (b * f - c * e) * k, B * k, (a * i - c * g) * k, -(a * f - c * d) * k,
                   C * k, -(a * h - b * g) * k, (a * e - b * d) * k};
}

Bitmap warp(const Bitmap& src, const Quad& quad, int width, int height) {
    Bitmap out(std::max(width, 0), std::max(height, 0));
    Sampler s;
    if (!s.prepare(src, quad, out.width, out.height)) return out;
    parallelFor(
        s.y1 - s.y0,
        [&](int begin, int end) {
            for (int y = s.y0 + begin; y < s.y0 + end; ++y)
                s.row(y, s.x0, s.x1, out.pixels.data() + size_t(y) * size_t(out.width) + size_t(s.x0));
        },
        16);
    return out;
}

namespace {

// The plain fused pass: the warp under every run the shell does not cover
// fully, rows of `out` starting as the shell.
void warpUnderShell(const Sampler& s, Bitmap& out, const ShellOutside* outside) {
    const size_t w = size_t(out.width);
    parallelFor(
        s.y1 - s.y0,
        [&](int begin, int end) {
            std::vector<uint32_t> warped(size_t(s.x1 - s.x0));
            for (int y = s.y0 + begin; y < s.y0 + end; ++y) {
                uint32_t* row = out.pixels.data() + size_t(y) * w;
                auto warpRun = [&](int from, int to) {
                    s.row(y, from, to, warped.data());
                    shellOver(row + from, warped.data(), to - from);
                };
                // Only the runs the shell does not cover fully are warped, and
                // of those only what lies inside the device.
                int x = s.x0;
                while (x < s.x1) {
                    const int runStart = skipWhile(row, x, s.x1, true);
                    x = skipWhile(row, runStart, s.x1, false);
                    if (runStart == x) continue;
                    if (outside)
                        outside->forEachInside(y, runStart, x, warpRun);
                    else
                        warpRun(runStart, x);
                }
            }
        },
        16);
}

// A bilinear sample at source point (u, v) (pixel-edge coordinates), the
// point first pulled onto the picture: beyond it the edge pixels repeat.
// The weights and rounding are Sampler::fetch()'s.
uint32_t sampleClamped(const SourceRows& src, double u, double v) {
    const int sw = src.width, sh = src.height;
    u = std::clamp(u, 0.5, sw - 0.5);
    v = std::clamp(v, 0.5, sh - 0.5);
    const int fx = int((u - 0.5) * 128.0 + 0.5), fy = int((v - 0.5) * 128.0 + 0.5);
    const int ix = std::min(fx >> 7, sw - 1), iy = std::min(fy >> 7, sh - 1);
    const uint32_t* r0 = src.row(iy);
    const uint32_t* r1 = src.row(std::min(iy + 1, sh - 1));
    return blend4(r0, r1, ix, std::min(ix + 1, sw - 1), fx & 127, fy & 127);
}

inline bool partlyDrawn(uint32_t p) { return (p >> 24) != 0 && (p >> 24) != 255; }

// The first x in [x, end) whose shell pixel is partly drawn.
inline int skipSolid(const uint32_t* row, int x, int end) {
    if (end - x >= 4) x = tier().skipSolid(row, x, end);
    while (x < end && !partlyDrawn(row[x])) ++x;
    return x;
}

double segmentDistance(Point p, Point a, Point b) {
    const double ex = b.x - a.x, ey = b.y - a.y, len2 = ex * ex + ey * ey;
    const double t = len2 > 0 ? std::clamp(((p.x - a.x) * ex + (p.y - a.y) * ey) / len2, 0.0, 1.0) : 0.0;
    return std::hypot(p.x - (a.x + t * ex), p.y - (a.y + t * ey));
}

}  // namespace

std::vector<SeamPixel> seamPixels(const Bitmap& shell, const Quad& quad, int contentWidth, int contentHeight,
                                  const ShellOutside* outside) {
    std::vector<SeamPixel> seam;
    if (shell.empty() || contentWidth <= 0 || contentHeight <= 0) return seam;
    const auto fwd = squareToQuad(contentWidth, contentHeight, quad);
    if (!fwd) return seam;
    const auto back = inverse(*fwd);
    if (!back) return seam;
    Matrix3 inv = *back;
    const Point corners[4] = {quad.topLeft, quad.topRight, quad.bottomRight, quad.bottomLeft};
    double cx = 0, cy = 0, minX = corners[0].x, maxX = minX, minY = corners[0].y, maxY = minY;
    for (const Point& c : corners) {
        cx += c.x / 4;
        cy += c.y / 4;
        minX = std::min(minX, c.x), maxX = std::max(maxX, c.x);
        minY = std::min(minY, c.y), maxY = std::max(maxY, c.y);
    }
    if (!std::isfinite(minX + maxX + minY + maxY)) return seam;
    if (inv[6] * cx + inv[7] * cy + inv[8] < 0)
        for (double& m : inv) m = -m;
    auto span = [](double lo, double hi, int size, int& a, int& b) {
        a = int(std::clamp(std::floor(lo - kEdgeReach), 0.0, double(size)));
        b = int(std::clamp(std::ceil(hi + kEdgeReach), 0.0, double(size)));
    };
    int x0, x1, y0, y1;
    span(minX, maxX, shell.width, x0, x1);
    span(minY, maxY, shell.height, y0, y1);
    if (x0 >= x1 || y0 >= y1) return seam;

    std::mutex lock;
    std::vector<std::pair<int, std::vector<SeamPixel>>> parts;
    parallelFor(
        y1 - y0,
        [&](int begin, int end) {
            std::vector<SeamPixel> part;
            for (int y = y0 + begin; y < y0 + end; ++y) {
                const uint32_t* row = shell.pixels.data() + size_t(y) * size_t(shell.width);
                for (int x = skipSolid(row, x0, x1); x < x1; x = skipSolid(row, x + 1, x1)) {
                    const Point c{x + 0.5, y + 0.5};
                    double d = segmentDistance(c, corners[3], corners[0]);
                    for (int i = 0; i < 3; ++i) d = std::min(d, segmentDistance(c, corners[i], corners[i + 1]));
                    if (d > kEdgeReach || (outside && outside->contains(x, y))) continue;
                    const double W = inv[6] * c.x + inv[7] * c.y + inv[8];
                    if (!(W > 0)) continue;
                    const double u = (inv[0] * c.x + inv[1] * c.y + inv[2]) / W;
                    const double v = (inv[3] * c.x + inv[4] * c.y + inv[5]) / W;
                    const bool inside = u >= 0 && v >= 0 && u < contentWidth && v < contentHeight;
                    if (inside && d >= 1) continue;
                    part.push_back({uint32_t(size_t(y) * size_t(shell.width) + size_t(x)),
                                    float(std::clamp(u, 0.0, double(contentWidth))),
                                    float(std::clamp(v, 0.0, double(contentHeight)))});
                }
            }
            std::lock_guard<std::mutex> hold(lock);
            parts.emplace_back(begin, std::move(part));
        },
        64);
    std::sort(parts.begin(), parts.end(), [](const auto& a, const auto& b) { return a.first < b.first; });
    for (auto& [begin, part] : parts) seam.insert(seam.end(), part.begin(), part.end());
    return seam;
}

void applySeam(uint32_t* out, size_t outIndex, const Bitmap& shell, const SourceRows& content, const SeamPixel* first,
               const SeamPixel* last) {
    if (content.empty()) return;
    for (const SeamPixel* p = first; p != last; ++p)
        out[p->index - outIndex] = over(shell.pixels[p->index], sampleClamped(content, p->u, p->v));
}

void applySeam(Bitmap& out, const Bitmap& shell, const Bitmap& content, const std::vector<SeamPixel>& seam) {
    applySeam(out.pixels.data(), 0, shell, SourceRows::of(content), seam.data(), seam.data() + seam.size());
}

void warpUnderInPlace(const Bitmap& content, const Quad& quad, Bitmap& shell, const ShellOutside* outside) {
    // Outside the hole's bounding box the warp is transparent, so the shell
    // comes through unchanged where it stands.
    if (shell.empty()) return;
    if (outside && (outside->width != shell.width || outside->height != shell.height)) outside = nullptr;
    const std::vector<SeamPixel> seam = seamPixels(shell, quad, content.width, content.height, outside);
    // The seam goes under the shell's own pixels, which the warp replaces.
    std::vector<uint32_t> bezel(seam.size());
    for (size_t i = 0; i < seam.size(); ++i) bezel[i] = shell.pixels[seam[i].index];
    Sampler s;
    if (s.prepare(content, quad, shell.width, shell.height)) warpUnderShell(s, shell, outside);
    if (content.empty()) return;
    const SourceRows rows = SourceRows::of(content);
    for (size_t i = 0; i < seam.size(); ++i)
        shell.pixels[seam[i].index] = over(bezel[i], sampleClamped(rows, seam[i].u, seam[i].v));
}

Bitmap warpUnder(const Bitmap& content, const Quad& quad, const Bitmap& shell, const ShellOutside* outside) {
    Bitmap out = shell;
    warpUnderInPlace(content, quad, out, outside);
    return out;
}

}  // namespace plinthora::imaging
