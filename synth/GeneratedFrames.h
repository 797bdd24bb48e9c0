// Inputs made in code, shared by the tests and the benchmarks (which must
// not reach into tests/).
// Device frames drawn in code with a known screen: a rounded body on clear
// surroundings, a rounded clear screen, optionally a notch, an island, a
// drop shadow, a half-transparent glass sheen, and the whole device seen
// in perspective. Edges are antialiased by area (4 × 4 samples where a
// pixel straddles one), as a frame drawn in an editor would be.
#pragma once

#include "platform/ports/Imaging.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <vector>

namespace plinthora::frames_test {

struct FrameRecipe {
    int width = 360, height = 660;
    // The device upright, in its own units: body, then the screen inside it.
    double bodyWidth = 300, bodyHeight = 600, bodyRadius = 42;
    double bezel = 13, screenRadius = 30;
    bool notch = false, island = false, shadow = false, sheen = false;
    // Where the body's top-left corner lands when upright.
    double left = 30, top = 30;
    // Seen in perspective: turned by `turn` degrees, its right side
    // foreshortened to `foreshorten` of its height.
    double turn = 0, foreshorten = 1;
};

struct GeneratedFrame {
    Bitmap pixels;
    Quad screen;  // the screen's sharp corners (before rounding), in pixels
    bool upright = true;
};

namespace detail {

using M3 = std::array<double, 9>;

inline M3 unitToQuad(const Point q[4]) {  // (0,0) (1,0) (1,1) (0,1) → q0..q3
    const double x0 = q[0].x, y0 = q[0].y, x1 = q[1].x, y1 = q[1].y, x2 = q[2].x, y2 = q[2].y, x3 = q[3].x, y3 = q[3].y;
    const double sx = x0 - x1 + x2 - x3, sy = y0 - y1 + y2 - y3;
    const double dx1 = x1 - x2, dx2 = x3 - x2, dy1 = y1 - y2, dy2 = y3 - y2;
    const double den = dx1 * dy2 - dx2 * dy1;
    const double g = (sx * dy2 - dx2 * sy) / den, h = (dx1 * sy - sx * dy1) / den;
    return {x1 - x0 + g * x1, x3 - x0 + h * x3, x0, y1 - y0 + g * y1, y3 - y0 + h * y3, y0, g, h, 1};
}
inline M3 invert(const M3& m) {
    const double a = m[0], b = m[1], c = m[2], d = m[3], e = m[4], f = m[5], g = m[6], h = m[7], i = m[8];
    const double A = e * i - f * h, B = f * g - d * i, C = d * h - e * g, det = a * A + b * B + c * C;
    return {A / det, (c * h - b * i) / det, (b * f - c * e) / det,
            B / det, (a * i - c * g) / det, (c * d - a * f) / det,
            C / det, (b * g - a * h) / det, (a * e - b * d) / det};
}
inline Point apply(const M3& m, double x, double y) {
    const double w = m[6] * x + m[7] * y + m[8];
    return {(m[0] * x + m[1] * y + m[2]) / w, (m[3] * x + m[4] * y + m[5]) / w};
}
// Signed distance to a rounded rectangle (negative inside).
inline double roundedDistance(double x, double y, double l, double t, double w, double h, double r) {
    const double cx = l + w / 2, cy = t + h / 2;
    const double qx = std::abs(x - cx) - (w / 2 - r), qy = std::abs(y - cy) - (h / 2 - r);
    return std::hypot(std::max(qx, 0.0), std::max(qy, 0.0)) + std::min(std::max(qx, qy), 0.0) - r;
}

}  // namespace detail

// What the recipe's device is at a point of its own plane: 0 outside, 1 the
// body (notch and island included), 2 the screen.
inline int deviceAt(const FrameRecipe& r, double u, double v) {
    if (detail::roundedDistance(u, v, 0, 0, r.bodyWidth, r.bodyHeight, r.bodyRadius) > 0) return 0;
    const double sw = r.bodyWidth - 2 * r.bezel, sh = r.bodyHeight - 2 * r.bezel;
    if (detail::roundedDistance(u, v, r.bezel, r.bezel, sw, sh, r.screenRadius) > 0) return 1;
    const double cx = r.bodyWidth / 2;
    if (r.notch && std::abs(u - cx) < sw * 0.22 && v < r.bezel + sh * 0.035) return 1;
    if (r.island &&
        detail::roundedDistance(u, v, cx - sw * 0.17, r.bezel + sh * 0.015, sw * 0.34, sh * 0.04, sh * 0.02) < 0)
        return 1;
    return 2;
}

inline GeneratedFrame generateFrame(const FrameRecipe& r) {
    using namespace detail;
    // The body's corners in the picture.
    Point body[4] = {{r.left, r.top},
                     {r.left + r.bodyWidth, r.top},
                     {r.left + r.bodyWidth, r.top + r.bodyHeight},
                     {r.left, r.top + r.bodyHeight}};
    const bool upright = r.turn == 0 && r.foreshorten == 1;
    if (!upright) {
        const double cx = r.left + r.bodyWidth / 2, cy = r.top + r.bodyHeight / 2;
        const double sq = (1 - r.foreshorten) * r.bodyHeight / 2;
        body[1].y += sq, body[2].y -= sq;
        const double a = r.turn * M_PI / 180, c = std::cos(a), s = std::sin(a);
        for (Point& p : body) p = {cx + (p.x - cx) * c - (p.y - cy) * s, cy + (p.x - cx) * s + (p.y - cy) * c};
    }
    M3 toPicture = unitToQuad(body);
    const M3 scale{1 / r.bodyWidth, 0, 0, 0, 1 / r.bodyHeight, 0, 0, 0, 1};
    M3 m{};
    for (int i = 0; i < 3; ++i)
        for (int j = 0; j < 3; ++j)
            m[size_t(i * 3 + j)] = toPicture[size_t(i * 3)] * scale[size_t(j)] +
                                   toPicture[size_t(i * 3 + 1)] * scale[size_t(3 + j)] +
                                   toPicture[size_t(i * 3 + 2)] * scale[size_t(6 + j)];
    const M3 toDevice = invert(m);

    GeneratedFrame f;
    f.upright = upright;
    const double b = r.bezel;
    f.screen = {apply(m, b, b), apply(m, r.bodyWidth - b, b), apply(m, b, r.bodyHeight - b),
                apply(m, r.bodyWidth - b, r.bodyHeight - b)};
    f.pixels = Bitmap(r.width, r.height);

    // The device's kind at every pixel corner; a pixel whose corners agree
    // is taken whole, the others are sampled.
    const int W = r.width, H = r.height;
    std::vector<uint8_t> corner(size_t(W + 1) * size_t(H + 1));
    for (int y = 0; y <= H; ++y)
        for (int x = 0; x <= W; ++x) {
            const Point d = apply(toDevice, x, y);
            corner[size_t(y) * size_t(W + 1) + size_t(x)] = uint8_t(deviceAt(r, d.x, d.y));
        }
    for (int y = 0; y < H; ++y)
        for (int x = 0; x < W; ++x) {
            const size_t c = size_t(y) * size_t(W + 1) + size_t(x);
            const uint8_t k = corner[c];
            double share[3] = {0, 0, 0};
            if (k == corner[c + 1] && k == corner[c + size_t(W) + 1] && k == corner[c + size_t(W) + 2]) {
                share[k] = 1;
            } else {
                for (int i = 0; i < 4; ++i)
                    for (int j = 0; j < 4; ++j) {
                        const Point d = apply(toDevice, x + (i + 0.5) / 4, y + (j + 0.5) / 4);
                        share[deviceAt(r, d.x, d.y)] += 1.0 / 16;
                    }
            }
            const Point d = apply(toDevice, x + 0.5, y + 0.5);
            // Straight colour and alpha of each part, laid side by side.
            double a = 0, red = 0, green = 0, blue = 0;
            auto add = [&](double part, double alpha, double cr, double cg, double cb) {
                a += part * alpha, red += part * alpha * cr, green += part * alpha * cg, blue += part * alpha * cb;
            };
            if (share[0] > 0 && r.shadow) {
                const double dist = roundedDistance(d.x, d.y - 18, 0, 0, r.bodyWidth, r.bodyHeight, r.bodyRadius);
                add(share[0], 0.45 * std::exp(-std::pow(std::max(dist, 0.0) / 28, 2)), 0, 0, 0);
            }
            if (share[1] > 0) {
                // A dark body with a lighter metal rim.
                const double rim = roundedDistance(d.x, d.y, 0, 0, r.bodyWidth, r.bodyHeight, r.bodyRadius);
                const double g = rim > -r.bezel * 0.3 ? 150 : 24;
                add(share[1], 1, g, g, g + 8);
            }
            if (share[2] > 0 && r.sheen) {
                const double t = std::clamp((d.x / r.bodyWidth + d.y / r.bodyHeight) / 2, 0.0, 1.0);
                add(share[2], 0.45 - 0.35 * t, 255, 255, 255);
            }
            const int A = int(std::lround(std::clamp(a, 0.0, 1.0) * 255));
            auto ch = [](double v) { return uint32_t(std::lround(std::clamp(v, 0.0, 255.0))); };
            f.pixels.at(x, y) = (uint32_t(A) << 24) | (ch(red) << 16) | (ch(green) << 8) | ch(blue);
        }
    return f;
}

}  // namespace plinthora::frames_test
