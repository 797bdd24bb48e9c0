// The kernels' inner loops, once per instruction-set tier: the plain C++
// reference in the kernel's own file, SSE2 in <kernel>_sse2.cpp, AVX2 in
// <kernel>_avx2.cpp and AVX-512 (F, BW and VL) in <kernel>_avx512.cpp, the
// only files built for more than SSE2. One table per tier; which one runs
// is decided once, at the first kernel call: the best the processor has,
// or PLINTHORA_SIMD=plain|sse2|avx2|avx512 from the environment. Every
// tier gives the same bytes.
//
// Each loop works from the start of its row and returns how far it got:
// a tier does what its vectors can and hands the rest to the tier below
// (AVX-512 to AVX2 or SSE2, AVX2 to SSE2), and the caller finishes the
// last few pixels in plain C++, so a tier's loops are exercised whole when
// it is forced.
//
// The AVX2 and AVX-512 files include only this header, the intrinsics and
// headers of static functions (bilinear.h, png_rows.h, png_encode_rows.h): an inline
// function of a shared header compiled there with those instructions could
// be the copy the linker keeps for the whole program.
#pragma once

#include <cstddef>
#include <cstdint>

namespace plinthora::imaging {

enum class SimdTier : uint8_t { Plain, Sse2, Avx2, Avx512 };

// How the pixels [from, to) of one span of a warped row are sampled:
// stepped in 16.16 fixed point with no edge tests, stepped with them, or
// mapped exactly pixel by pixel (see sampler.h).
struct SampleSpan {
    enum Kind : uint8_t { Interior, Fixed, Exact };
    int from = 0, to = 0;
    int64_t fx = 0, fy = 0, dfx = 0, dfy = 0;
    Kind kind = Exact;
};

// Movie frames towards RGB: the matrix in 13-bit fixed point (yuv.cpp).
struct ToRgb {
    int yOffset, cy, crv, cgu, cgv, cbu;
};
// And towards YUV: BT.709 limited range in 15-bit fixed point, chroma
// weights applying to the sum of a 2 × 2 block.
struct ToYuv {
    int yr, yg, yb, ur, ug, ub, vr, vg, vb, yBias, cBias;
};
const ToYuv& toYuv();

struct TierKernels {
    SimdTier tier;
    // draw(): d[i] = blend(s[i]·a8/255, d[i]) in Normal and Screen mode.
    int (*blendNormal)(uint32_t* d, const uint32_t* s, int n, uint32_t a8);
    int (*blendScreen)(uint32_t* d, const uint32_t* s, int n, uint32_t a8);
    // The warp's interior samples from (fx, fy) stepping by (dfx, dfy);
    // `offsets32`: the source's positions and word offsets fit in 32 bits.
    int (*stepInterior)(const uint32_t* pixels, size_t stride, int64_t fx, int64_t fy, int64_t dfx, int64_t dfy,
                        uint32_t* out, int n, bool offsets32);
    // Every sample of the interior spans from `first` on, each to out + (its
    // from − base), up to the first span that is not interior (or `last`),
    // which it returns; may be null.
    const SampleSpan* (*stepSpans)(const uint32_t* pixels, size_t stride, const SampleSpan* first,
                                   const SampleSpan* last, int base, uint32_t* out);
    // The first x from `x` on whose pixel is (is not) opaque, or where the
    // vectors stopped looking.
    int (*skipOpaque)(const uint32_t* row, int x, int end, bool want);
    // The same for a pixel that is neither clear nor opaque.
    int (*skipSolid)(const uint32_t* row, int x, int end);
    // row[i] = over(row[i], under[i]); content[i] = over(shell[i], content[i]).
    int (*shellOver)(uint32_t* row, const uint32_t* under, int n);
    int (*shellOverInPlace)(uint32_t* content, const uint32_t* shell, int n);
    // A row of 4:2:0 to ARGB32, and two rows of ARGB32 to their luma and
    // chroma rows.
    int (*yuvRowToArgb)(const ToRgb& c, const uint8_t* Y, const uint8_t* U, const uint8_t* V, uint32_t* o, int width);
    int (*argbRowsToYuv)(const uint32_t* r0, const uint32_t* r1, uint8_t* Y0, uint8_t* Y1, uint8_t* U, uint8_t* V,
                         int w);
    // Two rows of 4:2:0 that share their chroma row to ARGB32, the chroma
    // worked out once; pixels done in both rows. May be null.
    int (*yuvRowPairToArgb)(const ToRgb& c, const uint8_t* Y0, const uint8_t* Y1, const uint8_t* U, const uint8_t* V,
                            uint32_t* o0, uint32_t* o1, int width);
    // The PNG decoder: a row's Average and Paeth filters undone on
    // four-byte pixels (bytes done), and a row of straight RGB (bpp 3) or
    // RGBA (bpp 4) bytes to premultiplied pixels (pixels done).
    size_t (*unfilterAverage4)(uint8_t* row, const uint8_t* prev, size_t len);
    size_t (*unfilterPaeth4)(uint8_t* row, const uint8_t* prev, size_t len);
    int (*pngRowToPixels)(const uint8_t* src, uint32_t* dst, int width, size_t bpp);
    // The PNG encoder's rows (png_encode_rows.h): premultiplied pixels to
    // straight-alpha bytes; the costs of the five filters on a row's bytes,
    // added to sums[0..4]; one filter applied. In pixels, bytes, bytes.
    int (*pngUnpremultiply)(const uint32_t* src, int width, uint8_t* out);
    size_t (*pngFilterCosts)(const uint8_t* cur, const uint8_t* prev, size_t n, uint32_t* sums);
    size_t (*pngFilter)(int filter, const uint8_t* cur, const uint8_t* prev, size_t n, uint8_t* out);
};

// The tier in use.
const TierKernels& tier();
// Whether this processor (and this build) has the tier.
bool hasTier(SimdTier t);
// Runs the kernels on `t` from now on, for tests and benchmarks that compare
// tiers; false, and nothing changes, when the processor lacks it. Not to be
// called while kernels run.
bool useTier(SimdTier t);
const char* tierName(SimdTier t);
// The vector loops (tiers.cpp puts them in the tables; the plain tier's
// entries do nothing and leave every pixel to the caller).
namespace sse2 {
int blendNormal(uint32_t* d, const uint32_t* s, int n, uint32_t a8);
int blendScreen(uint32_t* d, const uint32_t* s, int n, uint32_t a8);
int stepInterior(const uint32_t* pixels, size_t stride, int64_t fx, int64_t fy, int64_t dfx, int64_t dfy, uint32_t* out,
                 int n, bool offsets32);
int yuvRowToArgb(const ToRgb& c, const uint8_t* Y, const uint8_t* U, const uint8_t* V, uint32_t* o, int width);
int argbRowsToYuv(const uint32_t* r0, const uint32_t* r1, uint8_t* Y0, uint8_t* Y1, uint8_t* U, uint8_t* V, int w);
int skipOpaque(const uint32_t* row, int x, int end, bool want);
int skipSolid(const uint32_t* row, int x, int end);
int shellOver(uint32_t* row, const uint32_t* under, int n);
int shellOverInPlace(uint32_t* content, const uint32_t* shell, int n);
size_t unfilterAverage4(uint8_t* row, const uint8_t* prev, size_t len);
size_t unfilterPaeth4(uint8_t* row, const uint8_t* prev, size_t len);
int pngUnpremultiply(const uint32_t* src, int width, uint8_t* out);
size_t pngFilterCosts(const uint8_t* cur, const uint8_t* prev, size_t n, uint32_t* sums);
size_t pngFilter(int filter, const uint8_t* cur, const uint8_t* prev, size_t n, uint8_t* out);
}  // namespace sse2
namespace avx2 {
int blendNormal(uint32_t* d, const uint32_t* s, int n, uint32_t a8);
int blendScreen(uint32_t* d, const uint32_t* s, int n, uint32_t a8);
int stepInterior(const uint32_t* pixels, size_t stride, int64_t fx, int64_t fy, int64_t dfx, int64_t dfy, uint32_t* out,
                 int n, bool offsets32);
const SampleSpan* stepSpans(const uint32_t* pixels, size_t stride, const SampleSpan* first, const SampleSpan* last,
                            int base, uint32_t* out);
int yuvRowToArgb(const ToRgb& c, const uint8_t* Y, const uint8_t* U, const uint8_t* V, uint32_t* o, int width);
int argbRowsToYuv(const uint32_t* r0, const uint32_t* r1, uint8_t* Y0, uint8_t* Y1, uint8_t* U, uint8_t* V, int w);
int pngRowToPixels(const uint8_t* src, uint32_t* dst, int width, size_t bpp);
int pngUnpremultiply(const uint32_t* src, int width, uint8_t* out);
size_t pngFilterCosts(const uint8_t* cur, const uint8_t* prev, size_t n, uint32_t* sums);
size_t pngFilter(int filter, const uint8_t* cur, const uint8_t* prev, size_t n, uint8_t* out);
}  // namespace avx2
namespace avx512 {
int yuvRowPairToArgb(const ToRgb& c, const uint8_t* Y0, const uint8_t* Y1, const uint8_t* U, const uint8_t* V,
                     uint32_t* o0, uint32_t* o1, int width);
int blendNormal(uint32_t* d, const uint32_t* s, int n, uint32_t a8);
int blendScreen(uint32_t* d, const uint32_t* s, int n, uint32_t a8);
int stepInterior(const uint32_t* pixels, size_t stride, int64_t fx, int64_t fy, int64_t dfx, int64_t dfy, uint32_t* out,
                 int n, bool offsets32);
const SampleSpan* stepSpans(const uint32_t* pixels, size_t stride, const SampleSpan* first, const SampleSpan* last,
                            int base, uint32_t* out);
int yuvRowToArgb(const ToRgb& c, const uint8_t* Y, const uint8_t* U, const uint8_t* V, uint32_t* o, int width);
int argbRowsToYuv(const uint32_t* r0, const uint32_t* r1, uint8_t* Y0, uint8_t* Y1, uint8_t* U, uint8_t* V, int w);
}  // namespace avx512

}  // namespace plinthora::imaging
