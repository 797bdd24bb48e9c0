// Projective map: geometry, sampling, and the fused shell path.
#include "platform/linux/QtImaging.h"
#include "synth/Pictures.h"

#include <QImage>
#include <QPainter>
#include <QPolygonF>

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <random>

using namespace plinthora;
using namespace plinthora::imaging_test;
using plinthora::linux_platform::QtImaging;

namespace {

// Source whose colour is linear in the pixel position, so bilinear sampling
// anywhere away from the border gives the linear function's value exactly.
constexpr int kSrcW = 64, kSrcH = 48;
double redAt(double px) { return 10 + 3 * px; }    // px: pixel-centre x
double greenAt(double py) { return 10 + 4 * py; }  // py: pixel-centre y

Bitmap gradientSource() {
    Bitmap b(kSrcW, kSrcH);
    for (int y = 0; y < kSrcH; ++y)
        for (int x = 0; x < kSrcW; ++x)
            b.at(x, y) = 0xFF000000u | (uint32_t(redAt(x)) << 16) | (uint32_t(greenAt(y)) << 8) | 77u;
    return b;
}

// Signed distance of p from the inside of a convex quad (negative inside).
double outsideDistance(const Quad& q, Point p) {
    const Point c[4] = {q.topLeft, q.topRight, q.bottomRight, q.bottomLeft};
    double worst = -1e9;
    for (int i = 0; i < 4; ++i) {
        const Point a = c[i], b = c[(i + 1) % 4];
        const double ex = b.x - a.x, ey = b.y - a.y, len = std::hypot(ex, ey);
        // Clockwise on screen (y down): inside is to the right of each edge.
        const double d = ((p.x - a.x) * ey - (p.y - a.y) * ex) / len;
        worst = std::max(worst, d);
    }
    return worst;
}

const Quad kSkewed{{20, 10}, {180, 30}, {10, 120}, {170, 150}};
constexpr int kOutW = 200, kOutH = 170;

TEST(ImagingWarp, OutputHasTheRequestedSize) {
    QtImaging img;
    const Bitmap src = gradientSource();
    for (auto [w, h] : {std::pair{200, 170}, {1, 1}, {7, 300}, {0, 5}}) {
        const Bitmap out = img.perspective(src, kSkewed, w, h);
        EXPECT_EQ(out.width, w);
        EXPECT_EQ(out.height, h);
        EXPECT_EQ(out.pixels.size(), size_t(w) * size_t(h));
    }
}

TEST(ImagingWarp, SamplesFollowTheProjectiveMapInsideAndAreClearOutside) {
    QtImaging img;
    const Bitmap out = img.perspective(gradientSource(), kSkewed, kOutW, kOutH);
    const Homography back(kSkewed, kSrcW, kSrcH);
    int inside = 0, outside = 0;
    for (int y = 0; y < kOutH; ++y) {
        for (int x = 0; x < kOutW; ++x) {
            const Point centre{x + 0.5, y + 0.5};
            const double d = outsideDistance(kSkewed, centre);
            const uint32_t p = out.at(x, y);
            if (d > 0.01) {
                ASSERT_EQ(p, 0u) << "outside the quad at " << x << "," << y;
                ++outside;
                continue;
            }
            if (d > -1.5) continue;  // border: clamped samples, skip
            ++inside;
            ASSERT_EQ(alphaOf(p), 255) << x << "," << y;
            const Point s = back.map(centre.x, centre.y);
            // Away from the border the bilinear sample of a linear ramp is
            // the ramp itself, up to 8-bit weights and rounding.
            if (s.x < 1 || s.x > kSrcW - 1 || s.y < 1 || s.y > kSrcH - 1) continue;
            EXPECT_NEAR(redOf(p), redAt(s.x - 0.5), 1.6) << x << "," << y;
            EXPECT_NEAR(greenOf(p), greenAt(s.y - 0.5), 1.6) << x << "," << y;
            EXPECT_EQ(blueOf(p), 77);
        }
    }
    EXPECT_GT(inside, 10000);
    EXPECT_GT(outside, 5000);
}

TEST(ImagingWarp, QuadCentreGetsTheSourceCentre) {
    QtImaging img;
    const Bitmap out = img.perspective(gradientSource(), kSkewed, kOutW, kOutH);
    // Where the diagonals cross, the projective map sends the source's centre.
    const Point a = kSkewed.topLeft, b = kSkewed.bottomRight, c = kSkewed.topRight, d = kSkewed.bottomLeft;
    const double den = (a.x - b.x) * (c.y - d.y) - (a.y - b.y) * (c.x - d.x);
    const double t = ((a.x - c.x) * (c.y - d.y) - (a.y - c.y) * (c.x - d.x)) / den;
    const Point centre{a.x + t * (b.x - a.x), a.y + t * (b.y - a.y)};
    const uint32_t p = out.at(int(centre.x), int(centre.y));
    // The pixel's centre lies within 0.71 px of the crossing, less than half
    // a source pixel after the map's ~0.4 scale.
    EXPECT_NEAR(redOf(p), redAt(kSrcW / 2.0 - 0.5), 3.0);
    EXPECT_NEAR(greenOf(p), greenAt(kSrcH / 2.0 - 0.5), 3.0);
}

TEST(ImagingWarp, RectangleQuadsCopyOrShiftExactly) {
    QtImaging img;
    const Bitmap src = randomBitmap(31, 17, 5);
    const Bitmap same = img.perspective(src, Quad{{0, 0}, {31, 0}, {0, 17}, {31, 17}}, 31, 17);
    EXPECT_EQ(same.pixels, src.pixels);
    // An integer shift, partly off the canvas.
    const Bitmap shifted = img.perspective(src, Quad{{-3, 4}, {28, 4}, {-3, 21}, {28, 21}}, 31, 17);
    for (int y = 0; y < 17; ++y)
        for (int x = 0; x < 31; ++x) {
            const bool covered = x < 28 && y >= 4;
            EXPECT_EQ(shifted.at(x, y), covered ? src.at(x + 3, y - 4) : 0u) << x << "," << y;
        }
}

TEST(ImagingWarp, DegenerateQuadsGiveTransparentImages) {
    QtImaging img;
    const Bitmap src = gradientSource();
    const std::array<Quad, 3> quads = {Quad{{5, 5}, {5, 5}, {5, 5}, {5, 5}}, Quad{{0, 0}, {10, 10}, {20, 20}, {30, 30}},
                                       Quad{{0, 0}, {NAN, 0}, {0, 10}, {10, 10}}};
    for (const Quad& q : quads) {
        const Bitmap out = img.perspective(src, q, 40, 40);
        ASSERT_EQ(out.pixels.size(), 1600u);
        for (uint32_t p : out.pixels) ASSERT_EQ(p, 0u);
    }
    EXPECT_EQ(img.perspective(Bitmap(), kSkewed, 10, 10).pixels, std::vector<uint32_t>(100, 0u));
}

// The bilinear sample of `src` at a source point in pixel-centre
// coordinates, edge pixels clamped, in floating point.
double bilinearChannel(const Bitmap& src, double sx, double sy, int shift) {
    const int ix = int(std::floor(sx)), iy = int(std::floor(sy));
    const double fx = sx - ix, fy = sy - iy;
    auto at = [&](int x, int y) {
        x = std::clamp(x, 0, src.width - 1);
        y = std::clamp(y, 0, src.height - 1);
        return double((src.at(x, y) >> shift) & 255);
    };
    return at(ix, iy) * (1 - fx) * (1 - fy) + at(ix + 1, iy) * fx * (1 - fy) + at(ix, iy + 1) * (1 - fx) * fy +
           at(ix + 1, iy + 1) * fx * fy;
}

// Noise, unlike a ramp, makes any mix-up between neighbouring samples (a
// wrong weight, a pixel shifted by one) show as a large error. Quads of
// several sizes and slants give runs of every length and phase. The
// perspective is kept to what a device's screen hole has: the map is
// followed linearly over short spans, which a steep perspective on noise
// would turn into large differences.
TEST(ImagingWarp, SamplesMatchAnIndependentBilinearReference) {
    QtImaging img;
    const Bitmap src = randomBitmap(90, 70, 31);
    const std::array<Quad, 6> quads = {
        Quad{{10, 8}, {190, 20}, {4, 160}, {184, 172}},        // sheared parallelogram, enlarging
        Quad{{6, 5}, {193, 7}, {8, 163}, {195, 162}},          // a hole's few pixels of perspective
        Quad{{40, 30}, {95, 28}, {43, 71}, {98, 69}},          // shrinking
        Quad{{-21, -15}, {226, -11}, {-17, 188}, {229, 186}},  // clipped by the canvas
        Quad{{30, 40}, {170, 10}, {30, 140}, {170, 190}},      // a steep lean: far edge much shorter
        Quad{{20, 20}, {110, 45}, {24, 120}, {106, 95}},       // shrinking and steep
    };
    for (const Quad& q : quads) {
        const Bitmap out = img.perspective(src, q, kOutW, kOutH);
        const Homography back(q, src.width, src.height);
        int worst = 0, compared = 0;
        for (int y = 0; y < kOutH; ++y)
            for (int x = 0; x < kOutW; ++x) {
                const Point centre{x + 0.5, y + 0.5};
                if (outsideDistance(q, centre) > -1.5) continue;  // border decisions are tested elsewhere
                const Point s = back.map(centre.x, centre.y);
                const uint32_t p = out.at(x, y);
                for (int shift = 0; shift < 32; shift += 8) {
                    const double want = bilinearChannel(src, s.x - 0.5, s.y - 0.5, shift);
                    worst = std::max(worst, int(std::ceil(std::abs(double((p >> shift) & 255) - want) - 1e-9)));
                }
                ++compared;
            }
        EXPECT_GT(compared, 1500);
        // 1/128-pixel positions on noise that jumps by up to 255 per pixel.
        EXPECT_LE(worst, 3) << q.topLeft.x << "," << q.topLeft.y;
    }
}

// A shell: opaque body, a semi-transparent tinted ring around the hole, a
// clear hole and clear corners outside the body.
Bitmap testShell(int w, int h) {
    Bitmap s(w, h, 3.0);
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) {
            const bool corner = (x < 6 || x >= w - 6) && (y < 6 || y >= h - 6);
            const bool hole = x >= 24 && x < w - 24 && y >= 24 && y < h - 24;
            const bool ring = x >= 16 && x < w - 16 && y >= 16 && y < h - 16;
            uint32_t p = premultiplied(255, 40 + x % 50, 60, 90 + y % 100);
            if (corner || hole)
                p = 0;
            else if (ring)
                p = premultiplied(96 + (x + y) % 100, 200, 30, 170);
            s.at(x, y) = p;
        }
    return s;
}

