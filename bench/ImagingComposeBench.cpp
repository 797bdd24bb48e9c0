// The compose step alone (screenshot mapped into the shell's hole, shell on
// top, watermark over all at a constant alpha), ours against pixman's
// projective bilinear transform doing the same work. No codecs.
#include "bench/BenchInputs.h"
#include "imaging/parallel_for.h"
#include "platform/linux/QtImaging.h"
#include "synth/Pictures.h"

#include <benchmark/benchmark.h>
#include <pixman.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdio>
#include <map>
#include <string>
#include <utility>

using namespace plinthora;

namespace {

struct Inputs {
    Bitmap shot = bench::makeScreenshot();
    Bitmap shell = bench::makeShell();
    Bitmap watermark = bench::makeWatermark();
    Quad quad = bench::holeQuad();
};
const Inputs& inputs() {
    static const Inputs in;
    return in;
}

void BM_Plinthora(benchmark::State& state) {
    const Inputs& in = inputs();
    linux_platform::QtImaging img;
    for (auto _ : state) {
        Bitmap canvas = img.perspectiveUnder(in.shot, in.quad, in.shell);
        img.draw(canvas, in.watermark, Rect{0, 0, double(canvas.width), double(canvas.height)}, BlendMode::Normal,
                 bench::kWatermarkAlpha);
        benchmark::DoNotOptimize(canvas.pixels.data());
    }
}

// One frame of a movie through a plan (the map and the shell's coverage
// worked out once), watermark fused, on one thread as each frame worker
// runs it: bands handed over as they are made. With argument 1 only their
// live columns after the first frame, the receiver holding the still ones
// as a movie's frame slots do; with 0, whole rows every time.
void BM_PlinthoraMovieFrame(benchmark::State& state) {
    const Inputs& in = inputs();
    linux_platform::QtImaging img;
    const auto plan =
        img.planPerspectiveUnder(in.shot.width, in.shot.height, in.quad, std::make_shared<const Bitmap>(in.shell));
    const Imaging::CanvasLayer layer{std::make_shared<const Bitmap>(in.watermark), BlendMode::Normal,
                                     bench::kWatermarkAlpha};
    const imaging::SerialLoops serial;
    uint64_t held = 0;
    Imaging::RowBands bands;
    const bool keep = state.range(0) != 0;
    bands.holdsStill = [&](uint64_t still) { return keep && std::exchange(held, still) == still; };
    bands.canvasRows = [](int, int, const uint32_t* pixels, const Imaging::ColumnSpan*) {
        benchmark::DoNotOptimize(pixels);
    };
    Bitmap canvas;
    for (auto _ : state) plan->render(in.shot, canvas, &layer, &bands);
}

// Destination → source map of the quad, solved from the four corners (the
// tests' independent solver), with the last entry fixed at 1.
std::array<double, 9> inverseHomography(const Quad& q, double w, double h) {
    const imaging_test::Homography solved(q, w, h);
    std::array<double, 9> out{};
    std::copy(solved.h.begin(), solved.h.end(), out.begin());
    out[8] = 1;
    return out;
}

pixman_image_t* wrap(const Bitmap& b) {
    return pixman_image_create_bits(PIXMAN_a8r8g8b8, b.width, b.height, const_cast<uint32_t*>(b.pixels.data()),
                                    b.width * 4);
}

void BM_Pixman(benchmark::State& state) {
    const Inputs& in = inputs();
    pixman_image_t* shot = wrap(in.shot);
    pixman_image_t* shell = wrap(in.shell);
    pixman_image_t* wm = wrap(in.watermark);
    // pixman maps destination pixel centres through the transform to source
    // coordinates, all in 16.16 fixed point, homogeneous coordinates
    // included. Any scale of the matrix is the same projective map, so take
    // the largest that keeps (U, V, W) below 32768 over the canvas: that
    // keeps as much of the tiny perspective terms as pixman can hold.
    const auto h = inverseHomography(in.quad, in.shot.width, in.shot.height);
    double reach = 0;
    for (double x : {0.0, double(in.shell.width)})
        for (double y : {0.0, double(in.shell.height)})
            for (int r = 0; r < 3; ++r)
                reach =
                    std::max(reach, std::abs(h[size_t(r * 3)] * x + h[size_t(r * 3 + 1)] * y + h[size_t(r * 3 + 2)]));
    const double k = 30000.0 / reach;
    pixman_transform t;
    for (int r = 0; r < 3; ++r)
        for (int c = 0; c < 3; ++c) t.matrix[r][c] = pixman_double_to_fixed(h[size_t(r * 3 + c)] * k);
    pixman_image_set_transform(shot, &t);
    pixman_image_set_filter(shot, PIXMAN_FILTER_BILINEAR, nullptr, 0);
    pixman_image_set_repeat(shot, PIXMAN_REPEAT_NONE);
    const pixman_color_t maskColour{0, 0, 0, uint16_t(std::lround(bench::kWatermarkAlpha * 0xFFFF))};
    pixman_image_t* mask = pixman_image_create_solid_fill(&maskColour);
    // Only the hole's bounding box can receive the screenshot.
    const Quad& q = in.quad;
    const int x0 = int(std::floor(std::min({q.topLeft.x, q.bottomLeft.x})));
    const int y0 = int(std::floor(std::min({q.topLeft.y, q.topRight.y})));
    const int x1 = int(std::ceil(std::max({q.topRight.x, q.bottomRight.x})));
    const int y1 = int(std::ceil(std::max({q.bottomLeft.y, q.bottomRight.y})));
    const int W = in.shell.width, H = in.shell.height;
    for (auto _ : state) {
        pixman_image_t* dst = pixman_image_create_bits(PIXMAN_a8r8g8b8, W, H, nullptr, W * 4);
        pixman_image_composite32(PIXMAN_OP_OVER, shot, nullptr, dst, x0, y0, 0, 0, x0, y0, x1 - x0, y1 - y0);
        pixman_image_composite32(PIXMAN_OP_OVER, shell, nullptr, dst, 0, 0, 0, 0, 0, 0, W, H);
        pixman_image_composite32(PIXMAN_OP_OVER, wm, mask, dst, 0, 0, 0, 0, 0, 0, W, H);
        benchmark::DoNotOptimize(pixman_image_get_data(dst));
        pixman_image_unref(dst);
    }
    pixman_image_unref(mask);
    pixman_image_unref(wm);
    pixman_image_unref(shell);
    pixman_image_unref(shot);
}

BENCHMARK(BM_Plinthora)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(2.0);
BENCHMARK(BM_Pixman)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(2.0);
BENCHMARK(BM_PlinthoraMovieFrame)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(2.0);

// Keeps each run's time per iteration so that main can print the ratio.
class RatioReporter : public benchmark::ConsoleReporter {
public:
    std::map<std::string, double> msPerIteration;
    void ReportRuns(const std::vector<Run>& runs) override {
        for (const Run& r : runs)
            if (r.run_type == Run::RT_Iteration && r.iterations > 0)
                msPerIteration[r.benchmark_name()] = r.GetAdjustedRealTime();
        ConsoleReporter::ReportRuns(runs);
    }
};

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    inputs();  // build the inputs outside the timed runs
    RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    double ours = 0, theirs = 0;
    for (const auto& [name, ms] : reporter.msPerIteration) {
        if (name.rfind("BM_Plinthora", 0) == 0 && name.rfind("BM_PlinthoraMovieFrame", 0) != 0) ours = ms;
        if (name.rfind("BM_Pixman", 0) == 0) theirs = ms;
    }
    if (ours > 0 && theirs > 0)
        std::printf("compose: ours %.2f ms, pixman %.2f ms, pixman/ours = %.2fx (target >= 3x)\n", ours, theirs,
                    theirs / ours);
    benchmark::Shutdown();
    return 0;
}
