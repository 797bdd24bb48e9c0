// Framing a screen recording, side by side with the ffmpeg command line a
// user would write for the same picture: a 10 s, 1170 × 2532, 30 fps
// recording with AAC audio mapped into the hole of a 1350 × 2750 shell, the
// shell over it and a full-canvas watermark over both, H.264 at our preset
// and CRF, the audio copied.
//
// Each side runs as its own process, so that its wall time, CPU time and
// peak memory are its own. Ours also reports the CPU time spent in the
// frame handler (the compositing) against all the CPU time it used.
//
//   bench_video_framing [work-dir] [--runs N] [--handlers N] [--x264-threads N]
#include "bench/BenchInputs.h"
#include "platform/linux/FFmpegVideoExport.h"
#include "platform/linux/QtImaging.h"
#include "tests/integration/ImagingTestSupport.h"

#include <QGuiApplication>

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <future>
#include <sstream>
#include <string>
#include <vector>

#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <time.h>

extern char** environ;

using namespace plinthora;
namespace fs = std::filesystem;

namespace {

using Clock = std::chrono::steady_clock;

double seconds(const timeval& t) { return double(t.tv_sec) + double(t.tv_usec) / 1e6; }

double threadCpu() {
    timespec t{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return double(t.tv_sec) + double(t.tv_nsec) / 1e9;
}

std::string readFile(const fs::path& p) {
    std::ifstream in(p, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

struct ProcessRun {
    double wall = 0, cpu = 0;
    long peakKb = 0;
    bool ok = false;
};

// Runs argv to its end; wall time, CPU time and peak RSS of that process.
ProcessRun runProcess(const std::vector<std::string>& args) {
    std::vector<char*> argv;
    for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    ProcessRun r;
    const auto t0 = Clock::now();
    pid_t pid;
    if (posix_spawnp(&pid, argv[0], nullptr, nullptr, argv.data(), environ) != 0) return r;
    int status = 0;
    rusage use{};
    wait4(pid, &status, 0, &use);
    r.wall = std::chrono::duration<double>(Clock::now() - t0).count();
    r.cpu = seconds(use.ru_utime) + seconds(use.ru_stime);
    r.peakKb = use.ru_maxrss;
    r.ok = WIFEXITED(status) && WEXITSTATUS(status) == 0;
    return r;
}

// The command a user would write: pad the recording to the shell's size,
// bend the padded picture so that the recording lands in the hole, lay the
// shell and the (faded) watermark over it.
std::vector<std::string> ffmpegCommand(const fs::path& dir, const fs::path& out) {
    // perspective's "source" sense names the input point that lands on each
    // output corner: the canvas corners taken back through the hole's map.
    const imaging_test::Homography back(bench::holeQuad(), bench::kShotW, bench::kShotH);
    const Point c[4] = {back.map(0, 0), back.map(bench::kShellW, 0), back.map(0, bench::kShellH),
                        back.map(bench::kShellW, bench::kShellH)};
    char graph[1024];
    std::snprintf(graph, sizeof graph,
                  "[0:v]fps=30,format=rgba,pad=%d:%d:0:0:color=black@0,"
                  "perspective=x0=%.2f:y0=%.2f:x1=%.2f:y1=%.2f:x2=%.2f:y2=%.2f:x3=%.2f:y3=%.2f:"
                  "sense=source:interpolation=linear[bent];"
                  "[2:v]format=rgba,colorchannelmixer=aa=%.2f[wm];"
                  "[bent][1:v]overlay=0:0[framed];[framed][wm]overlay=0:0,format=yuv420p[out]",
                  bench::kShellW, bench::kShellH, c[0].x, c[0].y, c[1].x, c[1].y, c[2].x, c[2].y, c[3].x, c[3].y,
                  bench::kWatermarkAlpha);
    return {"ffmpeg", "-v", "error", "-nostdin", "-y", "-i", (dir / "recording.mp4").string(),
            "-i", (dir / "shell.png").string(), "-i", (dir / "wm.png").string(), "-filter_complex", graph,
            "-map", "[out]", "-map", "0:a", "-c:v", "libx264", "-preset",
            linux_platform::FFmpegVideoExport::kPreset, "-crf",
            std::to_string(linux_platform::FFmpegVideoExport::kCrf), "-c:a", "copy", "-movflags", "+faststart",
            out.string()};
}

// One export in this process; prints "wall cpu handler-cpu frames".
int runOurs(const fs::path& dir, const fs::path& out, int handlers, int x264Threads) {
    linux_platform::QtImaging img;
    const Image shell = img.decode(readFile(dir / "shell.png"));
    const Image wm = img.decode(readFile(dir / "wm.png"));
    if (!shell || !wm) return 1;
    linux_platform::FFmpegVideoExport video({handlers, x264Threads});
    const auto info = video.open((dir / "recording.mp4").string());
    if (!info) return 1;
    auto plan = img.planPerspectiveUnder(int(info->naturalSize.width), int(info->naturalSize.height),
                                         bench::holeQuad(), shell);
    std::atomic<int64_t> handlerNs{0}, frames{0};
    auto handler = [&](const Bitmap& source, Bitmap& output, int64_t) {
        const double t0 = threadCpu();
        if (std::getenv("PLINTHORA_BENCH_BLANK")) {  // the export alone, for a breakdown
            std::fill(output.pixels.begin(), output.pixels.end(), 0u);
            ++frames;
            return;
        }
        plan->render(source, output);
        img.draw(output, *wm, Rect{0, 0, double(output.width), double(output.height)}, BlendMode::Normal,
                 bench::kWatermarkAlpha);
        handlerNs += int64_t((threadCpu() - t0) * 1e9);
        ++frames;
    };
    rusage before{}, after{};
    getrusage(RUSAGE_SELF, &before);
    const auto t0 = Clock::now();
    std::promise<ExportStatus> done;
    auto session = video.exportAsynchronously({(dir / "recording.mp4").string(), out.string(), shell->width,
                                               shell->height, 30, handler},
                                              [&](ExportStatus s) { done.set_value(s); });
    if (!session || done.get_future().get() != ExportStatus::Completed) return 1;
    const double wall = std::chrono::duration<double>(Clock::now() - t0).count();
    getrusage(RUSAGE_SELF, &after);
    const double cpu = seconds(after.ru_utime) - seconds(before.ru_utime) + seconds(after.ru_stime) -
                       seconds(before.ru_stime);
    std::printf("%f %f %f %lld %f %f\n", wall, cpu, double(handlerNs.load()) / 1e9, (long long)frames.load(),
                seconds(after.ru_utime) - seconds(before.ru_utime), seconds(after.ru_stime) - seconds(before.ru_stime));
    return 0;
}

void makeInputs(const fs::path& dir) {
    fs::create_directories(dir);
    linux_platform::QtImaging img;
    std::ofstream(dir / "shell.png", std::ios::binary) << *img.encodePng(bench::makeShell());
    std::ofstream(dir / "wm.png", std::ios::binary) << *img.encodePng(bench::makeWatermark());
    if (fs::exists(dir / "recording.mp4")) return;
    // Moving, detailed picture and a tone, as a phone's recorder writes it.
    char size[32];
    std::snprintf(size, sizeof size, "%dx%d", bench::kShotW, bench::kShotH);
    const std::string cmd = std::string("ffmpeg -v error -nostdin -y -f lavfi -i testsrc2=s=") + size +
                            ":r=30:d=10 -f lavfi -i sine=frequency=440:duration=10 -c:v libx264 -preset fast "
                            "-crf 20 -pix_fmt yuv420p -c:a aac -b:a 128k '" +
                            (dir / "recording.tmp.mp4").string() + "'";
    if (std::system(cmd.c_str()) != 0) {
        std::fprintf(stderr, "cannot make the recording: %s\n", cmd.c_str());
        std::exit(1);
    }
    fs::rename(dir / "recording.tmp.mp4", dir / "recording.mp4");
}

double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

}  // namespace

int main(int argc, char** argv) {
    if (argc >= 6 && std::strcmp(argv[1], "--ours") == 0) {
        QGuiApplication app(argc, argv);
        return runOurs(argv[2], argv[3], std::atoi(argv[4]), std::atoi(argv[5]));
    }
    fs::path dir = fs::temp_directory_path() / "plinthora-bench-video";
    int runs = 3, handlers = 0, x264Threads = 0;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if (a == "--runs" && i + 1 < argc)
            runs = std::max(1, std::atoi(argv[++i]));
        else if (a == "--handlers" && i + 1 < argc)
            handlers = std::atoi(argv[++i]);
        else if (a == "--x264-threads" && i + 1 < argc)
            x264Threads = std::atoi(argv[++i]);
        else
            dir = a;
    }
    {
        QGuiApplication app(argc, argv);
        makeInputs(dir);
    }

    const fs::path oursOut = dir / "ours.mp4", cliOut = dir / "ffmpeg.mp4", report = dir / "ours.txt";
    std::vector<double> oursWall, oursCpu, share, cliWall, cliCpu;
    long oursPeak = 0, cliPeak = 0;
    const auto cli = ffmpegCommand(dir, cliOut);
    std::printf("ffmpeg:");
    for (const auto& a : cli) std::printf(" '%s'", a.c_str());
    std::printf("\n");
    for (int i = 0; i < runs; ++i) {
        const std::string self = fs::canonical("/proc/self/exe").string();
        const std::string shell = "'" + self + "' --ours '" + dir.string() + "' '" + oursOut.string() + "' " +
                                  std::to_string(handlers) + " " + std::to_string(x264Threads) + " > '" +
                                  report.string() + "'";
        const ProcessRun o = runProcess({"/bin/sh", "-c", shell});
        double wall = 0, cpu = 0, handler = 0;
        long long frames = 0;
        if (!o.ok || std::sscanf(readFile(report).c_str(), "%lf %lf %lf %lld", &wall, &cpu, &handler, &frames) != 4) {
            std::fprintf(stderr, "our export failed\n");
            return 1;
        }
        oursWall.push_back(wall);
        oursCpu.push_back(cpu);
        share.push_back(handler / cpu);
        oursPeak = std::max(oursPeak, o.peakKb);
        std::printf("ours   run %d: %6.2f s wall, %6.2f s CPU, compositing %5.1f %% of CPU, %lld frames, peak %ld MB\n",
                    i + 1, wall, cpu, 100 * handler / cpu, frames, o.peakKb / 1024);

        const ProcessRun c = runProcess(cli);
        if (!c.ok) {
            std::fprintf(stderr, "the ffmpeg command failed\n");
            return 1;
        }
        cliWall.push_back(c.wall);
        cliCpu.push_back(c.cpu);
        cliPeak = std::max(cliPeak, c.peakKb);
        std::printf("ffmpeg run %d: %6.2f s wall, %6.2f s CPU, peak %ld MB\n", i + 1, c.wall, c.cpu, c.peakKb / 1024);
        std::fflush(stdout);
    }
    const double o = median(oursWall), c = median(cliWall);
    std::printf("median ours %.2f s (%.2f s CPU), ffmpeg %.2f s (%.2f s CPU): %.2fx faster (target >= 2x)\n", o,
                median(oursCpu), c, median(cliCpu), c / o);
    std::printf("compositing %.1f %% of our CPU time (target < 25 %%)\n", 100 * median(share));
    std::printf("peak memory: ours %ld MB, ffmpeg %ld MB\n", oursPeak / 1024, cliPeak / 1024);
    std::printf("sizes: ours %ju bytes, ffmpeg %ju bytes\n", uintmax_t(fs::file_size(oursOut)),
                uintmax_t(fs::file_size(cliOut)));
    return 0;
}
