// Planar 4:2:0 pictures to and from ARGB32, for the frames of a movie.
//
// Both directions run in integers with 13-bit (to RGB) and 15-bit (to YUV)
// coefficients, rounded once at the end, so the SSE2 path and the plain one
// give the same bytes. Towards RGB each chroma sample serves its 2 × 2
// block; towards YUV a sample is the mean of its block. That is what
// swscale does with these frames (its unscaled paths), to within a level or
// two of rounding on the bench's recording.
#include "imaging/kernels.h"

#include <algorithm>
#include <cmath>
#include <cstring>

namespace plinthora::linux_platform::PLINTHORA_KERNELS {

namespace {

struct ToRgb {
    int yOffset, cy, crv, cgu, cgv, cbu;  // 13-bit fixed point
};

ToRgb toRgbFor(const YuvMatrix& m) {
    const double kg = 1 - m.kr - m.kb;
    const double ys = m.fullRange ? 1.0 : 255.0 / 219.0, cs = m.fullRange ? 1.0 : 255.0 / 224.0;
    auto q = [](double v) { return int(std::lround(v * 8192)); };
    return {m.fullRange ? 0 : 16,
            q(ys),
            q(cs * 2 * (1 - m.kr)),
            q(cs * 2 * (1 - m.kb) * m.kb / kg),
            q(cs * 2 * (1 - m.kr) * m.kr / kg),
            q(cs * 2 * (1 - m.kb))};
}

inline uint32_t clampByte(int v) { return uint32_t(std::clamp(v, 0, 255)); }

inline uint32_t toArgb(const ToRgb& c, int Y, int U, int V) {
    const int y = c.cy * (Y - c.yOffset) + 4096, u = U - 128, v = V - 128;
    return 0xFF000000u | clampByte((y + c.crv * v) >> 13) << 16 | clampByte((y - c.cgu * u - c.cgv * v) >> 13) << 8 |
           clampByte((y + c.cbu * u) >> 13);
}

// BT.709, limited range, 15-bit fixed point. Chroma weights apply to the
// sum of a 2 × 2 block, hence the two extra bits of its shift.
constexpr double kKr = 0.2126, kKb = 0.0722, kKg = 1 - kKr - kKb;
constexpr double kYs = 219.0 / 255.0, kCs = 224.0 / 255.0;
inline int q15(double v) { return int(std::lround(v * 32768)); }
const int kYR = q15(kYs * kKr), kYG = q15(kYs * kKg), kYB = q15(kYs * kKb);
const int kUR = q15(-kCs * kKr / (2 * (1 - kKb))), kUG = q15(-kCs * kKg / (2 * (1 - kKb))), kUB = q15(kCs / 2);
const int kVR = q15(kCs / 2), kVG = q15(-kCs * kKg / (2 * (1 - kKr))), kVB = q15(-kCs * kKb / (2 * (1 - kKr)));
constexpr int kYBias = (16 << 15) + (1 << 14), kCBias = (128 << 17) + (1 << 16);

inline uint8_t lumaOf(uint32_t p) {
    return uint8_t((kYR * int((p >> 16) & 255) + kYG * int((p >> 8) & 255) + kYB * int(p & 255) + kYBias) >> 15);
}

#if PLINTHORA_AVX2
PLINTHORA_AVX2_FN __m256i pair16(int lo, int hi) {
    return _mm256_set1_epi32(int(uint32_t(uint16_t(lo)) | uint32_t(hi) << 16));
}

// Eight chroma samples less 128, each twice: four to a half.
PLINTHORA_AVX2_FN __m256i chroma8(const uint8_t* p, __m256i k128) {
    const __m128i c8 = _mm_loadl_epi64(reinterpret_cast<const __m128i*>(p));
    return _mm256_sub_epi16(_mm256_cvtepu8_epi16(_mm_unpacklo_epi8(c8, c8)), k128);
}

PLINTHORA_AVX2_FN __m256i weights8(int b, int g, int r) {
    return _mm256_setr_epi16(short(b), short(g), short(r), 0, short(b), short(g), short(r), 0, short(b), short(g),
                             short(r), 0, short(b), short(g), short(r), 0);
}

// Four 32-bit dot products per half from two registers of two pixels' (or
// blocks') partial sums each.
PLINTHORA_AVX2_FN __m256i dots8(__m256i lo, __m256i hi) {
    const __m256 l = _mm256_castsi256_ps(lo), r = _mm256_castsi256_ps(hi);
    return _mm256_add_epi32(_mm256_castps_si256(_mm256_shuffle_ps(l, r, _MM_SHUFFLE(2, 0, 2, 0))),
                            _mm256_castps_si256(_mm256_shuffle_ps(l, r, _MM_SHUFFLE(3, 1, 3, 1))));
}

PLINTHORA_AVX2_FN __m256i luma8(__m256i lo16, __m256i hi16, __m256i wY, __m256i yBias) {
    return _mm256_srai_epi32(_mm256_add_epi32(dots8(_mm256_madd_epi16(lo16, wY), _mm256_madd_epi16(hi16, wY)), yBias),
                             15);
}

// Pixels a to a + 3 in the low half, b to b + 3 in the high one.
PLINTHORA_AVX2_FN __m256i halves(const uint32_t* p, int a, int b) {
    return _mm256_inserti128_si256(_mm256_castsi128_si256(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p + a))),
                                   _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + b)), 1);
}

