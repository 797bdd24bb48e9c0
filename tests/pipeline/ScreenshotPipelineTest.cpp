#include "PixelTestSupport.h"
#include "TestWorld.h"

#include "compositing/SRAssetResolver.h"
#include "platform/linux/QtImaging.h"

namespace plinthora::testing {
namespace {

constexpr uint32_t kBlue = 0xff0000ff;
constexpr uint32_t kRed = 0xffff0000;

// Screen 30 × 60 points at scale 1: screenshots of 24–36 × 48–72 pixels
// pass the size test.
class ScreenshotPipelineTest : public WorldTest {
protected:
    Imaging* imaging() override { return &imaging_; }
    void SetUp() override {
        WorldTest::SetUp();
        world_.screen.pointSize = {30, 60};
        world_.screen.pixelScale = 1;
    }

    Asset screenshot(int w = 30, int h = 60, double age = 3, uint32_t colour = kBlue) {
        return world_.photos.add(MediaType::Image, w, h, age, pngOf(solid(w, h, colour)));
    }
    // A 40 × 80 shell: a 2-pixel red frame around a transparent inside.
    void shell(const std::string& cfg, const char* folder = kShellFolder) {
        Bitmap b(40, 80);
        for (int y = 0; y < 80; ++y)
            for (int x = 0; x < 40; ++x)
                if (x < 2 || y < 2 || x >= 38 || y >= 78) b.at(x, y) = kRed;
        world_.fs.put(std::string(folder) + "/frame.png", pngOf(b));
        if (!cfg.empty()) world_.fs.put(std::string(folder) + "/frame.cfg", cfg);
    }
    void watermark(uint32_t colour, int w = 10, int h = 10) {
        world_.fs.put(std::string(kWatermarkFolder) + "/mark.png", pngOf(solid(w, h, colour)));
    }
    void trigger() { SRUnifiedProcessor::sharedInstance().processScreenshotWithRetry(false); }
    bool processing() { return SRUnifiedProcessor::sharedInstance().screenshotProcessingForTesting(); }
    // Lets pending library changes complete.
    void settle() { world_.time.advance(0.5); }
    // The images the library received from delivery.
    std::vector<Image> saved() {
        std::vector<Image> out;
        for (const auto& s : world_.photos.assets)
            if (s.image) out.push_back(s.image);
        return out;
    }

