// A perspective plan must give, frame after frame and on any number of
// threads, exactly the pixels perspectiveUnder() gives for each frame alone,
// and with a layer, those pixels with the layer drawn over them.
#include "synth/Pictures.h"

#include "platform/linux/QtImaging.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <mutex>
#include <string>
#include <thread>

using namespace plinthora;
using namespace plinthora::imaging_test;
using plinthora::linux_platform::QtImaging;

namespace {

// An opaque body with a soft (partly drawn) ring around a clear hole, and
// specks in the hole that split its rows into runs.
Bitmap speckledShell(int w, int h) {
    Bitmap s(w, h, 3.0);
    std::mt19937 rng(5);
    std::uniform_int_distribution<int> chance(0, 60);
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) {
            const bool hole = x >= 24 && x < w - 24 && y >= 24 && y < h - 24;
            const bool ring = x >= 20 && x < w - 20 && y >= 20 && y < h - 20;
            uint32_t p = premultiplied(255, 40 + x % 50, 60, 90 + y % 100);
            if (hole)
                p = chance(rng) == 0   ? premultiplied(255, 10, 200, 30)
                    : chance(rng) == 0 ? premultiplied(90, 200, 0, 0)
                                       : 0;
            else if (ring)
                p = premultiplied(60 + (x * 7 + y) % 190, 200, 30, 170);
            s.at(x, y) = p;
        }
    return s;
}

// A layer clear in stretches, some longer than a plan skips and some
// shorter, as a watermark over the canvas is.
Bitmap layerWithClearStretches(int w, int h, uint32_t seed) {
    Bitmap b = randomBitmap(w, h, seed);
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x)
            if ((x + 3 * y) % 50 < 25 || x % 9 == 0) b.at(x, y) = 0;
    return b;
}

TEST(ImagingPlan, FramesThroughAPlanMatchPerspectiveUnder) {
    QtImaging img;
    const Image shell = std::make_shared<const Bitmap>(speckledShell(140, 220));
    std::vector<Bitmap> frames;
    for (uint32_t seed = 1; seed <= 4; ++seed) frames.push_back(randomBitmap(90, 160, seed));
    const std::vector<Quad> quads = {
        Quad{{24, 24}, {116, 24}, {24, 196}, {116, 196}},   // the hole itself
        Quad{{20, 22}, {121, 18}, {14, 204}, {126, 199}},   // skewed, edges under the soft ring
        Quad{{-30, -10}, {170, 5}, {-5, 240}, {150, 230}},  // spills over the canvas
        Quad{{10, 10}, {10, 10}, {10, 10}, {10, 10}},       // degenerate: the shell alone
    };
    for (const Quad& q : quads) {
        SCOPED_TRACE(q.topLeft.x);
        const auto plan = img.planPerspectiveUnder(90, 160, q, shell);
        std::vector<Bitmap> outs(frames.size());
        std::vector<std::thread> threads;
        for (size_t i = 0; i < frames.size(); ++i) threads.emplace_back([&, i] { plan->render(frames[i], outs[i]); });
        for (auto& t : threads) t.join();
        for (size_t i = 0; i < frames.size(); ++i) {
            const Bitmap expected = img.perspectiveUnder(frames[i], q, *shell);
            EXPECT_EQ(outs[i].width, expected.width);
            EXPECT_EQ(outs[i].height, expected.height);
            EXPECT_EQ(outs[i].scale, expected.scale);
            EXPECT_TRUE(outs[i].pixels == expected.pixels) << "frame " << i;
        }
        // A frame of another size than planned still comes out right.
        const Bitmap odd = randomBitmap(60, 100, 9);
        Bitmap out = solid(3, 3, 0xffffffff);
        plan->render(odd, out);
        EXPECT_TRUE(out.pixels == img.perspectiveUnder(odd, q, *shell).pixels);

        // A layer drawn with the warp gives what drawing it over the
        // canvas afterwards gives, in every blend, for planned frames and
        // others.
        const Image layer = std::make_shared<const Bitmap>(layerWithClearStretches(shell->width, shell->height, 11));
        for (BlendMode mode : {BlendMode::Normal, BlendMode::Screen, BlendMode::Overlay, BlendMode::SoftLight})
            for (double alpha : {1.0, 0.37})
                for (const Bitmap* frame : {static_cast<const Bitmap*>(&frames[0]), &odd}) {
                    Bitmap expected = img.perspectiveUnder(*frame, q, *shell);
                    img.draw(expected, *layer, {0, 0, double(expected.width), double(expected.height)}, mode, alpha);
                    const Imaging::CanvasLayer over{layer, mode, alpha};
                    plan->render(*frame, out, &over);
                    EXPECT_TRUE(out.pixels == expected.pixels) << int(mode) << " " << alpha << " " << frame->width;
                }
    }
}

