// The kernels' vector tiers against the plain one: on random pictures,
// placements and quads, every tier this processor has must give the bytes
// the plain C++ gives, each tier's loops run whole (a forced tier hands its
// tails to the tier below, never to the best one), so a fast path can
// never drift from the plain one.
#include "imaging/draw.h"
#include "imaging/plan.h"
#include "imaging/png_decode.h"
#include "imaging/png_encode.h"
#include "imaging/tiers.h"
#include "imaging/warp.h"
#include "imaging/yuv.h"

#include <gtest/gtest.h>
#include <libdeflate.h>

#include <cmath>
#include <random>
#include <string>
#include <tuple>

namespace plinthora::imaging {

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
        int kind = 0, left = 0;
        for (uint32_t& p : b.pixels) {
            if (left-- == 0) {
                kind = between(0, 5);
                left = between(0, 23);
            }
            const uint32_t a = kind == 0 ? 0 : kind == 1 ? 255 : uint32_t(between(1, 255));
            auto c = [&] { return uint32_t(between(0, int(a))); };
            p = a << 24 | c() << 16 | c() << 8 | c();
        }
        return b;
    }

private:
    std::mt19937 rng_;
};

// A PNG of w × h RGB or RGBA pixels whose rows are random bytes under
// random filter types: every filter the decoder undoes, each row's first
// pixel and the last bytes of rows of any width.
std::string randomlyFilteredPng(Pictures& pick, int w, int h, bool alpha) {
    const size_t stride = size_t(w) * (alpha ? 4 : 3);
    std::string rows;
    for (int y = 0; y < h; ++y) {
        rows.push_back(char(pick.between(0, 4)));
        for (size_t i = 0; i < stride; ++i) rows.push_back(char(pick.between(0, 255)));
    }
    libdeflate_compressor* z = libdeflate_alloc_compressor(1);
    std::string idat(libdeflate_zlib_compress_bound(z, rows.size()), '\0');
    idat.resize(libdeflate_zlib_compress(z, rows.data(), rows.size(), idat.data(), idat.size()));
    libdeflate_free_compressor(z);
    auto be32 = [](uint32_t v) { return std::string{char(v >> 24), char(v >> 16), char(v >> 8), char(v)}; };
    auto chunk = [&](const char* type, const std::string& data) {
        const std::string body = type + data;
        return be32(uint32_t(data.size())) + body + be32(libdeflate_crc32(0, body.data(), body.size()));
    };
    const std::string ihdr = be32(uint32_t(w)) + be32(uint32_t(h)) + std::string{8, char(alpha ? 6 : 2), 0, 0, 0};
    return std::string("\x89PNG\r\n\x1a\n", 8) + chunk("IHDR", ihdr) + chunk("IDAT", idat) + chunk("IEND", "");
}

// f() run in the plain tier, then in each other tier the processor has;
// the results must be equal.
template <class F>
void sameInEveryTier(const char* what, F&& f) {
    ASSERT_TRUE(imaging::useTier(SimdTier::Plain));
    const auto plain = f();
    for (SimdTier t : {SimdTier::Sse2, SimdTier::Avx2, SimdTier::Avx512}) {
        if (!imaging::useTier(t)) continue;
        EXPECT_TRUE(f() == plain) << what << " differs in tier " << imaging::tierName(t);
    }
}

