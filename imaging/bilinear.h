// The bilinear mix every warp path samples with, plain and in the vector
// tiers' last few samples. Static, not just inline: an inline function with
// external linkage compiled in an AVX2 file could be the one copy the
// linker keeps for the whole program (tiers.h).
#pragma once

#include <cstdint>

namespace plinthora::imaging {

// Bilinear mix of r0[ix], r0[ix1], r1[ix], r1[ix1] with 7-bit weights.
static inline uint32_t blend4(const uint32_t* r0, const uint32_t* r1, int ix, int ix1, int wx, int wy) {
    uint32_t out = 0;
    for (int shift = 0; shift < 32; shift += 8) {
        const int c00 = int((r0[ix] >> shift) & 255), c01 = int((r0[ix1] >> shift) & 255);
        const int c10 = int((r1[ix] >> shift) & 255), c11 = int((r1[ix1] >> shift) & 255);
        const int vl = c00 * (128 - wy) + c10 * wy, vr = c01 * (128 - wy) + c11 * wy;
        out |= uint32_t((vl * (128 - wx) + vr * wx + (1 << 13)) >> 14) << shift;
    }
    return out;
}

}  // namespace plinthora::imaging
