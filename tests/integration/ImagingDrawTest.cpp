// Drawing with blend modes and alpha, and the per-pixel colour filters.
#include "platform/linux/QtImaging.h"
#include "synth/Pictures.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <functional>
#include <string>

using namespace plinthora;
using namespace plinthora::imaging_test;
using plinthora::linux_platform::QtImaging;

namespace {

// The W3C separable blend functions B(Cb, Cs), written out case by case.
double screenB(double cb, double cs) { return 1 - (1 - cb) * (1 - cs); }
double multiplyB(double cb, double cs) { return cb * cs; }
double overlayB(double cb, double cs) {
    // Overlay is hard light with the layers swapped.
    if (cb <= 0.5) return multiplyB(cs, 2 * cb);
    return screenB(cs, 2 * cb - 1);
}
double softLightB(double cb, double cs) {
    if (cs <= 0.5) return cb - (1 - 2 * cs) * cb * (1 - cb);
    const double d = cb <= 0.25 ? ((16 * cb - 12) * cb + 4) * cb : std::sqrt(cb);
    return cb + (2 * cs - 1) * (d - cb);
}
double normalB(double, double cs) { return cs; }

// The expected pixel from straight colours and the general compositing
// formula, with the constant alpha applied to the source.
uint32_t composite(uint32_t src, uint32_t dst, double alpha, const std::function<double(double, double)>& B) {
    const double as = alphaOf(src) / 255.0 * alpha, ab = alphaOf(dst) / 255.0;
    const double ao = as + ab - as * ab;
    uint32_t out = uint32_t(std::lround(ao * 255)) << 24;
    for (int shift : {16, 8, 0}) {
        const double sp = ((src >> shift) & 255) / 255.0, bp = ((dst >> shift) & 255) / 255.0;
        const double Cs = alphaOf(src) ? std::min(1.0, sp / (alphaOf(src) / 255.0)) : 0;
        const double Cb = alphaOf(dst) ? std::min(1.0, bp / ab) : 0;
        const double co = as * Cs * (1 - ab) + ab * Cb * (1 - as) + as * ab * B(Cb, Cs);
        out |= uint32_t(std::lround(std::clamp(co, 0.0, 1.0) * 255)) << shift;
    }
    return out;
}

struct ModeCase {
    const char* name;
    BlendMode mode;
    double (*blend)(double, double);
};
const ModeCase kModes[] = {{"normal", BlendMode::Normal, normalB},
                           {"screen", BlendMode::Screen, screenB},
                           {"overlay", BlendMode::Overlay, overlayB},
                           {"softlight", BlendMode::SoftLight, softLightB}};

TEST(ImagingDraw, BlendModesFollowTheCompositingFormulas) {
    QtImaging img;
    // Hand-picked pairs around the formulas' branch points, then random ones.
    const std::pair<uint32_t, uint32_t> picked[] = {
        {premultiplied(255, 200, 100, 30), premultiplied(255, 20, 128, 250)},
        {premultiplied(255, 127, 128, 64), premultiplied(255, 60, 64, 200)},
        {premultiplied(128, 255, 0, 90), premultiplied(200, 40, 220, 128)},
        {premultiplied(40, 10, 250, 128), premultiplied(255, 255, 255, 0)},
        {premultiplied(255, 0, 255, 33), premultiplied(0, 0, 0, 0)},
        {0u, premultiplied(180, 90, 30, 200)},
    };
    const Bitmap randomSrc = randomBitmap(24, 24, 1), randomDst = randomBitmap(24, 24, 2);
    for (const ModeCase& m : kModes) {
        for (double alpha : {1.0, 0.6, 0.25}) {
            SCOPED_TRACE(std::string(m.name) + " alpha " + std::to_string(alpha));
            for (auto [s, d] : picked) {
                Bitmap dst = solid(1, 1, d);
                img.draw(dst, solid(1, 1, s), Rect{0, 0, 1, 1}, m.mode, alpha);
                EXPECT_LE(channelDistance(dst.at(0, 0), composite(s, d, alpha, m.blend)), 2)
                    << std::hex << s << " over " << d << " gave " << dst.at(0, 0);
            }
            Bitmap dst = randomDst;
            img.draw(dst, randomSrc, Rect{0, 0, 24, 24}, m.mode, alpha);
            int worst = 0;
            for (size_t i = 0; i < dst.pixels.size(); ++i)
                worst = std::max(worst, channelDistance(dst.pixels[i], composite(randomSrc.pixels[i],
                                                                                 randomDst.pixels[i], alpha, m.blend)));
            EXPECT_LE(worst, 2);
        }
    }
}

TEST(ImagingDraw, ZeroAlphaLeavesTheDestinationAlone) {
    QtImaging img;
    const Bitmap src = randomBitmap(30, 20, 3), before = randomBitmap(30, 20, 4);
    for (const ModeCase& m : kModes)
        for (double alpha : {0.0, -1.0, 0.001, double(NAN)}) {
            Bitmap dst = before;
            img.draw(dst, src, Rect{-5.5, 3.25, 40, 12}, m.mode, alpha);
            EXPECT_EQ(dst.pixels, before.pixels) << m.name << " alpha " << alpha;
        }
}

TEST(ImagingDraw, RectangleCoversPixelsWhoseCentresItContainsAndClips) {
    QtImaging img;
    const uint32_t red = premultiplied(255, 255, 0, 0), bg = premultiplied(255, 0, 0, 255);
    struct Case {
        Rect rect;
        int x0, y0, x1, y1;  // covered pixels, half-open
    };
    const Case cases[] = {
        {{2, 3, 4, 2}, 2, 3, 6, 5},         {{1.6, 0.4, 2.0, 1.2}, 2, 0, 4, 2},  // centres 2.5, 3.5 and 0.5, 1.5
        {{-10, -10, 13.5, 11}, 0, 0, 3, 1}, {{7, 7, 5, 5}, 7, 7, 8, 8},
        {{9, 0, 4, 4}, 0, 0, 0, 0},  // entirely outside
    };
    for (const Case& c : cases) {
        Bitmap dst = solid(8, 8, bg);
        img.draw(dst, solid(3, 2, red), c.rect, BlendMode::Normal, 1.0);
        for (int y = 0; y < 8; ++y)
            for (int x = 0; x < 8; ++x) {
                const bool in = x >= c.x0 && x < c.x1 && y >= c.y0 && y < c.y1;
                ASSERT_EQ(dst.at(x, y), in ? red : bg) << c.rect.x << "," << c.rect.y << " at " << x << "," << y;
            }
    }
}

TEST(ImagingDraw, StretchingInterpolatesBetweenSourcePixels) {
    QtImaging img;
    Bitmap src(2, 1);
    src.at(0, 0) = premultiplied(255, 0, 0, 0);
    src.at(1, 0) = premultiplied(255, 200, 0, 0);
    Bitmap dst(8, 1);
    img.draw(dst, src, Rect{0, 0, 8, 1}, BlendMode::Normal, 1.0);
    // Dst centre x + ½ sits at source x' = (x + ½)/4 − ½: clamped at the
    // ends, a ramp from 0 to 200 between the two source centres.
    for (int x = 0; x < 8; ++x) {
        const double s = std::clamp((x + 0.5) / 4 - 0.5, 0.0, 1.0);
        EXPECT_NEAR(redOf(dst.at(x, 0)), 200 * s, 1.0) << x;
        EXPECT_EQ(alphaOf(dst.at(x, 0)), 255);
    }
    // Shrinking a 2:1 checker gives its mean grey.
    Bitmap checker(16, 16);
    for (int y = 0; y < 16; ++y)
        for (int x = 0; x < 16; ++x) checker.at(x, y) = (x + y) % 2 ? 0xFFFFFFFFu : 0xFF000000u;
    Bitmap small(8, 8);
    img.draw(small, checker, Rect{0, 0, 8, 8}, BlendMode::Normal, 1.0);
    for (uint32_t p : small.pixels) EXPECT_NEAR(redOf(p), 127.5, 1.0);
}

// A source placed 1:1 on whole pixels is copied without interpolating. The
// same placement nudged off the grid by far less than a weight step goes
// through the interpolating path and lands on the same source pixels, so
// both must agree: odd sizes leave partial groups at the row ends, and the
// origins cover clipping on every side.
TEST(ImagingDraw, WholePixelPlacementMatchesTheInterpolatingPath) {
    QtImaging img;
    const Bitmap src = randomBitmap(37, 13, 21);
    const Bitmap before = randomBitmap(41, 19, 22);
    const Point origins[] = {{0, 0}, {3, 2}, {1, 5}, {-5, -4}, {-36, -12}, {20, 12}, {40, 18}, {2, -3}, {-6, 10}};
    for (const ModeCase& m : kModes)
        for (double alpha : {1.0, 0.6, 0.25, 0.02}) {
            size_t changed = 0;
            for (Point o : origins) {
                SCOPED_TRACE(std::string(m.name) + " alpha " + std::to_string(alpha) + " at " + std::to_string(o.x) +
                             "," + std::to_string(o.y));
                Bitmap exact = before, nudged = before;
                img.draw(exact, src, Rect{o.x, o.y, 37, 13}, m.mode, alpha);
                img.draw(nudged, src, Rect{o.x + 1e-7, o.y + 1e-7, 37, 13}, m.mode, alpha);
                int worst = 0;
                for (size_t i = 0; i < exact.pixels.size(); ++i) {
                    worst = std::max(worst, channelDistance(exact.pixels[i], nudged.pixels[i]));
                    changed += exact.pixels[i] != before.pixels[i];
                }
                EXPECT_LE(worst, 1);
                // Pixels outside the placed rectangle are untouched.
                for (int y = 0; y < before.height; ++y)
                    for (int x = 0; x < before.width; ++x)
                        if (x < o.x || x >= o.x + 37 || y < o.y || y >= o.y + 13) {
                            ASSERT_EQ(exact.at(x, y), before.at(x, y)) << x << "," << y;
                        }
            }
            EXPECT_GT(changed, 1000u);
        }
}

// Off the pixel grid every destination pixel mixes two source pixels: a
// checker half a pixel off gives the mean, a quarter off 1:3 mixes, even
// though the rectangle has the source's size.
TEST(ImagingDraw, OffGridPlacementInterpolates) {
    QtImaging img;
    Bitmap checker(12, 10);
    for (int y = 0; y < 10; ++y)
        for (int x = 0; x < 12; ++x)
            checker.at(x, y) = (x + y) % 2 ? premultiplied(255, 200, 0, 0) : premultiplied(255, 0, 0, 0);
    struct Case {
        double x, y;
    };
    for (Case c : {Case{3.5, 2}, Case{-2.5, 1}, Case{4, 2.5}, Case{3.25, 2}, Case{2, 1.75}}) {
        Bitmap dst(20, 16);
        img.draw(dst, checker, Rect{c.x, c.y, 12, 10}, BlendMode::Normal, 1.0);
        int checked = 0;
        for (int y = 0; y < 16; ++y)
            for (int x = 0; x < 20; ++x) {
                // Source point of this pixel's centre, pixel-centre coordinates.
                const double sx = x + 0.5 - c.x - 0.5, sy = y + 0.5 - c.y - 0.5;
                if (sx < 0 || sy < 0 || sx > 11 || sy > 9) continue;  // clamped or uncovered
                const int ix = int(std::floor(sx)), iy = int(std::floor(sy));
                const double fx = sx - ix, fy = sy - iy;
                auto red = [&](int px, int py) { return (px + py) % 2 ? 200.0 : 0.0; };
                const double want = red(ix, iy) * (1 - fx) * (1 - fy) + red(ix + 1, iy) * fx * (1 - fy) +
                                    red(ix, iy + 1) * (1 - fx) * fy + red(ix + 1, iy + 1) * fx * fy;
                EXPECT_NEAR(redOf(dst.at(x, y)), want, 1.0) << c.x << "," << c.y << " at " << x << "," << y;
                EXPECT_EQ(alphaOf(dst.at(x, y)), 255);
                ++checked;
            }
        EXPECT_GT(checked, 60) << c.x << "," << c.y;
    }
}

TEST(ImagingFilters, MultiplyAlphaScalesAllPremultipliedChannels) {
    QtImaging img;
    const Bitmap src = randomBitmap(17, 9, 7);
    for (auto [a, effective] : {std::pair{0.5, 0.5}, {0.0, 0.0}, {1.0, 1.0}, {2.0, 1.0}, {-0.3, 0.0}, {0.7, 0.7}}) {
        const Bitmap out = img.multiplyAlpha(src, a);
        ASSERT_EQ(out.pixels.size(), src.pixels.size());
        for (size_t i = 0; i < src.pixels.size(); ++i)
            for (int s = 0; s < 32; s += 8)
                ASSERT_NEAR(double((out.pixels[i] >> s) & 255), ((src.pixels[i] >> s) & 255) * effective, 1.0)
                    << "a " << a;
    }
}

TEST(ImagingFilters, ColorControlsOnStraightColour) {
    QtImaging img;
    struct Case {
        double contrast, brightness, saturation;
    };
    const Case cases[] = {{1, 0, 1}, {1.1, 0.05, 1.0}, {1, 0, 0}, {0.5, -0.2, 1.8}, {2, 0.3, 0.5}};
    const Bitmap src = randomBitmap(20, 10, 9);
    for (const Case& c : cases) {
        const Bitmap out = img.colorControls(src, c.contrast, c.brightness, c.saturation);
        for (size_t i = 0; i < src.pixels.size(); ++i) {
            const uint32_t p = src.pixels[i];
            const int a = alphaOf(p);
            ASSERT_EQ(alphaOf(out.pixels[i]), a);
            if (a == 0) continue;
            double rgb[3] = {redOf(p) * 1.0 / a, greenOf(p) * 1.0 / a, blueOf(p) * 1.0 / a};
            const double luma = 0.2126 * rgb[0] + 0.7152 * rgb[1] + 0.0722 * rgb[2];
            const int got[3] = {redOf(out.pixels[i]), greenOf(out.pixels[i]), blueOf(out.pixels[i])};
            for (int k = 0; k < 3; ++k) {
                double v = luma + (std::min(rgb[k], 1.0) - luma) * c.saturation + c.brightness;
                v = std::clamp((v - 0.5) * c.contrast + 0.5, 0.0, 1.0);
                ASSERT_NEAR(got[k], v * a, 1.0) << "contrast " << c.contrast << " pixel " << i;
            }
        }
    }
    // Saturation 0 leaves an opaque pixel grey at its luma.
    const Bitmap grey = img.colorControls(solid(1, 1, premultiplied(255, 255, 0, 0)), 1, 0, 0);
    EXPECT_EQ(grey.at(0, 0), premultiplied(255, 54, 54, 54));
}

}  // namespace