// Where the hole's edge rule may change a pixel: the shell partly drawn
// there, the pixel's centre near the quad's edge (a superset of the rule's
// reach, which is measured to the edge segments).
bool nearEdgeUnderSoftShell(const Bitmap& shell, const Quad& q, int x, int y) {
    const int a = alphaOf(shell.at(x, y));
    const double d = outsideDistance(q, Point{x + 0.5, y + 0.5});
    return a > 0 && a < 255 && d > -1.0 && d <= 2.0;
}

TEST(ImagingWarp, FusedShellPathMatchesWarpThenDraw) {
    QtImaging img;
    const Bitmap content = randomBitmap(90, 160, 11);
    const Bitmap shell = testShell(140, 220);
    const std::array<Quad, 3> quads = {
        Quad{{20, 22}, {121, 18}, {14, 204}, {126, 199}},   // the hole, slightly skewed
        Quad{{-30, -10}, {170, 5}, {-5, 240}, {150, 230}},  // spills over the canvas
        Quad{{60, 60}, {80, 62}, {58, 90}, {79, 88}},       // small, inside the hole
    };
    for (const Quad& q : quads) {
        const Bitmap fused = img.perspectiveUnder(content, q, shell);
        Bitmap reference = img.perspective(content, q, shell.width, shell.height);
        img.draw(reference, shell, Rect{0, 0, double(shell.width), double(shell.height)}, BlendMode::Normal, 1.0);
        ASSERT_EQ(fused.width, shell.width);
        ASSERT_EQ(fused.height, shell.height);
        EXPECT_EQ(fused.scale, shell.scale);
        int worst = 0;
        for (int y = 0; y < shell.height; ++y)
            for (int x = 0; x < shell.width; ++x)
                if (!nearEdgeUnderSoftShell(shell, q, x, y))
                    worst = std::max(worst, channelDistance(fused.at(x, y), reference.at(x, y)));
        EXPECT_LE(worst, 1);
        // Where the shell is opaque it comes through unchanged.
        for (size_t i = 0; i < fused.pixels.size(); ++i)
            if (alphaOf(shell.pixels[i]) == 255) {
                ASSERT_EQ(fused.pixels[i], shell.pixels[i]);
            }
    }
}

