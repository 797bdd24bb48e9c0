// Where a picture lands in a shell, the same table for a screenshot and for
// a recording's frames: every template form, and what the two roads each do
// without one.
#include "PixelTestSupport.h"
#include "TestWorld.h"

#include "compositing/SRAssetResolver.h"
#include "compositing/ShellOutside.h"
#include "platform/linux/QtImaging.h"

namespace plinthora::testing {
namespace {

constexpr uint32_t kBlue = 0xff0000ff;
constexpr uint32_t kRed = 0xffff0000;
const std::string kMovie = "/recordings/one.mp4";

class ShellPlacementTest : public WorldTest {
protected:
    Imaging* imaging() override { return &imaging_; }
    void SetUp() override {
        WorldTest::SetUp();
        world_.screen.pointSize = {30, 60};
        world_.screen.pixelScale = 1;
        settings().recShellEnabled = true;
    }

    void putShell(const Bitmap& b, const std::string& cfg) {
        const std::string base = std::string(kShellFolder) + "/frame";
        world_.fs.removeItem(base + ".cfg");
        world_.fs.put(base + ".png", pngOf(b));
        if (!cfg.empty()) world_.fs.put(base + ".cfg", cfg);
    }
    // The framed screenshot of a solid 30 × 60 picture.
    Image still(uint32_t colour = kBlue) {
        world_.photos.assets.clear();
        world_.photos.add(MediaType::Image, 30, 60, 3, pngOf(solid(30, 60, colour)));
        SRUnifiedProcessor::sharedInstance().processScreenshotWithRetry(false);
        world_.time.advance(10);
        for (const auto& s : world_.photos.assets)
            if (s.image) return s.image;
        return nullptr;
    }
    // Frame 0 of a 30 × 60 recording of the same picture.
    Bitmap movieFrame(uint32_t colour = kBlue) {
        world_.video.exports.clear();
        world_.video.movies[kMovie] = MovieInfo{true, {30, 60}, {}, 2.0, false};
        SRUnifiedProcessor::sharedInstance().processVideoWithURL(kMovie, Asset{"rec", MediaType::Video, 0, 0, 0});
        Bitmap out;
        if (world_.video.exports.empty()) return out;
        world_.video.exports.back().request.frameHandler(solid(30, 60, colour), out, 0, {});
        return out;
    }

