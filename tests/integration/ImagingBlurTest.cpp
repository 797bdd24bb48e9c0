// Gaussian blur: size, conservation, symmetry and the radius convention.
#include "platform/linux/QtImaging.h"
#include "synth/Pictures.h"

#include <gtest/gtest.h>

#include <cmath>

using namespace plinthora;
using namespace plinthora::imaging_test;
using plinthora::linux_platform::QtImaging;

namespace {

double totalAlpha(const Bitmap& b) {
    double sum = 0;
    for (uint32_t p : b.pixels) sum += alphaOf(p);
    return sum;
}

// An opaque block in the middle of a transparent image.
Bitmap block(int w, int h, int bx, int by, int bw, int bh, uint32_t colour) {
    Bitmap b(w, h);
    for (int y = by; y < by + bh; ++y)
        for (int x = bx; x < bx + bw; ++x) b.at(x, y) = colour;
    return b;
}

TEST(ImagingBlur, OutputGrowsByTheSpreadOnEverySide) {
    QtImaging img;
    const Bitmap src = randomBitmap(23, 11, 1);
    for (double radius : {0.5, 1.0, 2.5, 10.0}) {
        const int spread = img.blurSpread(radius);
        // The kernel reaches at least 2.5 σ, or the fringe would be cut.
        EXPECT_GE(spread, int(std::ceil(2.5 * radius))) << radius;
        const Bitmap out = img.gaussianBlur(src, radius);
        EXPECT_EQ(out.width, src.width + 2 * spread) << radius;
        EXPECT_EQ(out.height, src.height + 2 * spread) << radius;
        EXPECT_EQ(out.pixels.size(), size_t(out.width) * size_t(out.height));
    }
    EXPECT_EQ(img.blurSpread(0), 0);
    EXPECT_EQ(img.gaussianBlur(src, 0).pixels, src.pixels);
}

TEST(ImagingBlur, KeepsTotalAlphaAndPremultipliedOrder) {
    QtImaging img;
    for (double radius : {1.0, 4.0, 10.0}) {
        const Bitmap src = randomBitmap(60, 40, uint32_t(radius * 10));
        const Bitmap out = img.gaussianBlur(src, radius);
        EXPECT_NEAR(totalAlpha(out) / totalAlpha(src), 1.0, 0.01) << radius;
        for (uint32_t p : out.pixels) {
            ASSERT_LE(redOf(p), alphaOf(p));
            ASSERT_LE(greenOf(p), alphaOf(p));
            ASSERT_LE(blueOf(p), alphaOf(p));
        }
    }
}

TEST(ImagingBlur, SymmetricInputGivesSymmetricOutput) {
    QtImaging img;
    const Bitmap src = block(41, 41, 15, 10, 11, 21, premultiplied(255, 250, 120, 10));
    const Bitmap out = img.gaussianBlur(src, 3.0);
    const int w = out.width, h = out.height;
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) {
            ASSERT_LE(channelDistance(out.at(x, y), out.at(w - 1 - x, y)), 1) << x << "," << y;
            ASSERT_LE(channelDistance(out.at(x, y), out.at(x, h - 1 - y)), 1) << x << "," << y;
        }
    // And transposing the input transposes the output.
    const Bitmap turned = img.gaussianBlur(block(41, 41, 10, 15, 21, 11, premultiplied(255, 250, 120, 10)), 3.0);
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) ASSERT_LE(channelDistance(out.at(x, y), turned.at(y, x)), 1);
}

TEST(ImagingBlur, EdgeProfileIsTheGaussianOfTheRadius) {
    QtImaging img;
    // A wide opaque band: across its left edge the alpha follows the normal
    // distribution's CDF with σ = radius.
    for (double radius : {2.0, 5.0, 10.0}) {
        const int w = 300, h = 120;
        const Bitmap out = img.gaussianBlur(solid(w, h, 0xFFFFFFFFu), radius);
        const int s = img.blurSpread(radius);
        const int row = s + h / 2;  // the middle row: no vertical falloff
        for (double k : {-2.0, -1.0, 0.0, 1.0, 2.0}) {
            // Pixel centre at distance k·σ from the edge at x = s.
            const double offset = k * radius - 0.5;
            const int x = s + int(std::lround(offset));
            const double d = x + 0.5 - s;
            const double expected = 255 * 0.5 * std::erfc(-d / (radius * std::sqrt(2.0)));
            EXPECT_NEAR(alphaOf(out.at(x, row)), expected, 2.5) << "radius " << radius << " k " << k;
        }
        // The transparent surroundings blur in: the far corners are clear.
        EXPECT_EQ(alphaOf(out.at(0, 0)), 0);
    }
}

}  // namespace