// Opaque and translucent specks inside the hole split every row into runs
// that start and end anywhere; each pixel must still get the sample the
// unsplit warp gives it.
TEST(ImagingWarp, FusedPathSplitByOpaqueSpecksMatchesWarpThenDraw) {
    QtImaging img;
    const Bitmap content = randomBitmap(90, 160, 12);
    Bitmap shell = testShell(140, 220);
    std::mt19937 rng(7);
    std::uniform_int_distribution<int> pos(0, 140 * 220 - 1), kind(0, 2);
    for (int i = 0; i < 2500; ++i) {
        const int k = kind(rng);
        shell.pixels[size_t(pos(rng))] = k == 0   ? premultiplied(255, 10, 200, 30)
                                         : k == 1 ? premultiplied(128, 90, 20, 250)
                                                  : 0u;
    }
    for (const Quad& q :
         {Quad{{20, 22}, {121, 18}, {14, 204}, {126, 199}}, Quad{{-7, 3}, {133, -2}, {9, 215}, {141, 223}}}) {
        const Bitmap fused = img.perspectiveUnder(content, q, shell);
        Bitmap reference = img.perspective(content, q, shell.width, shell.height);
        img.draw(reference, shell, Rect{0, 0, double(shell.width), double(shell.height)}, BlendMode::Normal, 1.0);
        ASSERT_EQ(fused.pixels.size(), reference.pixels.size());
        int worst = 0;
        for (int y = 0; y < shell.height; ++y)
            for (int x = 0; x < shell.width; ++x)
                if (!nearEdgeUnderSoftShell(shell, q, x, y))
                    worst = std::max(worst, channelDistance(fused.at(x, y), reference.at(x, y)));
        EXPECT_LE(worst, 1);
    }
}

