// Gaussian blur of premultiplied ARGB32. See blur.cpp for the radius.
#pragma once

#include "platform/ports/Imaging.h"

namespace plinthora::imaging {

// Standard deviation used for a blur radius, and the margin added per side.
double blurSigma(double radius);
int blurSpread(double radius);
Bitmap gaussianBlur(const Bitmap& src, double radius);

}  // namespace plinthora::imaging