// The SSE2 loops below in twice the lanes, sixteen pixels a step: each
// 128-bit half does what one SSE2 step does for eight of them, so the
// arithmetic, and the bytes, are the same. Return how many pixels they did.
__attribute__((target("avx2"))) int yuvRowToArgbAvx2(const ToRgb& c, const uint8_t* Y, const uint8_t* U,
                                                     const uint8_t* V, uint32_t* o, int width) {
    const __m256i zero = _mm256_setzero_si256(), alpha = _mm256_set1_epi8(char(0xFF));
    const __m256i yOff = _mm256_set1_epi16(short(c.yOffset)), k128 = _mm256_set1_epi16(128);
    const __m256i wY = pair16(c.cy, 4096), wR = pair16(0, c.crv), wG = pair16(-c.cgu, -c.cgv), wB = pair16(c.cbu, 0);
    const __m256i one = _mm256_set1_epi16(1);
    int x = 0;
    for (; x + 16 <= width; x += 16) {
        const __m256i u16 = chroma8(U + x / 2, k128), v16 = chroma8(V + x / 2, k128);
        const __m256i y16 = _mm256_sub_epi16(
            _mm256_cvtepu8_epi16(_mm_loadu_si128(reinterpret_cast<const __m128i*>(Y + x))), yOff);
        __m256i r[2], g[2], b[2];
        for (int h = 0; h < 2; ++h) {
            const __m256i ys = h ? _mm256_unpackhi_epi16(y16, one) : _mm256_unpacklo_epi16(y16, one);
            const __m256i uv = h ? _mm256_unpackhi_epi16(u16, v16) : _mm256_unpacklo_epi16(u16, v16);
            const __m256i yy = _mm256_madd_epi16(ys, wY);
            r[h] = _mm256_srai_epi32(_mm256_add_epi32(yy, _mm256_madd_epi16(uv, wR)), 13);
            g[h] = _mm256_srai_epi32(_mm256_add_epi32(yy, _mm256_madd_epi16(uv, wG)), 13);
            b[h] = _mm256_srai_epi32(_mm256_add_epi32(yy, _mm256_madd_epi16(uv, wB)), 13);
        }
        const __m256i R = _mm256_packus_epi16(_mm256_packs_epi32(r[0], r[1]), zero);
        const __m256i G = _mm256_packus_epi16(_mm256_packs_epi32(g[0], g[1]), zero);
        const __m256i B = _mm256_packus_epi16(_mm256_packs_epi32(b[0], b[1]), zero);
        const __m256i bg = _mm256_unpacklo_epi8(B, G), ra = _mm256_unpacklo_epi8(R, alpha);
        const __m256i lo = _mm256_unpacklo_epi16(bg, ra), hi = _mm256_unpackhi_epi16(bg, ra);
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(o + x), _mm256_permute2x128_si256(lo, hi, 0x20));
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(o + x + 8), _mm256_permute2x128_si256(lo, hi, 0x31));
    }
    return x;
}