    linux_platform::QtImaging imaging_;
};

TEST_F(ScreenshotPipelineTest, TriggersWithinTheDebounceGiveOneRun) {
    screenshot();
    trigger();
    world_.time.advance(1.0);
    trigger();
    world_.time.advance(0.79);
    trigger();
    EXPECT_EQ(world_.photos.fetchCount, 1);
    settle();
    EXPECT_EQ(saved().size(), 1u);

    // Dropped triggers did not move the reference: at 2.29 s, 1.8 s after
    // the accepted one, a trigger is accepted again.
    trigger();
    EXPECT_EQ(world_.photos.fetchCount, 2);
    world_.time.advance(10);

    // The six triggers of a new screenshot, whose run holds the main queue
    // longer than the debounce (a slow compose under load): the calls that
    // came due meanwhile run late but count from when they were due, so the
    // screenshot is searched for once and delivered once.
    screenshot();
    world_.photos.requestSeconds = 3;
    const int fetches = world_.photos.fetchCount;
    for (double delay : {2.0, 2.0, 2.5, 2.5, 2.5, 2.5}) scheduleScreenshotProcessing(delay);
    world_.time.advance(10);
    EXPECT_EQ(world_.photos.fetchCount, fetches + 1);
    EXPECT_EQ(saved().size(), 2u);
    EXPECT_FALSE(processing());
}

TEST_F(ScreenshotPipelineTest, OneRetryOneAndAHalfSecondsLater) {
    trigger();
    EXPECT_TRUE(processing());
    EXPECT_EQ(world_.time.pendingDelays(), std::vector<double>{1.5});
    world_.time.advance(1.499);
    EXPECT_EQ(world_.photos.fetchCount, 1);
    world_.time.advance(0.001);
    EXPECT_EQ(world_.photos.fetchCount, 2);
    // The retry gave up too: the run is over, nothing else is scheduled.
    EXPECT_FALSE(processing());
    EXPECT_EQ(world_.time.pendingCount(), 0u);
}

TEST_F(ScreenshotPipelineTest, RetryFindsTheLateScreenshot) {
    trigger();
    world_.time.advance(1.0);
    screenshot();
    world_.time.advance(0.5);
    settle();
    EXPECT_EQ(saved().size(), 1u);
    EXPECT_FALSE(processing());
}

TEST_F(ScreenshotPipelineTest, SizeTestBoundsAreInclusiveAndNeverSwapped) {
    struct Case {
        int w, h;
        bool taken;
    };
    const std::vector<Case> cases = {
        {24, 48, true},  {36, 72, true},  {30, 60, true},  {23, 60, false},
        {37, 60, false}, {30, 47, false}, {30, 73, false}, {60, 30, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::to_string(c.w) + "x" + std::to_string(c.h));
        world_.photos.assets.clear();
        world_.photos.fetchCount = 0;
        screenshot(c.w, c.h);
        trigger();
        settle();
        EXPECT_EQ(saved().size(), c.taken ? 1u : 0u);
        world_.time.advance(10);  // past any retry and the debounce
    }
}

TEST_F(ScreenshotPipelineTest, ScreenSizeTimesScaleIsTheReference) {
    world_.screen.pointSize = {390, 844};
    world_.screen.pixelScale = 3;
    settings().ssShellEnabled = false;
    settings().ssWatermarkEnabled = true;                     // nothing to draw: delivered as it is
    world_.photos.add(MediaType::Image, 2532, 1170, 1, "x");  // landscape: fails the size test
    const Asset fits = world_.photos.add(MediaType::Image, 936, 3038, 2, pngOf(solid(2, 2, kBlue)));
    trigger();
    settle();
    EXPECT_TRUE(isRecentlyHandled(fits.localIdentifier));
    EXPECT_EQ(saved().size(), 1u);
}

TEST_F(ScreenshotPipelineTest, AgeLimitIsThirtySeconds) {
    for (auto [age, taken] : {std::pair{30.0, true}, std::pair{30.001, false}}) {
        SCOPED_TRACE(age);
        world_.photos.assets.clear();
        screenshot(30, 60, age);
        trigger();
        settle();
        EXPECT_EQ(saved().size(), taken ? 1u : 0u);
        world_.time.advance(10);
    }
}

TEST_F(ScreenshotPipelineTest, SkipsOwnResultAndRecentlyHandledAssets) {
    const Asset older = screenshot(30, 60, 5, kRed);
    const Asset stamped = screenshot(30, 60, 4);
    const Asset ours = screenshot(30, 60, 3);
    setLastSavedAssetIdentifier(ours.localIdentifier);
    // A result of an earlier run, neither stamped nor the last saved: the
    // library knows it as ours.
    screenshot(30, 60, 2);
    world_.photos.assets.back().asset.ownResult = true;
    recordRecentAssetIdentifier(stamped.localIdentifier);
    settings().ssShellEnabled = false;
    settings().ssWatermarkEnabled = true;

    trigger();
    settle();
    ASSERT_EQ(saved().size(), 1u);
    EXPECT_EQ(saved()[0]->at(0, 0), kRed);  // the older one was taken
    EXPECT_TRUE(isRecentlyHandled(older.localIdentifier));
}

TEST_F(ScreenshotPipelineTest, BothFeaturesOffDoesNothing) {
    screenshot();
    settings().ssShellEnabled = false;
    settings().ssWatermarkEnabled = false;
    trigger();
    EXPECT_EQ(world_.photos.fetchCount, 0);
    EXPECT_FALSE(processing());
}

TEST_F(ScreenshotPipelineTest, RetryAfterBothFeaturesWentOffEndsTheRun) {
    trigger();
    EXPECT_TRUE(processing());
    settings().ssShellEnabled = false;
    world_.time.advance(1.5);
    EXPECT_FALSE(processing());
    // And screenshots are processed again once a feature is back on.
    settings().ssShellEnabled = true;
    world_.time.advance(1);
    screenshot();
    trigger();
    settle();
    EXPECT_EQ(saved().size(), 1u);
}

TEST_F(ScreenshotPipelineTest, UndecodableScreenshotEndsWithoutRetry) {
    world_.photos.add(MediaType::Image, 30, 60, 1, "not an image");
    trigger();
    EXPECT_FALSE(processing());
    EXPECT_EQ(world_.time.pendingCount(), 0u);
}

TEST_F(ScreenshotPipelineTest, TemplateThatIsNotAnObjectLeavesTheScreenshotAlone) {
    const Asset a = screenshot();
    shell("[1, 2, 3]");
    settings().deleteOriginal = true;
    trigger();
    settle();
    EXPECT_FALSE(processing());
    EXPECT_TRUE(saved().empty());
    EXPECT_TRUE(world_.photos.deleted.empty());
    EXPECT_EQ(world_.photos.assets.size(), 1u);
    EXPECT_EQ(world_.photos.assets[0].asset.localIdentifier, a.localIdentifier);
}

TEST_F(ScreenshotPipelineTest, PlacementsFollowTheTemplateForm) {
    struct Case {
        const char* what;
        std::string cfg;
        std::vector<std::pair<Point, uint32_t>> expect;  // pixel → colour
    };
    const std::vector<Case> cases = {
        {"corner form",
         R"({"template_width":40,"template_height":80,"left_top_x":5,"left_top_y":5,"right_top_x":15,
             "right_top_y":5,"left_bottom_x":5,"left_bottom_y":25,"right_bottom_x":15,"right_bottom_y":25})",
         {{{10, 15}, kBlue}, {{30, 60}, 0}, {{0, 0}, kRed}}},
        {"corner form with the default quad",
         R"({"left_top_x":1})",
         // 85 % of the width, centred: x from 3 to 37.
         {{{20, 40}, kBlue}, {{2.5, 40}, 0}, {{39, 40}, kRed}}},
        {"rectangle form, stretched",
         R"({"template_width":20,"template_height":40,"x":5,"y":5,"width":5,"height":2.5})",
         {{{15, 12}, kBlue}, {{25, 12}, 0}, {{15, 18}, 0}}},
        {"rectangle form without template size: measured on the shell",
         R"({"x":5,"y":5,"width":5,"height":5})",
         {{{7, 7}, kBlue}, {{30, 60}, 0}, {{20, 77}, 0}}},
        {"no template: fit", "", {{{30, 60}, kBlue}, {{1, 1}, kRed}}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        world_.fs.removeItem(std::string(kShellFolder) + "/frame.cfg");
        world_.photos.assets.clear();
        shell(c.cfg);
        screenshot();
        trigger();
        settle();
        auto out = saved();
        ASSERT_EQ(out.size(), 1u);
        EXPECT_EQ(out[0]->width, 40);
        EXPECT_EQ(out[0]->height, 80);
        for (auto [pt, colour] : c.expect) EXPECT_EQ(out[0]->at(int(pt.x), int(pt.y)), colour) << pt.x << "," << pt.y;
        world_.time.advance(10);
    }
}

TEST_F(ScreenshotPipelineTest, WatermarkModes) {
    shell(R"({"template_width":40,"template_height":80,"x":10,"y":10,"width":10,"height":20})");
    watermark(0xff00ff00);
    settings().ssWatermarkEnabled = true;
    settings().watermarkOpacity = 0.5f;
    struct Case {
        int mode;
        uint32_t inScreen, onFrame;
    };
    const uint32_t blueGreen = 0xff008080, redGreen = 0xff808000;
    for (const Case& c :
         {Case{1, blueGreen, redGreen}, Case{2, blueGreen, kRed}, Case{0, kBlue, kRed}, Case{3, kBlue, kRed}}) {
        SCOPED_TRACE(c.mode);
        settings().watermarkMode = c.mode;
        world_.photos.assets.clear();
        screenshot();
        trigger();
        settle();
        auto out = saved();
        ASSERT_EQ(out.size(), 1u);
        auto near = [](uint32_t a, uint32_t b) {
            return std::abs(redOf(a) - redOf(b)) <= 2 && std::abs(greenOf(a) - greenOf(b)) <= 2 &&
                   std::abs(blueOf(a) - blueOf(b)) <= 2 && alphaOf(a) == alphaOf(b);
        };
        EXPECT_TRUE(near(out[0]->at(15, 20), c.inScreen)) << std::hex << out[0]->at(15, 20);
        EXPECT_TRUE(near(out[0]->at(0, 0), c.onFrame)) << std::hex << out[0]->at(0, 0);
        world_.time.advance(10);
    }
}

TEST_F(ScreenshotPipelineTest, LandscapeWithoutLandscapeShellIsDeliveredUnchanged) {
    world_.screen.pointSize = {60, 30};
    shell("");  // portrait shells only
    screenshot(60, 30);
    trigger();
    settle();
    auto out = saved();
    ASSERT_EQ(out.size(), 1u);
    EXPECT_EQ(out[0]->width, 60);
    EXPECT_EQ(out[0]->at(30, 15), kBlue);
}

TEST_F(ScreenshotPipelineTest, UndecodableShellCountsAsNoShell) {
    world_.fs.put(std::string(kShellFolder) + "/broken.png", "no pixels here");
    screenshot();
    trigger();
    settle();
    auto out = saved();
    ASSERT_EQ(out.size(), 1u);
    EXPECT_EQ(out[0]->width, 30);
}

}  // namespace
}  // namespace plinthora::testing
