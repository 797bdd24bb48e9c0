// A PNG row's straight RGB(A) bytes to premultiplied 0xAARRGGBB words: the
// decoder's plain loop (png_decode.cpp), compiled once more for AVX2
// (png_decode_avx2.cpp). Static, not just inline: an inline function with
// external linkage compiled there with AVX2 could be the one copy the linker
// keeps for the whole program (tiers.h).
#pragma once

#include <cstddef>
#include <cstdint>

namespace plinthora::imaging::png {

// c · a / 255 with the general decoder's rounding, so both paths give the
// same pixels.
static inline uint32_t premultiply(uint32_t c, uint32_t a) {
    const uint32_t t = c * a;
    return (t + (t >> 8) + 0x80) >> 8;
}

// Branch-free (premultiplying by 255 or 0 gives the colour or 0 anyway) so
// that the compiler can widen the loop.
__attribute__((always_inline)) static inline void rowToPixels(const uint8_t* src, uint32_t* dst, int width,
                                                              size_t bpp) {
    if (bpp == 3) {
        for (int x = 0; x < width; ++x, src += 3)
            dst[x] = 0xFF000000u | uint32_t(src[0]) << 16 | uint32_t(src[1]) << 8 | src[2];
        return;
    }
    for (int x = 0; x < width; ++x) {
        const uint8_t* p = src + 4 * size_t(x);
        const uint32_t a = p[3];
        dst[x] = a << 24 | premultiply(p[0], a) << 16 | premultiply(p[1], a) << 8 | premultiply(p[2], a);
    }
}

}  // namespace plinthora::imaging::png
