// Planar 4:2:0 pictures to and from ARGB32, for the frames of a movie.
//
// Both directions run in integers with 13-bit (to RGB) and 15-bit (to YUV)
// coefficients, rounded once at the end, so the vector loops (yuv_sse2.cpp,
// yuv_avx2.cpp) and the plain ones give the same bytes. Towards RGB each
// chroma sample serves its 2 × 2 block; towards YUV a sample is the mean of its block. That is what
// swscale does with these frames (its unscaled paths), to within a level or
// two of rounding on the bench's recording.
#include "imaging/yuv.h"

#include "imaging/tiers.h"

#include <algorithm>
#include <cmath>
#include <cstring>

namespace plinthora::imaging {

namespace {

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

}  // namespace

const ToYuv& toYuv() {
    static const ToYuv k{kYR, kYG, kYB, kUR, kUG, kUB, kVR, kVG, kVB, kYBias, kCBias};
    return k;
}

namespace {

inline uint8_t lumaOf(uint32_t p) {
    return uint8_t((kYR * int((p >> 16) & 255) + kYG * int((p >> 8) & 255) + kYB * int(p & 255) + kYBias) >> 15);
}

}  // namespace

void yuv420ToArgb(const PlanesIn& in, int width, int height, const YuvMatrix& matrix, uint32_t* out, size_t outStride) {
    yuv420RowsToArgb(in, width, 0, height, matrix, out, outStride);
}

void yuv420RowsToArgb(const PlanesIn& in, int width, int begin, int end, const YuvMatrix& matrix, uint32_t* out,
                      size_t outStride) {
    const ToRgb c = toRgbFor(matrix);
    const auto pair = tier().yuvRowPairToArgb;
    for (int y = std::max(begin, 0); y < end;) {
        const uint8_t* Y = in.data[0] + size_t(y) * size_t(in.stride[0]);
        const uint8_t* U = in.data[1] + size_t(y / 2) * size_t(in.stride[1]);
        const uint8_t* V = in.data[2] + size_t(y / 2) * size_t(in.stride[2]);
        uint32_t* o = out + size_t(y - begin) * outStride;
        // A pair's loop leaves each row's last pixels to the one-row loop.
        const bool both = pair && y % 2 == 0 && y + 1 < end;
        const int done = both ? pair(c, Y, Y + in.stride[0], U, V, o, o + outStride, width) : 0;
        for (int row = 0; row < (both ? 2 : 1); ++row, Y += in.stride[0], o += outStride) {
            int x = done + tier().yuvRowToArgb(c, Y + done, U + done / 2, V + done / 2, o + done, width - done);
            for (; x < width; ++x) o[x] = toArgb(c, Y[x], U[x / 2], V[x / 2]);
        }
        y += both ? 2 : 1;
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
    // Whole blocks of the bitmap's own columns go through the vector loops.
    const int vectorEnd = std::min(toX, w);
    // Row pairs: both rows' luma and their chroma in one pass over them.
    for (int j = std::max(firstPair, 0); j < endPair; ++j) {
        const int y = 2 * j;
        uint8_t* Y0 = out.data[0] + size_t(y) * size_t(out.stride[0]);
        uint8_t* Y1 = Y0 + out.stride[0];
        uint8_t* U = out.data[1] + size_t(j) * size_t(out.stride[1]);
        uint8_t* V = out.data[2] + size_t(j) * size_t(out.stride[2]);
        int x = fromX;
        if (y + 1 < h && x < vectorEnd) {
            const uint32_t* r0 = argb.row(y);
            const uint32_t* r1 = r0 + w;
            x += tier().argbRowsToYuv(r0 + x, r1 + x, Y0 + x, Y1 + x, U + x / 2, V + x / 2, vectorEnd - x);
        }
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

}  // namespace plinthora::imaging
