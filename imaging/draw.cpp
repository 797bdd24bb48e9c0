// Drawing one bitmap stretched into a rectangle of another with a blend mode
// and a constant alpha.
//
// Blending follows the W3C Compositing and Blending Level 1 formulas. With
// premultiplied source (cs, αs) and backdrop (cb, αb), straight colours
// Cs = cs/αs and Cb = cb/αb, and the separable blend function B(Cb, Cs):
//     co = cs·(1 − αb) + cb·(1 − αs) + αs·αb·B(Cb, Cs)
//     αo = αs + αb − αs·αb
//   Normal:    B = Cs                       → co = cs + cb·(1 − αs)
//   Screen:    B = Cb + Cs − Cb·Cs          → co = cs + cb − cs·cb
//   Overlay:   B = HardLight(Cs ← Cb): Cb ≤ ½ ? Cs·2Cb : Screen(Cs, 2Cb − 1)
//   SoftLight: Cs ≤ ½ ? Cb − (1 − 2Cs)·Cb·(1 − Cb)
//                     : Cb + (2Cs − 1)·(D(Cb) − Cb),
//              D(x) = x ≤ ¼ ? ((16x − 12)x + 4)x : √x
// The constant alpha multiplies all four premultiplied source channels
// before blending.
//
// Geometry: a destination pixel is drawn when its centre lies in the
// rectangle (half-open on the right and bottom); it samples the source
// bilinearly at the matching point, clamped to the source's edge pixels.
#include "imaging/draw.h"

#include "imaging/parallel_for.h"
#include "imaging/pixel.h"
#include "imaging/tiers.h"

#include <algorithm>
#include <cmath>
#include <vector>

namespace plinthora::imaging {

namespace {

inline uint32_t lerpPair(uint32_t a, uint32_t b, uint32_t w) {
    return ((a * (256u - w) + b * w + 0x00800080u) >> 8) & 0x00FF00FFu;
}

// One axis of the stretch: for every destination index in [begin, end), the
// two source indices and the 8-bit weight of the second.
struct Axis {
    int begin = 0, end = 0;
    std::vector<int> i0, i1;
    std::vector<uint32_t> w;
    bool identity = false;  // integer offset and no scaling: index = d - offset
    int offset = 0;