TEST(KernelAgreement, EveryTierGivesThePlainBytes) {
    const SimdTier before = imaging::tier().tier;
    SimdTier best = SimdTier::Plain;
    for (SimdTier t : {SimdTier::Sse2, SimdTier::Avx2, SimdTier::Avx512})
        if (imaging::hasTier(t)) best = t;
    RecordProperty("best_tier", imaging::tierName(best));
    Pictures pick(20261207);
    const BlendMode modes[] = {BlendMode::Normal, BlendMode::Screen, BlendMode::Overlay, BlendMode::SoftLight};
    for (int round = 0; round < 40 && !HasFailure(); ++round) {
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
                for (double alpha : {1.0, pick.real(0, 1)})
                    sameInEveryTier("draw", [&] {
                        Bitmap out = base;
                        imaging::draw(out, src, r, m, alpha);
                        return out.pixels;
                    });

        // A leaning quad inside the destination, corners off the grid.
        const double w = base.width, h = base.height;
        const Quad quad{{pick.real(0, w / 3), pick.real(0, h / 3)},
                        {pick.real(2 * w / 3, w), pick.real(0, h / 3)},
                        {pick.real(0, w / 3), pick.real(2 * h / 3, h)},
                        {pick.real(2 * w / 3, w), pick.real(2 * h / 3, h)}};
        sameInEveryTier("warp", [&] { return imaging::warp(src, quad, base.width, base.height).pixels; });
        sameInEveryTier("warpUnder", [&] { return imaging::warpUnder(src, quad, base).pixels; });
        // A screen's hole, nearly a rectangle: the sampler steps whole spans
        // between exact points, as it does for a movie's frames, and a plan
        // steps runs of them at once, with a layer drawn over.
        auto inset = [&] { return pick.real(1, 3); };
        const Quad hole{{inset(), inset()}, {w - inset(), inset()}, {inset(), h - inset()}, {w - inset(), h - inset()}};
        sameInEveryTier("warpUnder hole", [&] { return imaging::warpUnder(src, hole, base).pixels; });
        // A picture six times the size of its turned place, mapped without
        // perspective: a step's samples reach beyond the columns and rows
        // one load holds.
        const Bitmap big = pick.bitmap(3 * base.width, 3 * base.height);
        const double turn = pick.real(-0.6, 0.6), ux = std::cos(turn) * w / 2, uy = std::sin(turn) * w / 2;
        const double vx = -std::sin(turn) * h / 2, vy = std::cos(turn) * h / 2;
        const Point tl{w / 4, h / 4};
        const Quad turned{tl, {tl.x + ux, tl.y + uy}, {tl.x + vx, tl.y + vy}, {tl.x + ux + vx, tl.y + uy + vy}};
        sameInEveryTier("warpUnder shrunk", [&] { return imaging::warpUnder(big, turned, base).pixels; });
        const Imaging::CanvasLayer layer{std::make_shared<const Bitmap>(pick.bitmap(base.width, base.height)),
                                         modes[pick.between(0, 1)], pick.real(0, 1)};
        sameInEveryTier("plan", [&] {
            Bitmap out;
            imaging::planWarpUnder(src.width, src.height, hole, std::make_shared<const Bitmap>(base))
                ->render(src, out, &layer);
            return out.pixels;
        });

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
        for (const YuvMatrix m : {YuvMatrix{0.299, 0.114, false}, YuvMatrix{0.2126, 0.0722, true}})
            sameInEveryTier("yuv420ToArgb", [&] {
                std::vector<uint32_t> out(size_t(fw) * size_t(fh));
                imaging::yuv420ToArgb(in, fw, fh, m, out.data(), size_t(fw));
                // A band of rows alone, from an odd row (which shares its
                // chroma row with the one above), is those rows of the whole.
                const int from = std::min(fh - 1, 1 + 2 * (fh / 4));
                std::vector<uint32_t> band(size_t(fw) * size_t(fh - from));
                imaging::yuv420RowsToArgb(in, fw, from, fh, m, band.data(), size_t(fw));
                EXPECT_TRUE(std::equal(band.begin(), band.end(), out.begin() + ptrdiff_t(from) * fw));
                return out;
            });
        const int ew = (fw + 1) & ~1, eh = (fh + 1) & ~1;
        sameInEveryTier("argbToYuv420", [&] {
            std::vector<uint8_t> out[3];
            for (int p = 0; p < 3; ++p) out[p].assign(size_t(strides[p]) * size_t(p ? eh / 2 : eh), 0);
            const PlanesOut planesOut{{out[0].data(), out[1].data(), out[2].data()},
                                      {strides[0], strides[1], strides[2]}};
            imaging::argbToYuv420(src, planesOut, ew, eh);
            return std::make_tuple(out[0], out[1], out[2]);
        });

        // The PNG codec's row loops: the same file, and the same pixels back.
        sameInEveryTier("png", [&] {
            const std::string bytes = png::encode(src, 1).value_or("");
            Bitmap back;
            png::decode(bytes, 1 << 20, back);
            return std::make_pair(bytes, back.pixels);
        });
        for (const bool alpha : {true, false}) {
            const std::string bytes = randomlyFilteredPng(pick, pick.between(1, 67), pick.between(1, 9), alpha);
            sameInEveryTier("png decode", [&] {
                Bitmap back;
                EXPECT_EQ(png::decode(bytes, 1 << 20, back), png::DecodeResult::Decoded);
                return back.pixels;
            });
        }
    }
    imaging::useTier(before);
}

}  // namespace
}  // namespace plinthora::imaging
