// Pixel kernels on plain buffers, behind the platform's imaging port;
// everything works on premultiplied ARGB32 (0xAARRGGBB words). Standard C++
// and compiler intrinsics only, so that any platform can take them.
#pragma once

#include "imaging/parallel_for.h"
#include "imaging/tiers.h"
#include "platform/ports/Imaging.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <vector>

// The PNG codec keeps AVX2 twins of its row loops in its own files (the
// compiler vectorises them for target("avx2")); the AVX2 tier switches
// them on. The kernels' vector loops are in files of their own (tiers.h).
#if defined(__x86_64__) && defined(__GNUC__)
#define PLINTHORA_AVX2 1
#else
#define PLINTHORA_AVX2 0
#endif

namespace plinthora::linux_platform {

// Frames of a movie: 8-bit planar 4:2:0 (Y, then Cb and Cr at half the
// width and height) to and from ARGB32. See yuv.cpp.
struct PlanesIn {
    const uint8_t* data[3];
    int stride[3];
};
struct PlanesOut {
    uint8_t* data[3];
    int stride[3];
};
// A Y'CbCr matrix by the luma weights of red and blue, in full (0–255) or
// limited (16–235, 16–240) range.
struct YuvMatrix {
    double kr, kb;
    bool fullRange;
};

}  // namespace plinthora::linux_platform

namespace plinthora::linux_platform::kernels {

using linux_platform::parallelFor;
using linux_platform::threadCount;

#if PLINTHORA_AVX2
// Whether the AVX2 tier runs: the processor has it and PLINTHORA_SIMD does
// not ask for less.
inline bool hasAvx2() { return tier().tier == SimdTier::Avx2; }
#endif

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

// 3×3 projective matrix, row-major, acting on column vectors (x, y, 1).
using Matrix3 = std::array<double, 9>;

// The map from source pixel-edge coordinates ([0,w]×[0,h], corners to
// corners) onto the quad; nullopt when the quad is degenerate.
std::optional<Matrix3> squareToQuad(double w, double h, const Quad& quad);
std::optional<Matrix3> inverse(const Matrix3& m);

// Warps `src` onto `quad` in a width × height image (transparent outside).
Bitmap warp(const Bitmap& src, const Quad& quad, int width, int height);
// shell over warp(content, quad, shell size), fused, with the seam rule
// below applied; with `outside`, the shell alone on the pixels it lists.
Bitmap warpUnder(const Bitmap& content, const Quad& quad, const Bitmap& shell, const ShellOutside* outside = nullptr);
// The same drawn in the shell's own pixels.
void warpUnderInPlace(const Bitmap& content, const Quad& quad, Bitmap& shell, const ShellOutside* outside = nullptr);

// The seam rule at a screen hole's edge. A shell's hole edge is
// antialiased, and the warp leaves clear every pixel whose centre maps
// outside the picture; where the two meet, the bezel's soft edge would let
// the empty canvas show through as a hairline. So where the shell is partly
// drawn (0 < alpha < 255) near the quad's edge (its pixel centre at most
// kEdgeReach pixels outside the quad, or less than one pixel inside), the
// pixel takes the picture's sample at the nearest point of the picture
// (edge pixels repeated) under the shell. Where the shell is clear or
// opaque nothing changes, so the picture never spills outside the device.
//
// Which pixels the rule touches, and where they sample, depends only on the
// shell, the quad and the picture's size. A plan that renders many pictures
// of one size on one shell lists them once with seamPixels() and, after its
// own fused warp of each picture, calls applySeam() with the list; that is
// exactly what warpUnder() does, so both give the same pixels.
constexpr double kEdgeReach = 2.0;
struct SeamPixel {
    uint32_t index;  // y · width + x in the shell-sized output
    float u, v;      // source point, pixel-edge coordinates, inside the picture
};
// Pixels `outside` lists are never seam pixels.
std::vector<SeamPixel> seamPixels(const Bitmap& shell, const Quad& quad, int contentWidth, int contentHeight,
                                  const ShellOutside* outside = nullptr);
// out[i] = shell[i] over the content's bilinear sample at (u, v), for each
// listed pixel; out has the shell's size.
void applySeam(Bitmap& out, const Bitmap& shell, const Bitmap& content, const std::vector<SeamPixel>& seam);
// The same for the listed pixels [first, last), into rows held from `out`
// on, the first of them starting at pixel index `outIndex` of the canvas.
void applySeam(uint32_t* out, size_t outIndex, const Bitmap& shell, const Bitmap& content, const SeamPixel* first,
               const SeamPixel* last);

// draw() of a row of a bitmap as wide as the destination over d[0, n), at
// whole pixels, with the alpha in eight bits (alpha8()).
void blendOver(uint32_t* d, const uint32_t* s, int n, BlendMode mode, uint32_t a8);

// warpUnder() for many pictures of one size on one shell and quad.
std::shared_ptr<const Imaging::PerspectivePlan> planWarpUnder(int contentWidth, int contentHeight, const Quad& quad,
                                                              Image shell,
                                                              std::shared_ptr<const ShellOutside> outside = nullptr);

void draw(Bitmap& dst, const Bitmap& src, const Rect& rect, BlendMode mode, double alpha);

// Frames of a movie (the types above): 4:2:0 to opaque ARGB32 rows of
// outStride words.
void yuv420ToArgb(const PlanesIn& in, int width, int height, const YuvMatrix& matrix, uint32_t* out, size_t outStride);
// Rows of an ARGB32 picture of width × height pixels, from row firstRow on,
// one after another from `rows`.
struct ArgbRows {
    const uint32_t* rows;
    int firstRow, width, height;
    const uint32_t* row(int y) const { return rows + size_t(y - firstRow) * size_t(width); }
};
// BT.709 limited range from ARGB32, alpha ignored (a premultiplied colour is
// the pixel over black), into a width × height picture (even, the bitmap's
// size or one more); the added column and row are black. Only the row
// pairs [firstPair, endPair) when given: rows 2·firstPair up to 2·endPair,
// which the rows given must hold; and of those only columns [fromX, toX)
// when given (fromX even, toX even or the picture's width).
void argbToYuv420(const ArgbRows& argb, const PlanesOut& out, int width, int height, int firstPair = 0,
                  int endPair = -1, int fromX = 0, int toX = -1);
void argbToYuv420(const Bitmap& argb, const PlanesOut& out, int width, int height, int firstPair = 0, int endPair = -1);

// Standard deviation used for a blur radius, and the margin added per side.
double blurSigma(double radius);
int blurSpread(double radius);
Bitmap gaussianBlur(const Bitmap& src, double radius);

}  // namespace plinthora::linux_platform::kernels
