// The recording pipeline on the fake video port: what preparation decides,
// what the export is asked for and what becomes of it, and the pixels the
// frame handler makes, frame after frame, with settings changing under it.
#include "CommaLocale.h"
#include "PixelTestSupport.h"
#include "TestWorld.h"

#include "compositing/SRAssetResolver.h"
#include "platform/linux/QtImaging.h"

#include <atomic>
#include <thread>

namespace plinthora::testing {
namespace {

constexpr uint32_t kRed = 0xffff0000;
constexpr uint32_t kBlue = 0xff0000ff;
const std::string kMovie = "/recordings/one.mp4";

// Counts blurs, so a test can tell work done per frame from work done once.
class CountingImaging : public linux_platform::QtImaging {
public:
    Bitmap gaussianBlur(const Bitmap& src, double radius) const override {
        ++blurs;
        return QtImaging::gaussianBlur(src, radius);
    }
    mutable std::atomic<int> blurs{0};
};

class RecordingPipelineTest : public WorldTest {
protected:
    Imaging* imaging() override { return &imaging_; }
    SRUnifiedProcessor& processor() { return SRUnifiedProcessor::sharedInstance(); }

    void movie(Size natural, AffineTransform t = {}, bool hasVideo = true) {
        world_.video.movies[kMovie] = MovieInfo{hasVideo, natural, t, 2.0, true};
    }
    // A w × h shell: a 2-pixel red frame around a transparent hole, with a
    // corner template that puts the picture exactly into the hole.
    void shell(int w, int h, const char* folder = kShellFolder) {
        Bitmap b(w, h);
        for (int y = 0; y < h; ++y)
            for (int x = 0; x < w; ++x)
                if (x < 2 || y < 2 || x >= w - 2 || y >= h - 2) b.at(x, y) = kRed;
        const std::string base = std::string(folder) + "/frame";
        world_.fs.put(base + ".png", pngOf(b));
        char cfg[256];
        std::snprintf(cfg, sizeof cfg,
                      R"({"template_width":%d,"template_height":%d,"left_top_x":2,"left_top_y":2,)"
                      R"("right_top_x":%d,"right_top_y":2,"left_bottom_x":2,"left_bottom_y":%d,)"
                      R"("right_bottom_x":%d,"right_bottom_y":%d})",
                      w, h, w - 2, h - 2, w - 2, h - 2);
        world_.fs.put(base + ".cfg", cfg);
    }
    void watermark(const Bitmap& b) { world_.fs.put(std::string(kWatermarkFolder) + "/mark.png", pngOf(b)); }
    void blend(const char* name) { settings().setWatermarkBlendMode(std::make_shared<const std::string>(name)); }
    void run() { processor().processVideoWithURL(kMovie, Asset{"rec-1", MediaType::Video, 0, 0, 0}); }
    // One output frame of the last export.
    Bitmap frame(const Bitmap& source, int64_t k = 0) {
        Bitmap out;
        world_.video.exports.back().request.frameHandler(source, out, k, {});
        return out;
    }