// Rows y and y + 1 of the bitmap (r0, r1) to their luma rows and their
// chroma row.
__attribute__((target("avx2"))) int argbRowsToYuvAvx2(const uint32_t* r0, const uint32_t* r1, uint8_t* Y0,
                                                      uint8_t* Y1, uint8_t* U, uint8_t* V, int w) {
    const __m256i zero = _mm256_setzero_si256();
    const __m256i wY = weights8(kYB, kYG, kYR), wU = weights8(kUB, kUG, kUR), wV = weights8(kVB, kVG, kVR);
    const __m256i yBias = _mm256_set1_epi32(kYBias), cBias = _mm256_set1_epi32(kCBias);
    int x = 0;
    // Pixels 0–3 and 8–11 of a step in one register, 4–7 and 12–15 in the
    // other, so that each half holds one SSE2 step's eight.
    for (; x + 16 <= w; x += 16) {
        const __m256i a0 = halves(r0, x, x + 8), b0 = halves(r0, x + 4, x + 12);
        const __m256i a1 = halves(r1, x, x + 8), b1 = halves(r1, x + 4, x + 12);
        const __m256i a0l = _mm256_unpacklo_epi8(a0, zero), a0h = _mm256_unpackhi_epi8(a0, zero);
        const __m256i b0l = _mm256_unpacklo_epi8(b0, zero), b0h = _mm256_unpackhi_epi8(b0, zero);
        const __m256i a1l = _mm256_unpacklo_epi8(a1, zero), a1h = _mm256_unpackhi_epi8(a1, zero);
        const __m256i b1l = _mm256_unpacklo_epi8(b1, zero), b1h = _mm256_unpackhi_epi8(b1, zero);
        const __m256i y0 = _mm256_packs_epi32(luma8(a0l, a0h, wY, yBias), luma8(b0l, b0h, wY, yBias));
        const __m256i y1 = _mm256_packs_epi32(luma8(a1l, a1h, wY, yBias), luma8(b1l, b1h, wY, yBias));
        // Halves: row y then row y + 1, eight bytes each; then row by row.
        const __m256i ys = _mm256_permute4x64_epi64(_mm256_packus_epi16(y0, y1), _MM_SHUFFLE(3, 1, 2, 0));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(Y0 + x), _mm256_castsi256_si128(ys));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(Y1 + x), _mm256_extracti128_si256(ys, 1));
        const __m256i al = _mm256_add_epi16(a0l, a1l), ah = _mm256_add_epi16(a0h, a1h);
        const __m256i bl = _mm256_add_epi16(b0l, b1l), bh = _mm256_add_epi16(b0h, b1h);
        const __m256i s01 = _mm256_add_epi16(_mm256_unpacklo_epi64(al, ah), _mm256_unpackhi_epi64(al, ah));
        const __m256i s23 = _mm256_add_epi16(_mm256_unpacklo_epi64(bl, bh), _mm256_unpackhi_epi64(bl, bh));
        const __m256i u = _mm256_srai_epi32(
            _mm256_add_epi32(dots8(_mm256_madd_epi16(s01, wU), _mm256_madd_epi16(s23, wU)), cBias), 17);
        const __m256i v = _mm256_srai_epi32(
            _mm256_add_epi32(dots8(_mm256_madd_epi16(s01, wV), _mm256_madd_epi16(s23, wV)), cBias), 17);
        // Per half: four U then four V bytes; gathered to eight U, eight V.
        const __m256i uv = _mm256_packus_epi16(_mm256_packs_epi32(u, v), zero);
        const __m256i ordered = _mm256_permutevar8x32_epi32(uv, _mm256_setr_epi32(0, 4, 1, 5, 2, 3, 6, 7));
        const __m128i both = _mm256_castsi256_si128(ordered);
        _mm_storel_epi64(reinterpret_cast<__m128i*>(U + x / 2), both);
        _mm_storel_epi64(reinterpret_cast<__m128i*>(V + x / 2), _mm_unpackhi_epi64(both, both));
    }
    return x;
}
#endif

}  // namespace