    Axis(double start, double length, int srcLength, int dstLength) {
        if (!(length > 0) || srcLength <= 0 || dstLength <= 0 || !std::isfinite(start + length)) return;
        // Pixels whose centres fall in [start, start + length).
        begin = int(std::clamp(std::ceil(start - 0.5), 0.0, double(dstLength)));
        end = int(std::clamp(std::ceil(start + length - 0.5), 0.0, double(dstLength)));
        if (begin >= end) return;
        identity = length == srcLength && start == std::floor(start);
        offset = int(start);
        if (identity) return;
        const double k = srcLength / length;
        const int n = end - begin;
        i0.resize(n);
        i1.resize(n);
        w.resize(n);
        for (int d = begin; d < end; ++d) {
            const double s = (d + 0.5 - start) * k - 0.5;
            const double f = std::floor(s);
            int a = int(f);
            uint32_t wt = uint32_t(std::lround((s - f) * 256.0));
            if (wt == 256) {
                ++a;
                wt = 0;
            }
            i0[d - begin] = std::clamp(a, 0, srcLength - 1);
            i1[d - begin] = std::clamp(a + 1, 0, srcLength - 1);
            w[d - begin] = wt;
        }
    }
    bool empty() const { return begin >= end; }
};

inline uint32_t pack(double a, double r, double g, double b) {
    auto q = [](double v) { return uint32_t(std::lround(std::clamp(v, 0.0, 1.0) * 255.0)); };
    uint32_t qa = q(a), qr = q(r), qg = q(g), qb = q(b);
    // Rounding must not leave a colour above its alpha.
    qr = std::min(qr, qa);
    qg = std::min(qg, qa);
    qb = std::min(qb, qa);
    return (qa << 24) | (qr << 16) | (qg << 8) | qb;
}

inline double softLightD(double x) { return x <= 0.25 ? ((16 * x - 12) * x + 4) * x : std::sqrt(x); }

template <BlendMode M>
inline double blendFn(double Cb, double Cs) {
    if constexpr (M == BlendMode::Overlay) {
        return Cb <= 0.5 ? Cs * 2 * Cb : [&] {
            const double t = 2 * Cb - 1;
            return Cs + t - Cs * t;
        }();
    } else {
        return Cs <= 0.5 ? Cb - (1 - 2 * Cs) * Cb * (1 - Cb) : Cb + (2 * Cs - 1) * (softLightD(Cb) - Cb);
    }
}

// Overlay and soft light need straight colours; done in floating point.
template <BlendMode M>
inline uint32_t blendSlow(uint32_t s, uint32_t d) {
    const uint32_t sa8 = s >> 24;
    if (sa8 == 0) return d;
    constexpr double k = 1.0 / 255.0;
    const double as = sa8 * k, ab = (d >> 24) * k;
    const double rs[3] = {((s >> 16) & 255) * k, ((s >> 8) & 255) * k, (s & 255) * k};
    const double rb[3] = {((d >> 16) & 255) * k, ((d >> 8) & 255) * k, (d & 255) * k};
    double co[3];
    for (int i = 0; i < 3; ++i) {
        const double Cs = as > 0 ? std::min(rs[i] / as, 1.0) : 0;
        const double Cb = ab > 0 ? std::min(rb[i] / ab, 1.0) : 0;
        co[i] = rs[i] * (1 - ab) + rb[i] * (1 - as) + as * ab * blendFn<M>(Cb, Cs);
    }
    return pack(as + ab - as * ab, co[0], co[1], co[2]);
}

// Screen in premultiplied terms is cs + cb − cs·cb per channel, alpha
// included, so it stays in integers.
inline uint32_t screen(uint32_t s, uint32_t d) {
    uint32_t r = 0;
    for (int shift = 0; shift < 32; shift += 8) {
        const uint32_t a = (s >> shift) & 255, b = (d >> shift) & 255;
        r |= (a + b - mul255(a, b)) << shift;
    }
    return r;
}

template <BlendMode M>
inline uint32_t blend(uint32_t s, uint32_t d) {
    if constexpr (M == BlendMode::Normal)
        return over(s, d);
    else if constexpr (M == BlendMode::Screen)
        return screen(s, d);
    else
        return blendSlow<M>(s, d);
}

// d[i] = blend(s[i]·a8/255, d[i]) for i in [0, n): the source lands on whole
// destination pixels, nothing to interpolate.
template <BlendMode M>
inline void blendRow(uint32_t* d, const uint32_t* s, int n, uint32_t a8) {
    // Normal and Screen stay in integers and have vector loops (at least
    // four pixels wide: a watermark's short stretches skip the call).
    int i = 0;
    if constexpr (M == BlendMode::Normal) {
        if (n >= 4) i = tier().blendNormal(d, s, n, a8);
    } else if constexpr (M == BlendMode::Screen) {
        if (n >= 4) i = tier().blendScreen(d, s, n, a8);
    }
    for (; i < n; ++i) {
        uint32_t p = s[i];
        if (p == 0) continue;  // clear source: every mode keeps dst
        if (a8 != 255) p = scalePixel(p, a8);
        d[i] = blend<M>(p, d[i]);
    }
}

template <BlendMode M>
void drawRows(Bitmap& dst, const Bitmap& src, const Axis& ax, const Axis& ay, uint32_t a8) {
    const size_t dw = size_t(dst.width), sw = size_t(src.width);
    parallelFor(
        ay.end - ay.begin,
        [&](int begin, int end) {
            for (int y = ay.begin + begin; y < ay.begin + end; ++y) {
                uint32_t* drow = dst.pixels.data() + size_t(y) * dw;
                if (ay.identity && ax.identity) {
                    const uint32_t* srow = src.pixels.data() + size_t(y - ay.offset) * sw;
                    blendRow<M>(drow + ax.begin, srow + (ax.begin - ax.offset), ax.end - ax.begin, a8);
                    continue;
                }
                int sy0, sy1;
                uint32_t wy;
                if (ay.identity) {
                    sy0 = sy1 = y - ay.offset;
                    wy = 0;
                } else {
                    sy0 = ay.i0[y - ay.begin];
                    sy1 = ay.i1[y - ay.begin];
                    wy = ay.w[y - ay.begin];
                }
                const uint32_t* r0 = src.pixels.data() + size_t(sy0) * sw;
                const uint32_t* r1 = src.pixels.data() + size_t(sy1) * sw;
                for (int x = ax.begin; x < ax.end; ++x) {
                    int sx0, sx1;
                    uint32_t wx;
                    if (ax.identity) {
                        sx0 = sx1 = x - ax.offset;
                        wx = 0;
                    } else {
                        sx0 = ax.i0[x - ax.begin];
                        sx1 = ax.i1[x - ax.begin];
                        wx = ax.w[x - ax.begin];
                    }
                    const uint32_t p00 = r0[sx0], p01 = r0[sx1], p10 = r1[sx0], p11 = r1[sx1];
                    const uint32_t rbT = lerpPair(p00 & 0x00FF00FFu, p01 & 0x00FF00FFu, wx);
                    const uint32_t agT = lerpPair((p00 >> 8) & 0x00FF00FFu, (p01 >> 8) & 0x00FF00FFu, wx);
                    const uint32_t rbB = lerpPair(p10 & 0x00FF00FFu, p11 & 0x00FF00FFu, wx);
                    const uint32_t agB = lerpPair((p10 >> 8) & 0x00FF00FFu, (p11 >> 8) & 0x00FF00FFu, wx);
                    uint32_t s = lerpPair(rbT, rbB, wy) | (lerpPair(agT, agB, wy) << 8);
                    if (s == 0) continue;
                    if (a8 != 255) s = scalePixel(s, a8);
                    drow[x] = blend<M>(s, drow[x]);
                }
            }
        },
        16);
}

}  // namespace

void blendOver(uint32_t* d, const uint32_t* s, int n, BlendMode mode, uint32_t a8) {
    if (a8 == 0 || n <= 0) return;
    switch (mode) {
    case BlendMode::Normal: blendRow<BlendMode::Normal>(d, s, n, a8); break;
    case BlendMode::Screen: blendRow<BlendMode::Screen>(d, s, n, a8); break;
    case BlendMode::Overlay: blendRow<BlendMode::Overlay>(d, s, n, a8); break;
    case BlendMode::SoftLight: blendRow<BlendMode::SoftLight>(d, s, n, a8); break;
    }
}

void draw(Bitmap& dst, const Bitmap& src, const Rect& rect, BlendMode mode, double alpha) {
    if (dst.empty() || src.empty()) return;
    const uint32_t a8 = alpha8(alpha);
    if (a8 == 0) return;
    const Axis ax(rect.x, rect.width, src.width, dst.width);
    const Axis ay(rect.y, rect.height, src.height, dst.height);
    if (ax.empty() || ay.empty()) return;
    switch (mode) {
    case BlendMode::Normal: drawRows<BlendMode::Normal>(dst, src, ax, ay, a8); break;
    case BlendMode::Screen: drawRows<BlendMode::Screen>(dst, src, ax, ay, a8); break;
    case BlendMode::Overlay: drawRows<BlendMode::Overlay>(dst, src, ax, ay, a8); break;
    case BlendMode::SoftLight: drawRows<BlendMode::SoftLight>(dst, src, ax, ay, a8); break;
    }
}

}  // namespace plinthora::imaging
