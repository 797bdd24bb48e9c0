// Arithmetic on premultiplied ARGB32 pixels (0xAARRGGBB words), shared by
// the kernels' plain loops; their vector twins round the same way (sse2.h).
#pragma once

#include <algorithm>
#include <cmath>
#include <cstdint>

namespace plinthora::imaging {

// x * y / 255 rounded to nearest, for x, y in [0, 255].
inline uint32_t mul255(uint32_t x, uint32_t y) {
    const uint32_t t = x * y + 128u;
    return (t + (t >> 8)) >> 8;
}

// The same on the two 8-bit lanes 0x00FF00FF of `pair`, y in [0, 255].
inline uint32_t mul255Pair(uint32_t pair, uint32_t y) {
    uint32_t t = (pair & 0x00FF00FFu) * y + 0x00800080u;
    t = ((t + ((t >> 8) & 0x00FF00FFu)) >> 8) & 0x00FF00FFu;
    return t;
}

// A draw's constant alpha in 8 bits; NaN draws nothing.
inline uint32_t alpha8(double alpha) {
    const double a = std::isnan(alpha) ? 0.0 : std::clamp(alpha, 0.0, 1.0);
    return uint32_t(std::lround(a * 255.0));
}

// All four channels of a premultiplied pixel times y / 255.
inline uint32_t scalePixel(uint32_t p, uint32_t y) { return mul255Pair(p, y) | (mul255Pair(p >> 8, y) << 8); }

// Source-over of premultiplied pixels: s + d * (1 - αs).
inline uint32_t over(uint32_t s, uint32_t d) {
    const uint32_t inv = 255u - (s >> 24);
    if (inv == 0) return s;
    // Channels of s + d·inv never exceed 255 for valid premultiplied input.
    return s + scalePixel(d, inv);
}

}  // namespace plinthora::imaging