// A movie's frame is made and taken band by band: a render that reads only
// the content rows it asked for (made in the content, or in a window of its
// own, or in the content after the window's maker refused), and hands each
// finished band over, gives the very pixels of a whole render. A receiver holding the still pixels
// from an earlier frame is handed only the live columns, and with what it
// holds has the whole frame again; a new layer or none names new ones.
TEST(ImagingPlan, BandsAskForEveryRowTheyReadAndHandOverFinishedRows) {
    QtImaging img;
    // Odd sides: the last pair of rows and of columns is cut short.
    const Image shell = std::make_shared<const Bitmap>(speckledShell(141, 221));
    const Bitmap frames[] = {randomBitmap(90, 160, 3), randomBitmap(90, 160, 4)};
    const Image layer = std::make_shared<const Bitmap>(layerWithClearStretches(shell->width, shell->height, 12));
    const Imaging::CanvasLayer strong{layer, BlendMode::Overlay, 0.6}, faint{layer, BlendMode::Overlay, 0.4};
    struct Step {
        int frame;
        const Imaging::CanvasLayer* over;
        bool liveOnly;  // the receiver holds the still pixels this step names
    };
    const Step steps[] = {{0, &strong, false}, {1, &strong, true}, {0, &faint, false},
                          {1, nullptr, false}, {0, nullptr, true}, {1, &faint, false}};
    const std::vector<Quad> quads = {
        Quad{{20, 22}, {121, 18}, {14, 204}, {126, 199}},   // skewed, the seam under the soft ring
        Quad{{60, 30}, {80, 30}, {-40, 210}, {180, 215}},   // steep: spans mapped pixel by pixel
        Quad{{-30, -10}, {170, 5}, {-5, 240}, {150, 230}},  // spills over the canvas
    };
    enum class Rows { InContent, InWindow, WindowRefused };
    for (const Rows made : {Rows::InContent, Rows::InWindow, Rows::WindowRefused}) {
        for (const Quad& q : quads) {
            const auto plan = img.planPerspectiveUnder(90, 160, q, shell);
            Bitmap handed = solid(shell->width, shell->height, 0u);  // the receiver's canvas, kept
            uint64_t held = 0;
            for (const Step& step : steps) {
                SCOPED_TRACE(std::to_string(q.topLeft.x) + " step " + std::to_string(&step - steps) + " rows " +
                             std::to_string(int(made)));
                const Bitmap& frame = frames[step.frame];
                Bitmap expected = img.perspectiveUnder(frame, q, *shell);
                if (step.over)
                    img.draw(expected, *layer, {0, 0, double(expected.width), double(expected.height)}, step.over->mode,
                             step.over->alpha);

                // Rows not asked for hold a colour no sample of the frame
                // has; as in a movie's export, the content has no pixels at
                // all until rows are first asked for.
                Bitmap content;
                content.width = frame.width;
                content.height = frame.height;
                std::mutex m;
                std::vector<int> times(size_t(shell->height), 0);
                size_t pixelsHanded = 0;
                uint64_t asked = 0;
                bool gotLive = false;
                int rowsInContent = 0;
                Imaging::RowBands bands;
                if (made != Rows::InContent)
                    bands.contentRows = [&](int begin, int end, uint32_t* rows) {
                        if (made == Rows::WindowRefused) return false;
                        EXPECT_TRUE(begin >= 0 && begin < end && end <= frame.height);
                        std::copy_n(&frame.pixels[size_t(begin) * size_t(frame.width)],
                                    size_t(end - begin) * size_t(frame.width), rows);
                        return true;
                    };
                bands.needContent = [&](int begin, int end) {
                    std::lock_guard lock(m);
                    rowsInContent += std::max(0, std::min(end, frame.height) - std::max(begin, 0));
                    if (content.pixels.empty()) content.pixels.assign(frame.pixels.size(), 0xff00ff00u);
                    for (int y = std::max(begin, 0); y < std::min(end, frame.height); ++y)
                        std::copy_n(&frame.pixels[size_t(y) * size_t(frame.width)], frame.width,
                                    &content.pixels[size_t(y) * size_t(frame.width)]);
                };
                bands.holdsStill = [&](uint64_t still) {
                    asked = still;
                    return still == held;
                };
                bands.canvasRows = [&](int begin, int end, const uint32_t* pixels, const Imaging::ColumnSpan* live) {
                    std::lock_guard lock(m);
                    const int w = handed.width;
                    if (live) {
                        gotLive = true;
                        EXPECT_EQ(begin % 2, 0);
                        EXPECT_TRUE(end % 2 == 0 || end == handed.height);
                    }
                    for (int y = begin; y < end; ++y) {
                        ++times[size_t(y)];
                        const Imaging::ColumnSpan span = live ? live[(y - begin) / 2] : Imaging::ColumnSpan{0, w};
                        if (span.from >= span.to) continue;
                        EXPECT_TRUE(span.from % 2 == 0 && (span.to % 2 == 0 || span.to == w) && span.to <= w);
                        pixelsHanded += size_t(span.to - span.from);
                        std::copy(pixels + size_t(y - begin) * size_t(w) + size_t(span.from),
                                  pixels + size_t(y - begin) * size_t(w) + size_t(span.to),
                                  &handed.pixels[size_t(y) * size_t(w) + size_t(span.from)]);
                    }
                };
                Bitmap out;
                plan->render(content, out, step.over, &bands);
                EXPECT_EQ(out.width, expected.width);
                EXPECT_EQ(out.height, expected.height);
                EXPECT_EQ(std::count(times.begin(), times.end(), 1), shell->height) << "every row handed over once";
                EXPECT_EQ(gotLive, step.liveOnly);
                if (step.liveOnly) {
                    EXPECT_LT(pixelsHanded, handed.pixels.size() * 3 / 4);
                }
                EXPECT_TRUE(handed.pixels == expected.pixels);
                // Spans mapped pixel by pixel may read any row, and go to the
                // content; the rest fit a window.
                if (made == Rows::InWindow && &q == &quads[0]) {
                    EXPECT_EQ(rowsInContent, 0);
                }
                if (made == Rows::WindowRefused && !step.liveOnly) {
                    EXPECT_GT(rowsInContent, 0);
                }
                held = asked;
            }
        }
    }
}

}  // namespace
