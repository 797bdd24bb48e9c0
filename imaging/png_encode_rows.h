// The PNG encoder's row loops, written once and built per tier: in
// png_encode.cpp for the plain tier (and every tier's last few bytes), in
// png_encode_sse2.cpp and png_encode_avx2.cpp, where the compiler widens
// them to the tier's vectors. Integer arithmetic only, so every build gives
// the same bytes. Everything here is `static` and uses nothing of the
// standard library: an inline function with external linkage compiled for
// AVX2 could be the copy the linker keeps for the whole program.
#pragma once

#include <cstddef>
#include <cstdint>

namespace plinthora::imaging::png::rows {

// round(c · 255 / a) = (c · k[a] + ½) >> 16.
struct Reciprocals {
    uint32_t k[256];
};
static constexpr Reciprocals reciprocals() {
    Reciprocals r{};
    for (uint32_t a = 1; a < 256; ++a) r.k[a] = (255u * 65536u + a / 2) / a;
    return r;
}
static constexpr Reciprocals kReciprocals = reciprocals();

static inline uint32_t unpremultiplied(uint32_t c, uint32_t k) {
    const uint32_t v = (c * k + 0x8000) >> 16;
    return v > 255 ? 255 : v;
}

// Straight-alpha RGBA bytes of the premultiplied pixels [from, to).
__attribute__((always_inline)) static inline void unpremultiply(const uint32_t* src, int from, int to, uint8_t* out) {
    for (int x = from; x < to; ++x) {
        const uint32_t p = src[x];
        const uint32_t a = p >> 24;
        uint8_t* o = out + size_t(x) * 4;
        if (a == 255) {
            o[0] = uint8_t(p >> 16);
            o[1] = uint8_t(p >> 8);
            o[2] = uint8_t(p);
            o[3] = 255;
        } else if (a == 0) {
            o[0] = o[1] = o[2] = o[3] = 0;
        } else {
            const uint32_t k = kReciprocals.k[a];
            o[0] = uint8_t(unpremultiplied((p >> 16) & 255, k));
            o[1] = uint8_t(unpremultiplied((p >> 8) & 255, k));
            o[2] = uint8_t(unpremultiplied(p & 255, k));
            o[3] = uint8_t(a);
        }
    }
}

static inline int magnitude(int v) { return v < 0 ? -v : v; }

// The Paeth predictor, branch-free so that the loops vectorise.
static inline uint8_t paeth(int a, int b, int c) {
    const int pa = magnitude(b - c), pb = magnitude(a - c), pc = magnitude(a + b - 2 * c);
    const int bc = pb <= pc ? b : c;
    return uint8_t(pa <= pb && pa <= pc ? a : bc);
}

// libpng's measure of a filtered byte: its magnitude as a signed byte.
static inline uint32_t cost(uint8_t v) { return v < 128 ? v : 256u - v; }

// `cur` and `prev` are rows of straight-alpha pixels with four zero bytes
// before them, so the left neighbours need no special case. The left
// neighbours go through their own pointers: `cur[i - 4]` with an unsigned
// i < 4 wraps the index, which is undefined for a pointer.

// Adds the costs of bytes [from, to) under no filter, Sub, Up, Average and
// Paeth to sums[0..4].
__attribute__((always_inline)) static inline void filterCosts(const uint8_t* cur, const uint8_t* prev, size_t from,
                                                              size_t to, uint32_t* sums) {
    const uint8_t* curLeft = cur - 4;
    const uint8_t* prevLeft = prev - 4;
    uint32_t none = 0, sub = 0, up = 0, avg = 0, pae = 0;
    for (size_t i = from; i < to; ++i) {
        const uint8_t x = cur[i], a = curLeft[i], b = prev[i], c = prevLeft[i];
        none += cost(x);
        sub += cost(uint8_t(x - a));
        up += cost(uint8_t(x - b));
        avg += cost(uint8_t(x - ((a + b) >> 1)));
        pae += cost(uint8_t(x - paeth(a, b, c)));
    }
    sums[0] += none;
    sums[1] += sub;
    sums[2] += up;
    sums[3] += avg;
    sums[4] += pae;
}

// out[i] = byte i under `filter` (0–4), for i in [from, to).
__attribute__((always_inline)) static inline void filter(int filter, const uint8_t* cur, const uint8_t* prev,
                                                         size_t from, size_t to, uint8_t* out) {
    const uint8_t* curLeft = cur - 4;
    const uint8_t* prevLeft = prev - 4;
    switch (filter) {
    case 0:
        for (size_t i = from; i < to; ++i) out[i] = cur[i];
        break;
    case 1:
        for (size_t i = from; i < to; ++i) out[i] = uint8_t(cur[i] - curLeft[i]);
        break;
    case 2:
        for (size_t i = from; i < to; ++i) out[i] = uint8_t(cur[i] - prev[i]);
        break;
    case 3:
        for (size_t i = from; i < to; ++i) out[i] = uint8_t(cur[i] - ((curLeft[i] + prev[i]) >> 1));
        break;
    default:
        for (size_t i = from; i < to; ++i) out[i] = uint8_t(cur[i] - paeth(curLeft[i], prev[i], prevLeft[i]));
        break;
    }
}

// A tier's loops over whole vectors of kVector bytes (kVector / 4 pixels)
// from the start of the row; they return how far they got.
template <int kVector>
static inline int unpremultiplyWhole(const uint32_t* src, int width, uint8_t* out) {
    const int done = width & ~(kVector / 4 - 1);
    unpremultiply(src, 0, done, out);
    return done;
}
template <int kVector>
static inline size_t filterCostsWhole(const uint8_t* cur, const uint8_t* prev, size_t n, uint32_t* sums) {
    const size_t done = n & ~size_t(kVector - 1);
    filterCosts(cur, prev, 0, done, sums);
    return done;
}
template <int kVector>
static inline size_t filterWhole(int f, const uint8_t* cur, const uint8_t* prev, size_t n, uint8_t* out) {
    const size_t done = n & ~size_t(kVector - 1);
    filter(f, cur, prev, 0, done, out);
    return done;
}

}  // namespace plinthora::imaging::png::rows
