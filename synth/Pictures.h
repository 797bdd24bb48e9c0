// Pictures made in code for the tests and the benchmarks: deterministic
// images and straight/premultiplied conversions written independently of
// the kernels.
#pragma once

#include "platform/ports/Imaging.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <random>

namespace plinthora::imaging_test {

struct Rgba {
    double r = 0, g = 0, b = 0, a = 0;  // straight, 0..1
};

inline uint32_t premultiplied(int a, int r, int g, int b) {
    auto pm = [a](int c) { return uint32_t(std::lround(c * a / 255.0)); };
    return (uint32_t(a) << 24) | (pm(r) << 16) | (pm(g) << 8) | pm(b);
}

inline int alphaOf(uint32_t p) { return int(p >> 24); }
inline int redOf(uint32_t p) { return int((p >> 16) & 255); }
inline int greenOf(uint32_t p) { return int((p >> 8) & 255); }
inline int blueOf(uint32_t p) { return int(p & 255); }

// Largest difference over the four channels.
inline int channelDistance(uint32_t x, uint32_t y) {
    int d = 0;
    for (int s = 0; s < 32; s += 8) d = std::max(d, std::abs(int((x >> s) & 255) - int((y >> s) & 255)));
    return d;
}

// Random premultiplied pixels; about a fifth fully transparent and a fifth
// opaque, the rest partially transparent.
inline Bitmap randomBitmap(int w, int h, uint32_t seed) {
    Bitmap b(w, h);
    std::mt19937 rng(seed);
    std::uniform_int_distribution<int> byte(0, 255), kind(0, 4);
    for (auto& p : b.pixels) {
        const int k = kind(rng);
        const int a = k == 0 ? 0 : k == 1 ? 255 : byte(rng);
        p = premultiplied(a, byte(rng), byte(rng), byte(rng));
    }
    return b;
}

inline Bitmap solid(int w, int h, uint32_t pixel) {
    Bitmap b(w, h);
    std::fill(b.pixels.begin(), b.pixels.end(), pixel);
    return b;
}

// Destination point → source point (pixel-edge coordinates), solved here as
// a plain 8×8 linear system from the four corner correspondences.
struct Homography {
    std::array<double, 8> h{};
    explicit Homography(const Quad& q, double w, double hgt) {
        const double dst[4][2] = {{q.topLeft.x, q.topLeft.y},
                                  {q.topRight.x, q.topRight.y},
                                  {q.bottomRight.x, q.bottomRight.y},
                                  {q.bottomLeft.x, q.bottomLeft.y}};
        const double src[4][2] = {{0, 0}, {w, 0}, {w, hgt}, {0, hgt}};
        double m[8][9] = {};
        for (int i = 0; i < 4; ++i) {
            const double x = dst[i][0], y = dst[i][1], u = src[i][0], v = src[i][1];
            const double r0[9] = {x, y, 1, 0, 0, 0, -x * u, -y * u, u};
            const double r1[9] = {0, 0, 0, x, y, 1, -x * v, -y * v, v};
            std::copy(r0, r0 + 9, m[2 * i]);
            std::copy(r1, r1 + 9, m[2 * i + 1]);
        }
        for (int c = 0; c < 8; ++c) {
            int p = c;
            for (int r = c + 1; r < 8; ++r)
                if (std::abs(m[r][c]) > std::abs(m[p][c])) p = r;
            std::swap(m[c], m[p]);
            for (int r = 0; r < 8; ++r) {
                if (r == c) continue;
                const double f = m[r][c] / m[c][c];
                for (int k = c; k < 9; ++k) m[r][k] -= f * m[c][k];
            }
        }
        for (int i = 0; i < 8; ++i) h[size_t(i)] = m[i][8] / m[i][i];
    }
    Point map(double x, double y) const {
        const double w = h[6] * x + h[7] * y + 1;
        return {(h[0] * x + h[1] * y + h[2]) / w, (h[3] * x + h[4] * y + h[5]) / w};
    }
};

}  // namespace plinthora::imaging_test
