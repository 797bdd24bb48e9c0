// End to end on the same files, side by side with ImageMagick: decode the
// screenshot, shell and watermark PNGs, map the screenshot into the shell's
// hole under the shell, draw the watermark over it at a constant alpha and
// write the PNG. Prints times, the time ratio and the PNG size ratio.
//
//   bench_imaging_end_to_end [work-dir] [runs]
#include "bench/BenchInputs.h"
#include "platform/linux/QtImaging.h"

#include <QGuiApplication>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

using namespace plinthora;
namespace fs = std::filesystem;

namespace {

using Clock = std::chrono::steady_clock;

std::string readFile(const fs::path& p) {
    std::ifstream in(p, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

void writeFile(const fs::path& p, const std::string& bytes) {
    std::ofstream out(p, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), std::streamsize(bytes.size()));
}

double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

// One run of our pipeline, files in and out; seconds.
double runOurs(const linux_platform::QtImaging& img, const fs::path& dir, const fs::path& out) {
    const auto t0 = Clock::now();
    const Image shot = img.decode(readFile(dir / "shot.png"));
    const Image shell = img.decode(readFile(dir / "shell.png"));
    const Image wm = img.decode(readFile(dir / "wm.png"));
    if (!shot || !shell || !wm) {
        std::fprintf(stderr, "decode failed\n");
        std::exit(1);
    }
    Bitmap canvas = img.perspectiveUnder(*shot, bench::holeQuad(), *shell);
    img.draw(canvas, *wm, Rect{0, 0, double(canvas.width), double(canvas.height)}, BlendMode::Normal,
             bench::kWatermarkAlpha);
    const auto png = img.encodePng(canvas);
    writeFile(out, *png);
    return std::chrono::duration<double>(Clock::now() - t0).count();
}

std::string imageMagickCommand(const fs::path& dir, const fs::path& out, bool oneThread) {
    const Quad q = bench::holeQuad();
    char points[512];
    std::snprintf(points, sizeof points, "0,0 %g,%g  %d,0 %g,%g  0,%d %g,%g  %d,%d %g,%g", q.topLeft.x, q.topLeft.y,
                  bench::kShotW, q.topRight.x, q.topRight.y, bench::kShotH, q.bottomLeft.x, q.bottomLeft.y,
                  bench::kShotW, bench::kShotH, q.bottomRight.x, q.bottomRight.y);
    std::ostringstream cmd;
    // Debian's own binary, not whatever `convert` comes first on the PATH
    // (a wrapper there would be timed with it).
    const char* convert = fs::exists("/usr/bin/convert") ? "/usr/bin/convert" : "convert";
    cmd << (oneThread ? "MAGICK_THREAD_LIMIT=1 " : "") << convert << " '" << (dir / "shot.png").string() << "'"
        << " -virtual-pixel transparent -define distort:viewport=" << bench::kShellW << "x" << bench::kShellH
        << "+0+0 -distort Perspective '" << points << "'"
        << " '" << (dir / "shell.png").string() << "' -composite"
        << " \\( '" << (dir / "wm.png").string() << "' -channel A -evaluate multiply " << bench::kWatermarkAlpha
        << " +channel \\) -composite"
        << " '" << out.string() << "'";
    return cmd.str();
}

double runImageMagick(const std::string& cmd) {
    const auto t0 = Clock::now();
    if (std::system(cmd.c_str()) != 0) {
        std::fprintf(stderr, "ImageMagick failed: %s\n", cmd.c_str());
        std::exit(1);
    }
    return std::chrono::duration<double>(Clock::now() - t0).count();
}

// Mean absolute channel difference between two PNGs, straight 8-bit.
double meanDifference(const linux_platform::QtImaging& img, const fs::path& a, const fs::path& b) {
    const Image x = img.decode(readFile(a)), y = img.decode(readFile(b));
    if (!x || !y || x->width != y->width || x->height != y->height) return -1;
    double sum = 0;
    for (size_t i = 0; i < x->pixels.size(); ++i)
        for (int s = 0; s < 32; s += 8)
            sum += std::abs(int((x->pixels[i] >> s) & 255) - int((y->pixels[i] >> s) & 255));
    return sum / (4.0 * double(x->pixels.size()));
}

}  // namespace

int main(int argc, char** argv) {
    QGuiApplication app(argc, argv);
    const fs::path dir = argc > 1 ? fs::path(argv[1]) : fs::temp_directory_path() / "plinthora-bench";
    const int runs = argc > 2 ? std::max(1, std::atoi(argv[2])) : 5;
    fs::create_directories(dir);
    linux_platform::QtImaging img;

    // The inputs, written once. They go through our encoder, which both
    // sides then decode.
    writeFile(dir / "shot.png", *img.encodePng(bench::makeScreenshot()));
    writeFile(dir / "shell.png", *img.encodePng(bench::makeShell()));
    writeFile(dir / "wm.png", *img.encodePng(bench::makeWatermark()));
    // The shell's template beside it, so that the whole-process comparison
    // can frame the same files with `plinthora frame`.
    const Quad q = bench::holeQuad();
    char cfg[512];
    std::snprintf(cfg, sizeof cfg,
                  "{\"template_width\": %d, \"template_height\": %d, \"left_top_x\": %g, \"left_top_y\": %g, "
                  "\"right_top_x\": %g, \"right_top_y\": %g, \"left_bottom_x\": %g, \"left_bottom_y\": %g, "
                  "\"right_bottom_x\": %g, \"right_bottom_y\": %g}\n",
                  bench::kShellW, bench::kShellH, q.topLeft.x, q.topLeft.y, q.topRight.x, q.topRight.y, q.bottomLeft.x,
                  q.bottomLeft.y, q.bottomRight.x, q.bottomRight.y);
    writeFile(dir / "shell.cfg", cfg);

    const fs::path oursOut = dir / "ours.png", imOut = dir / "imagemagick.png", im1Out = dir / "imagemagick-1t.png";
    std::vector<double> ours, im, im1;
    runOurs(img, dir, oursOut);  // warm up
    for (int i = 0; i < runs; ++i) ours.push_back(runOurs(img, dir, oursOut));
    const std::string cmd = imageMagickCommand(dir, imOut, false), cmd1 = imageMagickCommand(dir, im1Out, true);
    std::printf("ImageMagick: %s\n", cmd.c_str());
    const int imRuns = std::max(1, std::min(runs, 3));
    for (int i = 0; i < imRuns; ++i) im.push_back(runImageMagick(cmd));
    for (int i = 0; i < imRuns; ++i) im1.push_back(runImageMagick(cmd1));

    const double o = median(ours), m = median(im), m1 = median(im1);
    const auto so = fs::file_size(oursOut), sm = fs::file_size(imOut);
    std::printf("ours:                    %8.1f ms  %9ju bytes\n", o * 1e3, uintmax_t(so));
    std::printf("ImageMagick (default):   %8.1f ms  %9ju bytes\n", m * 1e3, uintmax_t(sm));
    std::printf("ImageMagick (1 thread):  %8.1f ms\n", m1 * 1e3);
    std::printf("time ratio ImageMagick/ours: %.2fx default, %.2fx one thread (target >= 3x)\n", m / o, m1 / o);
    std::printf("size ratio ours/ImageMagick: %.3f (target <= 1.10)\n", double(so) / double(sm));
    std::printf("mean |difference| ours vs ImageMagick: %.2f levels per channel\n",
                meanDifference(img, oursOut, imOut));
    return 0;
}