void yuv420ToArgb(const PlanesIn& in, int width, int height, const YuvMatrix& matrix, uint32_t* out,
                  size_t outStride) {
    const ToRgb c = toRgbFor(matrix);
    for (int y = 0; y < height; ++y) {
        const uint8_t* Y = in.data[0] + size_t(y) * size_t(in.stride[0]);
        const uint8_t* U = in.data[1] + size_t(y / 2) * size_t(in.stride[1]);
        const uint8_t* V = in.data[2] + size_t(y / 2) * size_t(in.stride[2]);
        uint32_t* o = out + size_t(y) * outStride;
        int x = 0;
#if PLINTHORA_AVX2
        if (hasAvx2()) x = yuvRowToArgbAvx2(c, Y, U, V, o, width);
#endif
#if PLINTHORA_SIMD
        const __m128i zero = _mm_setzero_si128(), alpha = _mm_set1_epi8(char(0xFF));
        const __m128i yOff = _mm_set1_epi16(short(c.yOffset)), k128 = _mm_set1_epi16(128);
        auto pair = [](int lo, int hi) { return _mm_set1_epi32(int(uint32_t(uint16_t(lo)) | uint32_t(hi) << 16)); };
        const __m128i wY = pair(c.cy, 4096), wR = pair(0, c.crv), wG = pair(-c.cgu, -c.cgv), wB = pair(c.cbu, 0);
        const __m128i one = _mm_set1_epi16(1);
        // Four chroma samples less 128, each twice (one per pixel of a pair).
        auto chroma = [&](const uint8_t* p) {
            uint32_t four;
            std::memcpy(&four, p, 4);
            const __m128i c8 = _mm_cvtsi32_si128(int(four));
            return _mm_sub_epi16(_mm_unpacklo_epi8(_mm_unpacklo_epi8(c8, c8), zero), k128);
        };
        for (; x + 8 <= width; x += 8) {
            const __m128i u16 = chroma(U + x / 2), v16 = chroma(V + x / 2);
            const __m128i y16 = _mm_sub_epi16(
                _mm_unpacklo_epi8(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(Y + x)), zero), yOff);
            __m128i r[2], g[2], b[2];
            for (int h = 0; h < 2; ++h) {
                const __m128i ys = h ? _mm_unpackhi_epi16(y16, one) : _mm_unpacklo_epi16(y16, one);
                const __m128i uv = h ? _mm_unpackhi_epi16(u16, v16) : _mm_unpacklo_epi16(u16, v16);
                const __m128i yy = _mm_madd_epi16(ys, wY);
                r[h] = _mm_srai_epi32(_mm_add_epi32(yy, _mm_madd_epi16(uv, wR)), 13);
                g[h] = _mm_srai_epi32(_mm_add_epi32(yy, _mm_madd_epi16(uv, wG)), 13);
                b[h] = _mm_srai_epi32(_mm_add_epi32(yy, _mm_madd_epi16(uv, wB)), 13);
            }
            const __m128i R = _mm_packus_epi16(_mm_packs_epi32(r[0], r[1]), zero);
            const __m128i G = _mm_packus_epi16(_mm_packs_epi32(g[0], g[1]), zero);
            const __m128i B = _mm_packus_epi16(_mm_packs_epi32(b[0], b[1]), zero);
            const __m128i bg = _mm_unpacklo_epi8(B, G), ra = _mm_unpacklo_epi8(R, alpha);
            _mm_storeu_si128(reinterpret_cast<__m128i*>(o + x), _mm_unpacklo_epi16(bg, ra));
            _mm_storeu_si128(reinterpret_cast<__m128i*>(o + x + 4), _mm_unpackhi_epi16(bg, ra));
        }
#endif
        for (; x < width; ++x) o[x] = toArgb(c, Y[x], U[x / 2], V[x / 2]);
    }
}