    CountingImaging imaging_;
};

TEST_F(RecordingPipelineTest, PreparationDecidesWhetherTheRecordingIsTouched) {
    struct Case {
        const char* what;
        bool shellOn, markOn, video, shellFile, markFile;
        int exports;  // 0 or 1
        int renderWidth, renderHeight;
    };
    const std::vector<Case> cases = {
        {"both switches off", false, false, true, true, true, 0, 0, 0},
        {"no video track", true, true, false, true, true, 0, 0, 0},
        {"shell on but no shell: untouched even with a watermark", true, true, true, false, true, 0, 0, 0},
        {"shell on with a shell: the shell's size", true, false, true, true, false, 1, 40, 80},
        {"watermark only, no watermark file: re-encoded as it is", false, true, true, true, false, 1, 36, 76},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        for (const char* f : {"/frame.png", "/frame.cfg"}) world_.fs.removeItem(std::string(kShellFolder) + f);
        world_.fs.removeItem(std::string(kWatermarkFolder) + "/mark.png");
        world_.video.exports.clear();
        world_.video.openCount = 0;
        settings().recShellEnabled = c.shellOn;
        settings().recWatermarkEnabled = c.markOn;
        movie({36, 76}, {}, c.video);
        if (c.shellFile) shell(40, 80);
        if (c.markFile) watermark(solid(4, 4, kBlue));
        run();
        EXPECT_EQ(world_.video.openCount, c.shellOn || c.markOn ? 1 : 0) << "both off: the movie is not even opened";
        ASSERT_EQ(int(world_.video.exports.size()), c.exports);
        if (c.exports) {
            EXPECT_EQ(world_.video.exports[0].request.renderWidth, c.renderWidth);
            EXPECT_EQ(world_.video.exports[0].request.renderHeight, c.renderHeight);
            EXPECT_EQ(world_.video.exports[0].request.framesPerSecond, 30);
        }
    }
}

TEST_F(RecordingPipelineTest, OrientationThroughTheTransformPicksTheShell) {
    shell(40, 80);
    shell(90, 50, kLandscapeShellFolder);
    const AffineTransform quarterTurn{0, 1, -1, 0, 76, 0};
    struct Case {
        const char* what;
        Size natural;
        AffineTransform t;
        int renderWidth;
    };
    const std::vector<Case> cases = {
        {"stored sideways, turned upright: portrait", {76, 36}, quarterTurn, 40},
        {"stored and shown wide: landscape", {76, 36}, {}, 90},
        {"square counts as portrait", {50, 50}, {}, 40},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        movie(c.natural, c.t);
        run();
        EXPECT_EQ(world_.video.exports.back().request.renderWidth, c.renderWidth);
    }
    // The sideways one is framed upright: a 36 × 76 picture fills the hole.
    movie({76, 36}, quarterTurn);
    run();
    Bitmap out = frame(solid(36, 76, kBlue));
    EXPECT_EQ(out.at(20, 40), kBlue);
    EXPECT_EQ(out.at(2, 2), kBlue);
    EXPECT_EQ(out.at(1, 1), kRed);
}

TEST_F(RecordingPipelineTest, TheExportIsNamedByTheClockAndDeliveredOnlyWhenItCompletes) {
    settings().recShellEnabled = false;
    settings().recWatermarkEnabled = true;
    movie({36, 76});
    world_.time.setWallOffset(1700000000.5);
    // A desktop with a decimal comma still gets the C locale's name.
    ASSERT_TRUE(useCommaLocale());
    run();
    std::setlocale(LC_ALL, "C");
    EXPECT_EQ(world_.video.exports.back().request.outputPath, "/tmp/SR_1700000000.500000.mp4");
    EXPECT_EQ(world_.video.exports.back().request.sourcePath, kMovie);
    world_.time.advance(10);
    settings().deleteOriginal = true;

    struct Case {
        const char* what;
        ExportStatus outcome;
        bool cancel;
        size_t delivered;
    };
    const std::vector<Case> cases = {
        {"completed", ExportStatus::Completed, false, 1},
        {"failed, leaving a partial file", ExportStatus::Failed, false, 0},
        {"cancelled", ExportStatus::Completed, true, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        world_.photos.videoPaths.clear();
        world_.video.outcome = c.outcome;
        world_.video.partialBytes = "half a movie";
        world_.time.advance(1);
        run();
        const std::string out = world_.video.exports.back().request.outputPath;
        if (c.cancel) world_.video.exports.back().session->cancel();
        world_.time.advance(10);
        EXPECT_EQ(world_.photos.videoPaths.size(), c.delivered);
        EXPECT_FALSE(world_.fs.exists(out)) << "the temporary movie is gone whatever the outcome";
    }
    // Deletion was on for the three cases; only the completed one may
    // touch the original.
    EXPECT_EQ(world_.photos.deleted, std::vector<std::string>{"rec-1"});
}

TEST_F(RecordingPipelineTest, FramesFollowTheLiveSettingsAndMatchTheStillPath) {
    shell(40, 80);
    // A mark with soft edges and a see-through middle, so every blend and
    // the blur show.
    Bitmap mark(8, 8);
    for (int y = 0; y < 8; ++y)
        for (int x = 0; x < 8; ++x) mark.at(x, y) = (x + y) % 3 ? argb(200, 20, 240, 60) : 0u;
    watermark(mark);
    settings().recWatermarkEnabled = true;
    movie({36, 76});
    run();
    Image placedMark = imaging_.decode(pngOf(mark));
    Bitmap source(36, 76);
    for (int y = 0; y < 76; ++y)
        for (int x = 0; x < 36; ++x) source.at(x, y) = argb(255, x * 7, y * 3, 128);
    const Image sourceImage = shared(source);

    // What the same layers give when drawn the plain way, frame by frame.
    auto reference = [&](int32_t mode, bool shellOn) {
        FrameRecipe content{sourceImage, {}};
        if (mode == SRWatermarkModeContentArea) content = processor().applyWatermark(placedMark, content, {36, 76});
        Bitmap canvas(40, 80);
        if (shellOn) {
            const Image shellImage = imaging_.decode(*world_.fs.readFile(std::string(kShellFolder) + "/frame.png"));
            canvas = imaging_.perspectiveUnder(renderFrame(content, 36, 76), Quad{{2, 2}, {38, 2}, {2, 78}, {38, 78}},
                                               *shellImage);
        } else {
            // The frame sits at the bottom left of the shell-sized canvas,
            // and what its mark overflows stays inside the canvas.
            imaging_.draw(canvas, source, {0, 4, 36, 76}, BlendMode::Normal, 1.0);
            content.background = shared(canvas);
            for (WatermarkLayer& l : content.layers) l.placement.y += 4;
            canvas = renderFrame(content, 40, 80);
        }
        if (mode == SRWatermarkModeFullCanvas)
            return renderFrame(processor().applyWatermark(placedMark, FrameRecipe{shared(canvas), {}}, {40, 80}), 40,
                               80);
        return canvas;
    };

    struct Case {
        const char* what;
        bool shellOn;
        int32_t mode;
        const char* blend;
        float opacity;
    };
    const std::vector<Case> cases = {
        {"full canvas, normal", true, SRWatermarkModeFullCanvas, "正常", 1.0f},
        {"content area, screen", true, SRWatermarkModeContentArea, "滤色", 0.6f},
        {"full canvas, blur", true, SRWatermarkModeFullCanvas, "高斯模糊", 1.0f},
        {"content area, blur", true, SRWatermarkModeContentArea, "高斯模糊", 0.5f},
        {"shell switched off mid-export, content area", false, SRWatermarkModeContentArea, "叠加", 1.0f},
        {"no watermark mode", true, 3, "正常", 1.0f},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        settings().recShellEnabled = c.shellOn;
        settings().watermarkMode = c.mode;
        settings().watermarkOpacity = c.opacity;
        blend(c.blend);
        const int blursBefore = imaging_.blurs;
        const Bitmap expected = reference(c.mode, c.shellOn);
        // Frames on several threads at once, as the platform renders them.
        std::vector<Bitmap> outs(6);
        std::vector<std::thread> threads;
        for (int k = 0; k < 6; ++k) threads.emplace_back([&, k] { outs[k] = frame(source, k); });
        for (auto& t : threads) t.join();
        for (const Bitmap& out : outs) {
            ASSERT_EQ(out.width, 40);
            ASSERT_EQ(out.height, 80);
            EXPECT_EQ(out.pixels, expected.pixels);
        }
        if (std::string(c.blend) == "高斯模糊") {
            EXPECT_EQ(imaging_.blurs - blursBefore, 2) << "one blur for the reference, one for the whole export";
        }
    }
    // The blurred layer outlives an opacity change: it is made without it.
    settings().watermarkMode = SRWatermarkModeContentArea;
    settings().recShellEnabled = true;
    settings().watermarkOpacity = 0.2f;
    blend("高斯模糊");
    const int blursBefore = imaging_.blurs;
    EXPECT_EQ(frame(source).pixels, reference(SRWatermarkModeContentArea, true).pixels);
    EXPECT_EQ(imaging_.blurs - blursBefore, 1);
}

}  // namespace
}  // namespace plinthora::testing
