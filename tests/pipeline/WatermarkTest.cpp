#include "PixelTestSupport.h"
#include "TestWorld.h"

#include "platform/linux/QtImaging.h"

#include <cmath>

namespace plinthora::testing {
namespace {

class WatermarkTest : public WorldTest {
protected:
    Imaging* imaging() override { return &imaging_; }
    SRUnifiedProcessor& processor() { return SRUnifiedProcessor::sharedInstance(); }
    void blend(const char* name) { settings().setWatermarkBlendMode(std::make_shared<const std::string>(name)); }
    linux_platform::QtImaging imaging_;
};

TEST(AspectRect, CoversTheAreaAndCentres) {
    struct Case {
        Size image, area;
        Rect expect;
    };
    const std::vector<Case> cases = {
        {{200, 100}, {100, 100}, {-50, 0, 200, 100}},
        {{100, 200}, {100, 100}, {0, -50, 100, 200}},
        {{200, 100}, {400, 200}, {0, 0, 400, 200}},
        {{10, 10}, {30, 60}, {-15, 0, 60, 60}},
    };
    for (const Case& c : cases) EXPECT_EQ(SRUnifiedProcessor::aspectRectForSize(c.image, c.area), c.expect);
}

TEST_F(WatermarkTest, FrameRecipeDescribesTheWork) {
    Image mark = shared(solid(200, 100, 0xffffffff));
    settings().watermarkOpacity = 0.5f;
    struct Case {
        const char* name;
        BlendMode mode;
        double alpha, blur;
    };
    const std::vector<Case> cases = {
        {"正常", BlendMode::Normal, 0.5, 0},       {"滤色", BlendMode::Screen, 0.5, 0},
        {"叠加", BlendMode::Overlay, 0.5, 0},      {"柔光", BlendMode::SoftLight, 0.5, 0},
        {"高斯模糊", BlendMode::Normal, 0.35, 10}, {"Screen", BlendMode::Normal, 0.5, 0},
        {"滤色 ", BlendMode::Normal, 0.5, 0},      {"", BlendMode::Normal, 0.5, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        blend(c.name);
        FrameRecipe r = processor().applyWatermark(mark, FrameRecipe{}, {100, 100});
        ASSERT_EQ(r.layers.size(), 1u);
        EXPECT_EQ(r.layers[0].blend, c.mode);
        EXPECT_DOUBLE_EQ(r.layers[0].alpha, c.alpha);
        EXPECT_EQ(r.layers[0].blurRadius, c.blur);
        EXPECT_EQ(r.layers[0].placement, (Rect{-50, 0, 200, 100}));
    }
    // Empty marks and areas add nothing rather than dividing by zero.
    EXPECT_TRUE(processor().applyWatermark(shared(Bitmap(0, 5)), FrameRecipe{}, {10, 10}).layers.empty());
    EXPECT_TRUE(processor().applyWatermark(mark, FrameRecipe{}, {0, 10}).layers.empty());
}

TEST_F(WatermarkTest, OpacityZeroLeavesThePictureForEveryBlend) {
    Bitmap base(8, 8);
    for (int i = 0; i < 64; ++i) base.pixels[i] = argb(255, i * 4, 255 - i * 3, 128);
    Image baseImage = shared(base);
    Image mark = shared(solid(4, 4, argb(200, 250, 10, 90)));
    settings().watermarkOpacity = 0.0f;
    for (const char* name : {"正常", "滤色", "叠加", "柔光", "高斯模糊"}) {
        SCOPED_TRACE(name);
        blend(name);
        Image still = processor().drawWatermark(mark, baseImage, {8, 8});
        EXPECT_EQ(still->pixels, base.pixels);
        Bitmap frame = renderFrame(processor().applyWatermark(mark, FrameRecipe{baseImage, {}}, {8, 8}), 8, 8);
        EXPECT_EQ(frame.pixels, base.pixels);
    }
}

TEST_F(WatermarkTest, GaussianBlurDrawsAtSevenTenths) {
    // A large opaque white mark over black: far from its edges the blur
    // changes nothing, so the pixel shows the drawing alpha alone.
    Image base = shared(solid(100, 100, 0xff000000));
    Image mark = shared(solid(100, 100, 0xffffffff));
    blend("高斯模糊");
    Image still = processor().drawWatermark(mark, base, {100, 100});
    EXPECT_NEAR(redOf(still->at(50, 50)), 0.7 * 255, 2);
    Bitmap frame = renderFrame(processor().applyWatermark(mark, FrameRecipe{base, {}}, {100, 100}), 100, 100);
    EXPECT_NEAR(redOf(frame.at(50, 50)), 0.7 * 255, 2);

    blend("正常");
    EXPECT_EQ(processor().drawWatermark(mark, base, {100, 100})->at(50, 50), 0xffffffffu);
}

TEST_F(WatermarkTest, BlurredFringeIsSqueezedOnStillsButSpreadsOnFrames) {
    // An opaque mark exactly the size of the target: the still path blurs
    // first and squeezes the fringe in, so the edge is soft inside; the
    // frame path blurs after placement and the fringe falls outside.
    Image base = shared(solid(60, 60, 0xff000000));
    Image mark = shared(solid(60, 60, 0xffffffff));
    blend("高斯模糊");
    Image still = processor().drawWatermark(mark, base, {60, 60});
    Bitmap frame = renderFrame(processor().applyWatermark(mark, FrameRecipe{base, {}}, {60, 60}), 60, 60);
    EXPECT_LT(redOf(still->at(0, 30)), redOf(still->at(30, 30)) - 20);
    EXPECT_LT(redOf(frame.at(0, 30)), redOf(frame.at(30, 30)) - 20);
    // In the still the soft edge reaches further in than on the frame.
    EXPECT_LT(redOf(still->at(8, 30)), redOf(frame.at(8, 30)));
}

TEST_F(WatermarkTest, PlacedLayerIsTheMarkAsDrawnOnTheGrid) {
    // Premultiplied, partly clear, every pixel different.
    Bitmap b(24, 40);
    for (int y = 0; y < b.height; ++y)
        for (int x = 0; x < b.width; ++x) {
            const int a = (x * 37 + y * 11) % 256;
            b.at(x, y) = argb(a, a * ((x * 7) % 256) / 255, a * ((y * 5) % 256) / 255, a / 2);
        }
    Image mark = shared(std::move(b));
    WatermarkLayerCache cache;
    // The grid the mark's own size (kept as it is), then a larger one (drawn).
    for (Size grid : {Size{24, 40}, Size{48, 80}}) {
        const FrameRecipe r = processor().applyWatermark(mark, FrameRecipe{}, grid);
        ASSERT_EQ(r.layers.size(), 1u);
        const int w = int(grid.width), h = int(grid.height);
        const Bitmap drawn = placeWatermarkLayer(r.layers[0], w, h);
        const std::shared_ptr<const Bitmap> placed = cache.placed(r.layers[0], w, h);
        ASSERT_EQ(placed->width, w);
        ASSERT_EQ(placed->height, h);
        EXPECT_EQ(placed->pixels, drawn.pixels);
    }
}

TEST_F(WatermarkTest, SoftLightStillIsBrighterThanFrame) {
    Image base = shared(solid(20, 20, argb(255, 120, 120, 120)));
    Image mark = shared(solid(20, 20, argb(255, 160, 160, 160)));
    blend("柔光");
    Image still = processor().drawWatermark(mark, base, {20, 20});
    Bitmap frame = renderFrame(processor().applyWatermark(mark, FrameRecipe{base, {}}, {20, 20}), 20, 20);
    EXPECT_GT(redOf(still->at(10, 10)), redOf(frame.at(10, 10)));
    EXPECT_GT(redOf(frame.at(10, 10)), 120);  // soft light with a light mark brightens
}

TEST_F(WatermarkTest, StillKeepsTheBaseScaleAndSize) {
    Bitmap base = solid(20, 40, 0xff0000ff);
    base.scale = 2;
    Image out = processor().drawWatermark(shared(solid(5, 5, 0x80000000)), shared(base), {10, 20});
    EXPECT_EQ(out->width, 20);
    EXPECT_EQ(out->height, 40);
    EXPECT_EQ(out->scale, 2);
    // A zero-sized watermark draws nothing.
    Image plain = processor().drawWatermark(shared(Bitmap(0, 0)), shared(base), {10, 20});
    EXPECT_EQ(plain->pixels, base.pixels);
}

TEST_F(WatermarkTest, BlurredMarkIsWorkedOnlyWhereItCanShow) {
    // Counts the pixels handed to the blur, the costly step.
    struct CountingImaging : linux_platform::QtImaging {
        mutable size_t largestBlur = 0;
        Bitmap gaussianBlur(const Bitmap& src, double radius) const override {
            largestBlur = std::max(largestBlur, src.pixels.size());
            return QtImaging::gaussianBlur(src, radius);
        }
    } counting;
    platform().imaging = &counting;
    blend("高斯模糊");
    settings().watermarkOpacity = 0.9f;
    struct Case {
        int markW, markH, frameW, frameH;
    };
    // A tall mark over a wide frame, a wide one over a tall frame (cover
    // rectangles 64 and 43 times the frame, at fractional offsets), and a
    // mark that overflows by less than the blur reaches.
    for (const Case c : {Case{7, 300, 30, 20}, Case{300, 7, 20, 30}, Case{50, 50, 60, 40}}) {
        SCOPED_TRACE(::testing::Message() << c.markW << "x" << c.markH << " over " << c.frameW << "x" << c.frameH);
        Bitmap m(c.markW, c.markH);
        for (int y = 0; y < c.markH; ++y)
            for (int x = 0; x < c.markW; ++x) m.at(x, y) = argb(128 + (x * 7 + y) % 128, x * 37 % 256, y % 256, 90);
        Image mark = shared(m);
        Image base = shared(solid(c.frameW, c.frameH, argb(255, 20, 40, 60)));
        counting.largestBlur = 0;
        FrameRecipe recipe =
            processor().applyWatermark(mark, FrameRecipe{base, {}}, {double(c.frameW), double(c.frameH)});
        Bitmap frame = renderFrame(recipe, c.frameW, c.frameH);

        // The same picture as placing, blurring and drawing the whole mark.
        const Rect r = recipe.layers.at(0).placement;
        Bitmap placed(int(std::lround(r.width)), int(std::lround(r.height)));
        imaging_.draw(placed, *mark, {0, 0, double(placed.width), double(placed.height)}, BlendMode::Normal, 1);
        const Bitmap blurred = imaging_.gaussianBlur(placed, 10);
        const int spread = imaging_.blurSpread(10);
        Bitmap expected = *base;
        imaging_.draw(expected, blurred, {r.x - spread, r.y - spread, double(blurred.width), double(blurred.height)},
                      BlendMode::Normal, 0.9 * 0.7);
        EXPECT_EQ(frame.pixels, expected.pixels);
        // ... from no more than the frame and the blur's reach around it.
        const size_t reach = 2 * size_t(spread + 3);
        EXPECT_LE(counting.largestBlur, (c.frameW + reach) * (c.frameH + reach));
    }
}

}  // namespace
}  // namespace plinthora::testing
