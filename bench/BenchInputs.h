// Deterministic inputs for the imaging benchmarks, shaped like the real
// thing: a phone-sized screenshot, a device shell with a slightly skewed
// hole, and a full-size translucent watermark.
#pragma once

#include "platform/ports/Imaging.h"

namespace plinthora::bench {

constexpr int kShotW = 1170, kShotH = 2532;
constexpr int kShellW = 1350, kShellH = 2750;
constexpr double kWatermarkAlpha = 0.6;

// Smooth gradients, sensor-like noise and rows of dark "text" blocks.
Bitmap makeScreenshot();
// Opaque body with rounded corners, clear outside, clear hole = holeQuad().
Bitmap makeShell();
// Where the screenshot goes: the hole, corners 6–12 px off a rectangle.
Quad holeQuad();
// Diagonal bands of translucent white with soft edges.
Bitmap makeWatermark();

}  // namespace plinthora::bench
