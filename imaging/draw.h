// Drawing one bitmap into a rectangle of another with a blend mode and a
// constant alpha. See draw.cpp for the formulas.
#pragma once

#include "platform/ports/Imaging.h"

#include <cstdint>

namespace plinthora::imaging {

void draw(Bitmap& dst, const Bitmap& src, const Rect& rect, BlendMode mode, double alpha);

// draw() of a row of a bitmap as wide as the destination over d[0, n), at
// whole pixels, with the alpha in eight bits (alpha8()).
void blendOver(uint32_t* d, const uint32_t* s, int n, BlendMode mode, uint32_t a8);

}  // namespace plinthora::imaging
