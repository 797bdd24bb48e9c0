// The projective warp of a picture onto a quad, alone or fused under a
// shell, with the seam rule at the shell's hole. See warp.cpp.
#pragma once

#include "platform/ports/Imaging.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

namespace plinthora::imaging {

// 3×3 projective matrix, row-major, acting on column vectors (x, y, 1).
using Matrix3 = std::array<double, 9>;

// The map from source pixel-edge coordinates ([0,w]×[0,h], corners to
// corners) onto the quad; nullopt when the quad is degenerate.
std::optional<Matrix3> squareToQuad(double w, double h, const Quad& quad);
std::optional<Matrix3> inverse(const Matrix3& m);

// A source picture as the samplers read it: row y at pixels + y·width.
// Mostly a bitmap's own pixels. A movie's band may instead be made from a
// small window that holds only the rows the band reads, so that they stay
// in cache; `pixels` then stands for where row 0 would be, and only those
// rows may be read.
struct SourceRows {
    const uint32_t* pixels = nullptr;
    int width = 0, height = 0;
    static SourceRows of(const Bitmap& b) { return {b.pixels.data(), b.width, b.height}; }
    bool empty() const { return width <= 0 || height <= 0; }
    const uint32_t* row(int y) const { return pixels + ptrdiff_t(y) * ptrdiff_t(width); }
};

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
void applySeam(uint32_t* out, size_t outIndex, const Bitmap& shell, const SourceRows& content, const SeamPixel* first,
               const SeamPixel* last);

}  // namespace plinthora::imaging
