// The imaging kernels' SIMD paths against the same kernels built once more
// with those paths off: on random pictures, placements and quads both must
// give the same bytes, so a fast path can never drift from the plain one.
#include "imaging/kernels.h"

#include <gtest/gtest.h>

#include <random>

namespace plinthora::linux_platform {

// The plain build (tests only).
namespace kernels_scalar {
Bitmap warp(const Bitmap& src, const Quad& quad, int width, int height);
Bitmap warpUnder(const Bitmap& content, const Quad& quad, const Bitmap& shell, const ShellOutside* outside = nullptr);
void draw(Bitmap& dst, const Bitmap& src, const Rect& rect, BlendMode mode, double alpha);
void yuv420ToArgb(const PlanesIn& in, int width, int height, const YuvMatrix& matrix, uint32_t* out,
                  size_t outStride);
void argbToYuv420(const Bitmap& argb, const PlanesOut& out, int width, int height, int firstPair = 0,
                  int endPair = -1);
}  // namespace kernels_scalar

namespace {

class Pictures {
public:
    explicit Pictures(uint32_t seed) : rng_(seed) {}
    int between(int lo, int hi) { return std::uniform_int_distribution<int>(lo, hi)(rng_); }
    double real(double lo, double hi) { return std::uniform_real_distribution<double>(lo, hi)(rng_); }

    // Premultiplied pixels with runs of clear and opaque ones, which the
    // fast paths treat specially.
    Bitmap bitmap(int w, int h) {
        Bitmap b(w, h);
        for (uint32_t& p : b.pixels) {
            const int kind = between(0, 5);
            const uint32_t a = kind == 0 ? 0 : kind == 1 ? 255 : uint32_t(between(1, 255));
            auto c = [&] { return uint32_t(between(0, int(a))); };
            p = a << 24 | c() << 16 | c() << 8 | c();
        }
        return b;
    }

private:
    std::mt19937 rng_;
};

TEST(KernelAgreement, SimdAndPlainKernelsGiveTheSameBytes) {
    Pictures pick(20261207);
    const BlendMode modes[] = {BlendMode::Normal, BlendMode::Screen, BlendMode::Overlay, BlendMode::SoftLight};
    for (int round = 0; round < 40; ++round) {
        SCOPED_TRACE(round);
        const Bitmap src = pick.bitmap(pick.between(1, 97), pick.between(1, 71));
        const Bitmap base = pick.bitmap(pick.between(8, 131), pick.between(8, 97));

        // Whole-pixel placements (the row blends) and stretched ones, partly
        // outside the destination too.
        const double x = pick.between(-6, base.width - 2), y = pick.between(-6, base.height - 2);
        const Rect rects[] = {{x, y, double(src.width), double(src.height)},
                              {pick.real(-5, 10), pick.real(-5, 10), pick.real(1, 140), pick.real(1, 100)}};
        for (const Rect& r : rects)
            for (BlendMode m : modes)
                for (double alpha : {1.0, pick.real(0, 1)}) {
                    Bitmap fast = base, plain = base;
                    kernels::draw(fast, src, r, m, alpha);
                    kernels_scalar::draw(plain, src, r, m, alpha);
                    ASSERT_EQ(fast.pixels, plain.pixels) << "mode " << int(m) << " alpha " << alpha;
                }

        // A leaning quad inside the destination, corners off the grid.
        const double w = base.width, h = base.height;
        const Quad quad{{pick.real(0, w / 3), pick.real(0, h / 3)},
                        {pick.real(2 * w / 3, w), pick.real(0, h / 3)},
                        {pick.real(0, w / 3), pick.real(2 * h / 3, h)},
                        {pick.real(2 * w / 3, w), pick.real(2 * h / 3, h)}};
        ASSERT_EQ(kernels::warp(src, quad, base.width, base.height).pixels,
                  kernels_scalar::warp(src, quad, base.width, base.height).pixels);
        ASSERT_EQ(kernels::warpUnder(src, quad, base).pixels, kernels_scalar::warpUnder(src, quad, base).pixels);
        // A screen's hole, nearly a rectangle: the sampler steps whole spans
        // between exact points, as it does for a movie's frames.
        auto inset = [&] { return pick.real(1, 3); };
        const Quad hole{{inset(), inset()}, {w - inset(), inset()}, {inset(), h - inset()}, {w - inset(), h - inset()}};
        ASSERT_EQ(kernels::warpUnder(src, hole, base).pixels, kernels_scalar::warpUnder(src, hole, base).pixels);

        // Movie frames, odd sizes included: planes with padded rows to
        // ARGB, and ARGB to planes one column and row larger when odd.
        const int fw = src.width, fh = src.height, cw = (fw + 1) / 2, ch = (fh + 1) / 2;
        const int strides[3] = {fw + 5, cw + 3, cw + 7};
        std::vector<uint8_t> planes[3];
        for (int p = 0; p < 3; ++p) {
            planes[p].resize(size_t(strides[p]) * size_t(p ? ch : fh));
            for (uint8_t& v : planes[p]) v = uint8_t(pick.between(0, 255));
        }
        const PlanesIn in{{planes[0].data(), planes[1].data(), planes[2].data()}, {strides[0], strides[1], strides[2]}};
        for (const YuvMatrix m : {YuvMatrix{0.299, 0.114, false}, YuvMatrix{0.2126, 0.0722, true}}) {
            std::vector<uint32_t> fast(size_t(fw) * size_t(fh)), plain(fast.size());
            kernels::yuv420ToArgb(in, fw, fh, m, fast.data(), size_t(fw));
            kernels_scalar::yuv420ToArgb(in, fw, fh, m, plain.data(), size_t(fw));
            ASSERT_EQ(fast, plain) << "full range " << m.fullRange;
        }
        const int ew = (fw + 1) & ~1, eh = (fh + 1) & ~1;
        std::vector<uint8_t> fast[3], plain[3];
        for (int p = 0; p < 3; ++p) {
            fast[p].assign(size_t(strides[p]) * size_t(p ? eh / 2 : eh), 0);
            plain[p] = fast[p];
        }
        kernels::argbToYuv420(src, {{fast[0].data(), fast[1].data(), fast[2].data()}, {strides[0], strides[1], strides[2]}}, ew, eh);
        kernels_scalar::argbToYuv420(src, {{plain[0].data(), plain[1].data(), plain[2].data()}, {strides[0], strides[1], strides[2]}}, ew, eh);
        for (int p = 0; p < 3; ++p) ASSERT_EQ(fast[p], plain[p]) << "plane " << p;
    }
}

}  // namespace
}  // namespace plinthora::linux_platform