// A device whose hole is antialiased, as every drawn or photographed frame
// is: the bezel's soft edge must blend with the picture, leaving nothing
// see-through inside the device, and the picture must not spill where the
// shell is clear (a hole cut wider than the quad, or outside the body).
TEST(ImagingWarp, NoSeamWhereAnAntialiasedHoleMeetsThePicture) {
    QtImaging img;
    constexpr int kW = 160, kH = 240, kInset = 6;
    const QRect body(kInset, kInset, kW - 2 * kInset, kH - 2 * kInset);
    const Quad quad{{22.3, 25.6}, {137.8, 21.2}, {18.6, 216.4}, {141.4, 219.7}};
    Bitmap content = randomBitmap(90, 150, 21);
    for (uint32_t& p : content.pixels) p = (p & 0x00FFFFFFu) | 0xFF000000u;  // an opaque screenshot
    struct Case {
        const char* what;
        double holeGrowth;  // how far the cut hole lies outside the quad
    };
    for (const Case& c : {Case{"hole cut on the quad", 0.0}, Case{"hole cut 1.5 px wider", 1.5}}) {
        SCOPED_TRACE(c.what);
        QImage drawn(kW, kH, QImage::Format_ARGB32_Premultiplied);
        drawn.fill(Qt::transparent);
        QPainter p(&drawn);
        p.setRenderHint(QPainter::Antialiasing);
        p.fillRect(body, QColor(40, 44, 52));
        p.setCompositionMode(QPainter::CompositionMode_Clear);
        const double g = c.holeGrowth;
        p.setPen(Qt::NoPen);
        p.setBrush(Qt::black);
        p.drawPolygon(QPolygonF{{QPointF(quad.topLeft.x - g, quad.topLeft.y - g),
                                 QPointF(quad.topRight.x + g, quad.topRight.y - g),
                                 QPointF(quad.bottomRight.x + g, quad.bottomRight.y + g),
                                 QPointF(quad.bottomLeft.x - g, quad.bottomLeft.y + g)}});
        p.end();
        Bitmap shell(kW, kH, 2.0);
        for (int y = 0; y < kH; ++y)
            for (int x = 0; x < kW; ++x) shell.at(x, y) = uint32_t(qPremultiply(drawn.pixel(x, y)));

        const Bitmap fused = img.perspectiveUnder(content, quad, shell);
        Bitmap plain = img.perspective(content, quad, kW, kH);
        img.draw(plain, shell, Rect{0, 0, double(kW), double(kH)}, BlendMode::Normal, 1.0);
        int softEdge = 0, clearGap = 0, seeThroughBefore = 0;
        for (int y = 0; y < kH; ++y)
            for (int x = 0; x < kW; ++x) {
                const int a = alphaOf(shell.at(x, y));
                softEdge += a > 0 && a < 255;
                seeThroughBefore += body.contains(x, y) && alphaOf(plain.at(x, y)) < 255;
                if (a == 0 && outsideDistance(quad, Point{x + 0.5, y + 0.5}) > 0.01) {
                    // Clear shell outside the quad: nothing drawn there.
                    clearGap += body.contains(x, y);
                    ASSERT_EQ(fused.at(x, y), 0u) << x << "," << y;
                } else if (a == 255) {
                    ASSERT_EQ(fused.at(x, y), shell.at(x, y)) << x << "," << y;
                } else if (!nearEdgeUnderSoftShell(shell, quad, x, y)) {
                    ASSERT_LE(channelDistance(fused.at(x, y), plain.at(x, y)), 1) << x << "," << y;
                }
                if (c.holeGrowth == 0 && body.contains(x, y)) {
                    ASSERT_EQ(alphaOf(fused.at(x, y)), 255) << "see-through at " << x << "," << y;
                }
            }
        EXPECT_GT(softEdge, 400);  // the hole's edge really is antialiased
        if (c.holeGrowth == 0)
            EXPECT_GT(seeThroughBefore, 100);  // and warp-then-draw shows the seam
        else
            EXPECT_GT(clearGap, 300);  // the sliver a wider hole leaves stays clear
    }
}

}  // namespace
