// Helpers shared by the imaging integration tests: deterministic images and
// straight/premultiplied conversions written independently of the kernels.
#pragma once

#include "platform/ports/Imaging.h"

#include <algorithm>
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

}  // namespace plinthora::imaging_test