    linux_platform::QtImaging imaging_;
};

// A 40 × 80 shell: a 2-pixel red bezel around a clear screen.
Bitmap bezelShell() {
    Bitmap b(40, 80);
    for (int y = 0; y < 80; ++y)
        for (int x = 0; x < 40; ++x)
            if (x < 2 || y < 2 || x >= 38 || y >= 78) b.at(x, y) = kRed;
    return b;
}

// Every pixel of the screen is the picture where its centre lies a pixel
// inside `r`, and clear where it lies a pixel outside.
void expectPlaced(const Bitmap& out, const Rect& r) {
    ASSERT_EQ(out.width, 40);
    ASSERT_EQ(out.height, 80);
    int checked = 0;
    for (int y = 2; y < 78; ++y)
        for (int x = 2; x < 38; ++x) {
            const double cx = x + 0.5, cy = y + 0.5;
            const bool in = cx > r.x + 1 && cx < r.x + r.width - 1 && cy > r.y + 1 && cy < r.y + r.height - 1;
            const bool out_ = cx < r.x - 1 || cx > r.x + r.width + 1 || cy < r.y - 1 || cy > r.y + r.height + 1;
            if (!in && !out_) continue;
            ASSERT_EQ(out.at(x, y), in ? kBlue : 0u) << x << "," << y;
            ++checked;
        }
    EXPECT_GT(checked, 0);
    EXPECT_EQ(out.at(0, 0), kRed);
}

TEST_F(ShellPlacementTest, BothRoadsPlaceThePictureByTheTemplate) {
    struct Case {
        const char* what;
        std::string cfg;
        Rect still, movie;
    };
    const Rect all{0, 0, 40, 80};
    const std::vector<Case> cases = {
        {"corner form",
         R"({"template_width":40,"template_height":80,"left_top_x":5,"left_top_y":5,"right_top_x":15,
             "right_top_y":5,"left_bottom_x":5,"left_bottom_y":25,"right_bottom_x":15,"right_bottom_y":25})",
         {5, 5, 10, 20},
         {5, 5, 10, 20}},
        {"rectangle form, measured at half size",
         R"({"template_width":20,"template_height":40,"x":4,"y":3,"width":8,"height":12})",
         {8, 6, 16, 24},
         {8, 6, 16, 24}},
        {"rectangle form without a template size: measured on the shell",
         R"({"x":6,"y":9,"width":20,"height":30})",
         {6, 9, 20, 30},
         {6, 9, 20, 30}},
        {"rectangle form with a zero template height: measured on the shell",
         R"({"template_width":20,"template_height":0,"x":6,"y":9,"width":20,"height":30})",
         {6, 9, 20, 30},
         {6, 9, 20, 30}},
        // Without a template a screenshot is fitted to the canvas, a
        // recording takes the default quad (85 % of the width, centred).
        {"no template", "", all, {3, 6, 34, 68}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        putShell(bezelShell(), c.cfg);
        const Image s = still();
        ASSERT_TRUE(s);
        {
            SCOPED_TRACE("screenshot");
            expectPlaced(*s, c.still);
        }
        SCOPED_TRACE("recording");
        expectPlaced(movieFrame(), c.movie);
    }
}

// How much of pixel (x, y) a rounded rectangle covers, in 1/16ths.
int covered(int x, int y, const Rect& r, double radius) {
    int n = 0;
    for (int i = 0; i < 4; ++i)
        for (int j = 0; j < 4; ++j) {
            const double px = x + (i + 0.5) / 4, py = y + (j + 0.5) / 4;
            const double dx = std::max({r.x + radius - px, px - (r.x + r.width - radius), 0.0});
            const double dy = std::max({r.y + radius - py, py - (r.y + r.height - radius), 0.0});
            n += px > r.x && px < r.x + r.width && py > r.y && py < r.y + r.height &&
                 dx * dx + dy * dy <= radius * radius;
        }
    return n;
}

// A 40 × 80 phone: a grey body with soft rounded corners on clear
// surroundings, and a rounded clear screen in it.
const Rect kBody{2, 2, 36, 76}, kScreen{4, 4, 32, 72};
Bitmap phoneShell() {
    Bitmap b(40, 80);
    for (int y = 0; y < 80; ++y)
        for (int x = 0; x < 40; ++x) {
            const int body = covered(x, y, kBody, 10), screen = covered(x, y, kScreen, 8);
            const int a = (std::max(body - screen, 0) * 255 + 8) / 16;
            b.at(x, y) = argb(a, 90, 90, 90);
        }
    return b;
}

TEST_F(ShellPlacementTest, NothingOfThePictureShowsOutsideTheDevice) {
    // Templates that put the screen at the body's bounding box, which the
    // body's rounded corners leave clear: in every road the picture stops at
    // the device, which is the shell alone outside; inside, the screen is
    // the picture.
    const Bitmap shell = phoneShell();
    const std::string rectangle = R"({"x":2,"y":2,"width":36,"height":76})";
    const std::string corners = R"({"template_width":40,"template_height":80,"left_top_x":2,"left_top_y":2,)"
                                R"("right_top_x":38,"right_top_y":2,"left_bottom_x":2,"left_bottom_y":78,)"
                                R"("right_bottom_x":38,"right_bottom_y":78})";
    for (const std::string& cfg : {rectangle, corners, std::string()}) {
        SCOPED_TRACE(cfg);
        putShell(shell, cfg);
        Bitmap frame = movieFrame();
        for (const Bitmap* out : {still().get(), static_cast<const Bitmap*>(&frame)}) {
            ASSERT_TRUE(out);
            ASSERT_EQ(out->width, 40);
            int outsideInQuad = 0;
            for (int y = 0; y < 80; ++y)
                for (int x = 0; x < 40; ++x) {
                    if (covered(x, y, kBody, 10) < 16) {
                        ASSERT_EQ(out->at(x, y), shell.at(x, y)) << x << "," << y;
                        outsideInQuad += x >= 2 && x < 38 && y >= 2 && y < 78;
                    }
                    if (covered(x, y, {kScreen.x + 1, kScreen.y + 1, 30, 70}, 7) == 16 && !cfg.empty()) {
                        ASSERT_EQ(out->at(x, y), kBlue) << x << "," << y;
                    }
                }
            EXPECT_GT(outsideInQuad, 40) << "the corners of the body's box lie outside it";
        }
    }

    // A shell whose screen is open at an edge (a bar across the top) keeps
    // the picture in its whole quad, clear surroundings and all.
    Bitmap bar(40, 80);
    for (int y = 0; y < 6; ++y)
        for (int x = 0; x < 40; ++x) bar.at(x, y) = kRed;
    putShell(bar, rectangle);
    const Image open = still();
    const Bitmap openFrame = movieFrame();
    for (const Bitmap* out : {open.get(), &openFrame}) {
        EXPECT_EQ(out->at(2, 77), kBlue);
        EXPECT_EQ(out->at(37, 40), kBlue);
        EXPECT_EQ(out->at(1, 40), 0u);
    }
}

TEST_F(ShellPlacementTest, TheOutsideIsWorkedOutOncePerVersionOfTheFile) {
    const std::string path = std::string(kShellFolder) + "/frame.png";
    const Bitmap shell = phoneShell();
    putShell(shell, "");
    const auto first = outsideOfShellFile(path, shell);
    EXPECT_EQ(outsideOfShellFile(path, shell), first) << "unchanged file: kept";
    EXPECT_TRUE(first->contains(0, 0));
    EXPECT_TRUE(first->contains(2, 2)) << "the body's clear corner";
    EXPECT_FALSE(first->contains(20, 40)) << "the screen";
    EXPECT_FALSE(first->contains(3, 40)) << "the bezel";
    putShell(bezelShell(), "");
    const auto second = outsideOfShellFile(path, bezelShell());
    EXPECT_NE(second, first) << "rewritten: worked out again";
    EXPECT_FALSE(second->contains(0, 0)) << "an opaque border lets nothing in";
    EXPECT_NE(outsideOfShellFile(std::nullopt, shell), outsideOfShellFile(std::nullopt, shell))
        << "no file, nothing kept";
}

}  // namespace
}  // namespace plinthora::testing
