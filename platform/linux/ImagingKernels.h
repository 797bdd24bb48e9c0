// Pixel kernels behind QtImaging. Internal to platform/linux; everything
// works on premultiplied ARGB32 (0xAARRGGBB words).
#pragma once

#include "platform/ports/Imaging.h"

#include <array>
#include <cstdint>
#include <functional>
#include <optional>

namespace plinthora::linux_platform::kernels {

// Threads the kernels use: PLINTHORA_THREADS when set, else one per
// hardware thread.
int threadCount();

// Runs body(begin, end) over [0, count) split into contiguous slices, one per
// hardware thread (at most `maxSlices`), the first slice on the calling
// thread. Small jobs run inline.
void parallelFor(int count, const std::function<void(int, int)>& body, int minPerSlice = 64, int maxSlices = 0);

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

// All four channels of a premultiplied pixel times y / 255.
inline uint32_t scalePixel(uint32_t p, uint32_t y) {
    return mul255Pair(p, y) | (mul255Pair(p >> 8, y) << 8);
}

// Source-over of premultiplied pixels: s + d * (1 - αs).
inline uint32_t over(uint32_t s, uint32_t d) {
    const uint32_t inv = 255u - (s >> 24);
    if (inv == 0) return s;
    // Channels of s + d·inv never exceed 255 for valid premultiplied input.
    return s + scalePixel(d, inv);
}

// 3×3 projective matrix, row-major, acting on column vectors (x, y, 1).
using Matrix3 = std::array<double, 9>;

// The map from source pixel-edge coordinates ([0,w]×[0,h], corners to
// corners) onto the quad; nullopt when the quad is degenerate.
std::optional<Matrix3> squareToQuad(double w, double h, const Quad& quad);
std::optional<Matrix3> inverse(const Matrix3& m);

// Warps `src` onto `quad` in a width × height image (transparent outside).
Bitmap warp(const Bitmap& src, const Quad& quad, int width, int height);
// shell over warp(content, quad, shell size), fused.
Bitmap warpUnder(const Bitmap& content, const Quad& quad, const Bitmap& shell);

void draw(Bitmap& dst, const Bitmap& src, const Rect& rect, BlendMode mode, double alpha);

// Standard deviation used for a blur radius, and the margin added per side.
double blurSigma(double radius);
int blurSpread(double radius);
Bitmap gaussianBlur(const Bitmap& src, double radius);

}  // namespace plinthora::linux_platform::kernels
