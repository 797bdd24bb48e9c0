// Small pictures for tests that draw: solid and patterned bitmaps, PNG
// bytes, and pixel access in straight (unpremultiplied) terms.
#pragma once

#include "platform/ports/Imaging.h"

#include "imaging/png_encode.h"

#include <cstdint>
#include <string>

namespace plinthora::testing {

inline uint32_t argb(int a, int r, int g, int b) {
    // Premultiplied, as the bitmaps hold it.
    auto pm = [a](int c) { return static_cast<uint32_t>((c * a + 127) / 255); };
    return (static_cast<uint32_t>(a) << 24) | (pm(r) << 16) | (pm(g) << 8) | pm(b);
}
inline int alphaOf(uint32_t p) { return static_cast<int>(p >> 24); }
inline int redOf(uint32_t p) { return static_cast<int>((p >> 16) & 0xff); }
inline int greenOf(uint32_t p) { return static_cast<int>((p >> 8) & 0xff); }
inline int blueOf(uint32_t p) { return static_cast<int>(p & 0xff); }

inline Bitmap solid(int w, int h, uint32_t pixel) {
    Bitmap b(w, h);
    std::fill(b.pixels.begin(), b.pixels.end(), pixel);
    return b;
}
inline Image shared(Bitmap b) { return std::make_shared<const Bitmap>(std::move(b)); }

inline std::string pngOf(const Bitmap& b) { return imaging::png::encode(b, 1).value(); }

}  // namespace plinthora::testing
