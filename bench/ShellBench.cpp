// Shells as users bring them: finding the screen of a large downloaded frame
// (3000 × 3000), and what keeping the picture inside the device costs a
// still (working out the outside of a phone-sized shell, and the cut itself
// in the fused compose).
//
// `bench_shell --frame PATH [W H]` writes the generated frame the detection
// runs on (rounded screen, island, shadow) instead, for trying the tools.
#include "bench/BenchInputs.h"
#include "compositing/ShellOutside.h"
#include "host/common/ShellDetection.h"
#include "imaging/png_encode.h"
#include "platform/linux/QtImaging.h"
#include "synth/GeneratedFrames.h"

#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>

using namespace plinthora;

namespace {

frames_test::FrameRecipe largeFrame(int width, int height) {
    frames_test::FrameRecipe r;
    r.width = width, r.height = height;
    r.bodyHeight = height * 0.92, r.bodyWidth = r.bodyHeight * 0.49;
    r.left = (width - r.bodyWidth) / 2, r.top = (height - r.bodyHeight) / 2 - height * 0.01;
    r.bodyRadius = r.bodyWidth * 0.14, r.bezel = r.bodyWidth * 0.04, r.screenRadius = r.bodyWidth * 0.11;
    r.island = r.shadow = true;
    return r;
}

void BM_DetectScreen3000(benchmark::State& state) {
    static const Bitmap frame = frames_test::generateFrame(largeFrame(3000, 3000)).pixels;
    for (auto _ : state) {
        host::Detection d = host::detectScreen(frame);
        if (!d.found) state.SkipWithError("no screen found");
        benchmark::DoNotOptimize(d);
    }
}
BENCHMARK(BM_DetectScreen3000)->Unit(benchmark::kMillisecond);

// Once per shell file in the daemon, once per run in `plinthora frame`.
void BM_OutsideOfPhoneShell(benchmark::State& state) {
    static const Bitmap shell = bench::makeShell();
    for (auto _ : state) benchmark::DoNotOptimize(outsideOfShell(shell));
}
BENCHMARK(BM_OutsideOfPhoneShell)->Unit(benchmark::kMillisecond);

// The fused compose of a still with the cut (argument 1) and without.
void BM_ComposeWithOutside(benchmark::State& state) {
    static const Bitmap shot = bench::makeScreenshot();
    static const Bitmap shell = bench::makeShell();
    static const ShellOutside outside = outsideOfShell(shell);
    const linux_platform::QtImaging img;
    for (auto _ : state) {
        Bitmap canvas = img.perspectiveUnder(shot, bench::holeQuad(), shell, state.range(0) ? &outside : nullptr);
        benchmark::DoNotOptimize(canvas.pixels.data());
    }
}
BENCHMARK(BM_ComposeWithOutside)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char** argv) {
    if (argc >= 3 && !std::strcmp(argv[1], "--frame")) {
        const int w = argc >= 5 ? std::atoi(argv[3]) : 1500, h = argc >= 5 ? std::atoi(argv[4]) : 3000;
        const auto png = imaging::png::encode(frames_test::generateFrame(largeFrame(w, h)).pixels, 6);
        std::ofstream out(argv[2], std::ios::binary);
        out << png.value();
        return out ? 0 : 1;
    }
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    return 0;
}