void argbToYuv420(const Bitmap& argb, const PlanesOut& out, int width, int height, int firstPair, int endPair) {
    argbToYuv420(ArgbRows{argb.pixels.data(), 0, argb.width, argb.height}, out, width, height, firstPair, endPair);
}

void argbToYuv420(const ArgbRows& argb, const PlanesOut& out, int width, int height, int firstPair, int endPair,
                  int fromX, int toX) {
    if (endPair < 0 || endPair > height / 2) endPair = height / 2;
    if (toX < 0 || toX > width) toX = width;
    fromX = std::max(fromX, 0) & ~1;
    const int w = argb.width, h = argb.height;
    auto at = [&](int x, int y) { return x < w && y < h ? argb.row(y)[x] : 0u; };
#if PLINTHORA_SIMD
    // Whole blocks of the bitmap's own columns go through the vector loops.
    const int vectorEnd = std::min(toX, w);
    const __m128i zero = _mm_setzero_si128();
    auto weights = [](int b, int g, int r) {
        return _mm_setr_epi16(short(b), short(g), short(r), 0, short(b), short(g), short(r), 0);
    };
    const __m128i wY = weights(kYB, kYG, kYR), wU = weights(kUB, kUG, kUR), wV = weights(kVB, kVG, kVR);
    const __m128i yBias = _mm_set1_epi32(kYBias), cBias = _mm_set1_epi32(kCBias);
    // Four 32-bit dot products from two registers of two pixels' (or
    // blocks') partial sums each.
    auto dots = [](__m128i lo, __m128i hi) {
        const __m128 l = _mm_castsi128_ps(lo), r = _mm_castsi128_ps(hi);
        return _mm_add_epi32(_mm_castps_si128(_mm_shuffle_ps(l, r, _MM_SHUFFLE(2, 0, 2, 0))),
                             _mm_castps_si128(_mm_shuffle_ps(l, r, _MM_SHUFFLE(3, 1, 3, 1))));
    };
    auto luma4 = [&](__m128i lo16, __m128i hi16) {
        return _mm_srai_epi32(_mm_add_epi32(dots(_mm_madd_epi16(lo16, wY), _mm_madd_epi16(hi16, wY)), yBias), 15);
    };
#endif
    // Row pairs: both rows' luma and their chroma in one pass over them.
    for (int j = std::max(firstPair, 0); j < endPair; ++j) {
        const int y = 2 * j;
        uint8_t* Y0 = out.data[0] + size_t(y) * size_t(out.stride[0]);
        uint8_t* Y1 = Y0 + out.stride[0];
        uint8_t* U = out.data[1] + size_t(j) * size_t(out.stride[1]);
        uint8_t* V = out.data[2] + size_t(j) * size_t(out.stride[2]);
        int x = fromX;
#if PLINTHORA_SIMD
        if (y + 1 < h && x < vectorEnd) {
            const uint32_t* r0 = argb.row(y);
            const uint32_t* r1 = r0 + w;
#if PLINTHORA_AVX2
            if (hasAvx2()) x += argbRowsToYuvAvx2(r0 + x, r1 + x, Y0 + x, Y1 + x, U + x / 2, V + x / 2, vectorEnd - x);
#endif
            for (; x + 8 <= vectorEnd; x += 8) {
                const __m128i a0 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(r0 + x));
                const __m128i b0 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(r0 + x + 4));
                const __m128i a1 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(r1 + x));
                const __m128i b1 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(r1 + x + 4));
                const __m128i a0l = _mm_unpacklo_epi8(a0, zero), a0h = _mm_unpackhi_epi8(a0, zero);
                const __m128i b0l = _mm_unpacklo_epi8(b0, zero), b0h = _mm_unpackhi_epi8(b0, zero);
                const __m128i a1l = _mm_unpacklo_epi8(a1, zero), a1h = _mm_unpackhi_epi8(a1, zero);
                const __m128i b1l = _mm_unpacklo_epi8(b1, zero), b1h = _mm_unpackhi_epi8(b1, zero);
                const __m128i y0 = _mm_packs_epi32(luma4(a0l, a0h), luma4(b0l, b0h));
                const __m128i y1 = _mm_packs_epi32(luma4(a1l, a1h), luma4(b1l, b1h));
                const __m128i ys = _mm_packus_epi16(y0, y1);
                _mm_storel_epi64(reinterpret_cast<__m128i*>(Y0 + x), ys);
                _mm_storel_epi64(reinterpret_cast<__m128i*>(Y1 + x), _mm_unpackhi_epi64(ys, ys));
                // Channel sums of the four 2 × 2 blocks: the rows added,
                // then each pixel to its right-hand neighbour.
                const __m128i al = _mm_add_epi16(a0l, a1l), ah = _mm_add_epi16(a0h, a1h);
                const __m128i bl = _mm_add_epi16(b0l, b1l), bh = _mm_add_epi16(b0h, b1h);
                const __m128i s01 = _mm_add_epi16(_mm_unpacklo_epi64(al, ah), _mm_unpackhi_epi64(al, ah));
                const __m128i s23 = _mm_add_epi16(_mm_unpacklo_epi64(bl, bh), _mm_unpackhi_epi64(bl, bh));
                const __m128i u = _mm_srai_epi32(_mm_add_epi32(dots(_mm_madd_epi16(s01, wU), _mm_madd_epi16(s23, wU)), cBias), 17);
                const __m128i v = _mm_srai_epi32(_mm_add_epi32(dots(_mm_madd_epi16(s01, wV), _mm_madd_epi16(s23, wV)), cBias), 17);
                const __m128i uv = _mm_packus_epi16(_mm_packs_epi32(u, v), zero);
                const uint32_t u4 = uint32_t(_mm_cvtsi128_si32(uv)), v4 = uint32_t(_mm_cvtsi128_si32(_mm_srli_si128(uv, 4)));
                std::memcpy(U + x / 2, &u4, 4);
                std::memcpy(V + x / 2, &v4, 4);
            }
        }
#endif
        // What is left, and the black added beyond the bitmap.
        for (int xx = x; xx < toX; ++xx) {
            Y0[xx] = xx < w && y < h ? lumaOf(at(xx, y)) : 16;
            Y1[xx] = xx < w && y + 1 < h ? lumaOf(at(xx, y + 1)) : 16;
        }
        for (int i = x / 2; i < (toX + 1) / 2; ++i) {
            const int cx = 2 * i;
            int r = 0, g = 0, b = 0;
            for (const uint32_t q : {at(cx, y), at(cx + 1, y), at(cx, y + 1), at(cx + 1, y + 1)}) {
                r += int((q >> 16) & 255);
                g += int((q >> 8) & 255);
                b += int(q & 255);
            }
            U[i] = uint8_t((kUR * r + kUG * g + kUB * b + kCBias) >> 17);
            V[i] = uint8_t((kVR * r + kVG * g + kVB * b + kCBias) >> 17);
        }
    }
}

}  // namespace plinthora::linux_platform::PLINTHORA_KERNELS
