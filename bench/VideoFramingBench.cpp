// Framing a screen recording, side by side with the ffmpeg command line a
// user would write for the same picture: a 10 s, 1170 × 2532, 30 fps
// recording with AAC audio mapped into the hole of a 1350 × 2750 shell, the
// shell over it and a full-canvas watermark over both, H.264 at our preset
// and CRF, the audio copied.
//
// Each side runs as its own process, so that its wall time, CPU time and
// peak memory are its own. Ours is `plinthora frame MOVIE` as a user runs
// it, through the recording pipeline, with the shell's template beside it;
// its debug log gives the CPU time of the frame handler (the compositing),
// set against all the CPU time the process used.
//
// Beside both, the floor: what the same encoder costs with nothing else to
// do, libx264 at our settings encoding the very frames our export hands it
// (caught once, untimed, through the export's raw-frames variable, raw
// 4:2:0 in memory), plus a decode of the source recording's video, each
// through the libraries with nothing else around them (bench_video_floor):
// no filter graph, no fresh buffer per frame, transparent huge pages off as
// in our export. Its video comes out the same bit for bit as ours, which
// the bench checks: the same input at the same settings. Each run takes ours, the ffmpeg command
// line and the floor in turn, and the ratios are taken pair by pair, so
// that a change in the machine's load falls on all of them.
//
//   bench_video_framing [work-dir] [--runs N] [--plinthora PATH]
#include "bench/BenchInputs.h"
#include "platform/linux/FFmpegVideoExport.h"
#include "platform/linux/QtImaging.h"
#include "synth/Pictures.h"

#include <QGuiApplication>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <fcntl.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

using namespace plinthora;
namespace fs = std::filesystem;

namespace {

using Clock = std::chrono::steady_clock;

double seconds(const timeval& t) { return double(t.tv_sec) + double(t.tv_usec) / 1e6; }

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

// Runs argv to its end, its standard error into `errPath` when given; wall
// time, CPU time and peak RSS of that process.
ProcessRun runProcess(const std::vector<std::string>& args, const std::string& errPath = {}) {
    std::vector<char*> argv;
    for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    ProcessRun r;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    if (!errPath.empty())
        posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    const auto t0 = Clock::now();
    pid_t pid;
    const int spawned = posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (spawned != 0) return r;
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
    return {"ffmpeg",
            "-v",
            "error",
            "-nostdin",
            "-y",
            "-i",
            (dir / "recording.mp4").string(),
            "-i",
            (dir / "shell.png").string(),
            "-i",
            (dir / "wm.png").string(),
            "-filter_complex",
            graph,
            "-map",
            "[out]",
            "-map",
            "0:a",
            "-c:v",
            "libx264",
            "-preset",
            linux_platform::FFmpegVideoExport::kPreset,
            "-crf",
            std::to_string(linux_platform::FFmpegVideoExport::kCrf),
            "-c:a",
            "copy",
            "-movflags",
            "+faststart",
            out.string()};
}

// The floor's two processes (bench_video_floor of the same build): the
// encoder alone on the raw frames our export handed its encoder, and the
// decoder alone on the source.
std::vector<std::string> floorEncodeCommand(const std::string& floor, const fs::path& raw, const fs::path& out) {
    return {floor,
            "encode",
            raw.string(),
            std::to_string((bench::kShellW + 1) & ~1),
            std::to_string((bench::kShellH + 1) & ~1),
            out.string()};
}

std::vector<std::string> floorDecodeCommand(const std::string& floor, const fs::path& dir) {
    return {floor, "decode", (dir / "recording.mp4").string()};
}

// The command a user would type: the recording, the shell (its template
// beside it) and the watermark over the whole canvas at the bench's alpha.
std::vector<std::string> oursCommand(const std::string& plinthora, const fs::path& dir, const fs::path& out) {
    char alpha[16];
    std::snprintf(alpha, sizeof alpha, "%.2f", bench::kWatermarkAlpha);
    return {plinthora,     "--verbose",
            "frame",       (dir / "recording.mp4").string(),
            "--shell",     (dir / "shell.png").string(),
            "--watermark", (dir / "wm.png").string(),
            "--mode",      "1",
            "--blend",     "正常",
            "--opacity",   alpha,
            "-o",          out.string()};
}

void makeInputs(const fs::path& dir) {
    fs::create_directories(dir);
    linux_platform::QtImaging img;
    std::ofstream(dir / "shell.png", std::ios::binary) << *img.encodePng(bench::makeShell());
    std::ofstream(dir / "wm.png", std::ios::binary) << *img.encodePng(bench::makeWatermark());
    const Quad q = bench::holeQuad();
    std::ofstream(dir / "shell.cfg") << "{\"template_width\": " << bench::kShellW
                                     << ", \"template_height\": " << bench::kShellH
                                     << ", \"left_top_x\": " << q.topLeft.x << ", \"left_top_y\": " << q.topLeft.y
                                     << ", \"right_top_x\": " << q.topRight.x << ", \"right_top_y\": " << q.topRight.y
                                     << ", \"left_bottom_x\": " << q.bottomLeft.x
                                     << ", \"left_bottom_y\": " << q.bottomLeft.y
                                     << ", \"right_bottom_x\": " << q.bottomRight.x
                                     << ", \"right_bottom_y\": " << q.bottomRight.y << "}\n";
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

// The MD5 of a movie's video packets, as stored.
std::string videoDigest(const fs::path& movie, const fs::path& into) {
    if (!runProcess({"ffmpeg", "-v", "error", "-nostdin", "-y", "-i", movie.string(), "-map", "0:v", "-c", "copy", "-f",
                     "md5", into.string()})
             .ok)
        return {};
    std::string d = readFile(into);
    while (!d.empty() && (d.back() == '\n' || d.back() == '\r')) d.pop_back();
    return d;
}

double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

}  // namespace

int main(int argc, char** argv) {
    fs::path dir = fs::temp_directory_path() / "plinthora-bench-video";
    int runs = 3;
    // The command-line tool of the same build, unless named.
    const fs::path self = fs::canonical("/proc/self/exe");
    std::string plinthora = (self.parent_path().parent_path() / "host" / "plinthora").string();
    const std::string floor = (self.parent_path() / "bench_video_floor").string();
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if (a == "--runs" && i + 1 < argc)
            runs = std::max(1, std::atoi(argv[++i]));
        else if (a == "--plinthora" && i + 1 < argc)
            plinthora = argv[++i];
        else
            dir = a;
    }
    ::setenv("QT_QPA_PLATFORM", "offscreen", 0);
    {
        QGuiApplication app(argc, argv);
        makeInputs(dir);
    }
    // Our side reads no one's preferences and leaves nothing in anyone's
    // folders.
    const fs::path home = dir / "home";
    fs::create_directories(home / "run");
    fs::permissions(home / "run", fs::perms::owner_all, fs::perm_options::replace);
    ::setenv("HOME", home.c_str(), 1);
    ::setenv("XDG_CONFIG_HOME", (home / ".config").c_str(), 1);
    ::setenv("XDG_DATA_HOME", (home / ".local/share").c_str(), 1);
    ::setenv("XDG_RUNTIME_DIR", (home / "run").c_str(), 1);

    const fs::path oursOut = dir / "ours.mp4", cliOut = dir / "ffmpeg.mp4", report = dir / "ours.log";
    std::vector<double> oursWall, oursCpu, share, cliWall, cliCpu, floorWall, floorCpu, overWall, overCpu, cliOverWall,
        cliOverCpu;
    long oursPeak = 0, cliPeak = 0, floorPeak = 0;
    bool sameVideo = false;
    // The raw frames live in memory (some 1.7 GB for the bench movie), not
    // on the disk, so that reading them costs the floor little.
    const fs::path rawDir = fs::is_directory("/dev/shm") ? fs::path("/dev/shm") : dir;
    const fs::path raw = rawDir / ("plinthora-bench-framed-" + std::to_string(::getpid()) + ".yuv");
    const fs::path floorOut = dir / "floor.mp4";
    const auto floorDecode = floorDecodeCommand(floor, dir);
    const auto cli = ffmpegCommand(dir, cliOut);
    const auto ours = oursCommand(plinthora, dir, oursOut);
    for (const auto* command : {&ours, &cli}) {
        std::printf("%s:", command == &cli ? "ffmpeg" : "ours");
        for (const auto& a : *command) std::printf(" '%s'", a.c_str());
        std::printf("\n");
    }
    // The frames our export hands its encoder, caught in a run of its own
    // that is not timed.
    ::setenv(linux_platform::FFmpegVideoExport::kRawFramesVariable, raw.c_str(), 1);
    const bool caught = runProcess(ours, report.string()).ok;
    ::unsetenv(linux_platform::FFmpegVideoExport::kRawFramesVariable);
    if (!caught) {
        fs::remove(raw);
        std::fprintf(stderr, "cannot catch our frames into %s:\n%s", raw.c_str(), readFile(report).c_str());
        return 1;
    }
    for (int i = 0; i < runs; ++i) {
        fs::remove(oursOut);
        const ProcessRun o = runProcess(ours, report.string());
        // "… N frames in W s, frame handler H s of CPU" from the debug log.
        const std::string log = readFile(report);
        const size_t at = log.find("video export of ");
        const size_t from = at == std::string::npos ? at : log.find(": ", at + 16);
        long long frames = 0;
        double exportWall = 0, handler = 0;
        if (!o.ok || from == std::string::npos ||
            std::sscanf(log.c_str() + from, ": %lld frames in %lf s, frame handler %lf s", &frames, &exportWall,
                        &handler) != 3) {
            std::fprintf(stderr, "our export failed:\n%s", log.c_str());
            return 1;
        }
        const double wall = o.wall, cpu = o.cpu;
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

        const ProcessRun e = runProcess(floorEncodeCommand(floor, raw, floorOut));
        const ProcessRun s = runProcess(floorDecode, (dir / "floor-decode.log").string());
        if (!e.ok || !s.ok) {
            fs::remove(raw);
            std::fprintf(stderr, "the floor's encode or decode failed\n");
            return 1;
        }
        floorWall.push_back(e.wall + s.wall);
        floorCpu.push_back(e.cpu + s.cpu);
        overWall.push_back(wall / (e.wall + s.wall));
        overCpu.push_back(cpu / (e.cpu + s.cpu));
        cliOverWall.push_back(c.wall / (e.wall + s.wall));
        cliOverCpu.push_back(c.cpu / (e.cpu + s.cpu));
        floorPeak = std::max(floorPeak, e.peakKb);
        if (i == 0) {
            const std::string a = videoDigest(oursOut, dir / "ours.md5"), b = videoDigest(floorOut, dir / "floor.md5");
            sameVideo = !a.empty() && a == b;
            std::printf("the floor's video %s ours bit for bit (%s, %s)\n", sameVideo ? "is" : "is NOT", a.c_str(),
                        b.c_str());
        }
        std::printf(
            "floor  run %d: %6.2f s wall, %6.2f s CPU (encode %.2f s, %.2f s CPU, peak %ld MB; decode of the "
            "source %.2f s, %.2f s CPU)\n",
            i + 1, e.wall + s.wall, e.cpu + s.cpu, e.wall, e.cpu, e.peakKb / 1024, s.wall, s.cpu);
        std::fflush(stdout);
    }
    fs::remove(raw);
    const double o = median(oursWall), c = median(cliWall);
    std::printf("median ours %.2f s (%.2f s CPU), ffmpeg %.2f s (%.2f s CPU): %.2fx faster (target >= 2x)\n", o,
                median(oursCpu), c, median(cliCpu), c / o);
    std::printf("CPU time: ffmpeg / ours %.2fx\n", median(cliCpu) / median(oursCpu));
    std::printf("compositing %.1f %% of our CPU time (target < 25 %%)\n", 100 * median(share));
    std::printf(
        "floor (encoder alone on the frames we hand it + decode of the source): %.2f s (%.2f s CPU); ours / floor "
        "%.2fx wall, %.2fx CPU (target <= 1.10x both)\n",
        median(floorWall), median(floorCpu), median(overWall), median(overCpu));
    std::printf("peak memory: ours %ld MB, ffmpeg %ld MB, the floor's encoder %ld MB\n", oursPeak / 1024,
                cliPeak / 1024, floorPeak / 1024);
    std::printf("sizes: ours %ju bytes, ffmpeg %ju bytes, the floor's %ju bytes\n", uintmax_t(fs::file_size(oursOut)),
                uintmax_t(fs::file_size(cliOut)), uintmax_t(fs::file_size(floorOut)));
    double load[1] = {0};
    if (::getloadavg(load, 1) == 1)
        std::printf("load average while measuring: %.1f on %u cores\n", load[0], std::thread::hardware_concurrency());
    // The three side by side; the ratios to the floor are medians of the
    // runs' own ratios, so that each is taken under one load.
    std::printf("\nrecording, median of %d       |   wall |    CPU | peak RSS | wall/floor | CPU/floor\n", runs);
    std::printf("plinthora frame               | %5.2fs | %5.2fs | %5ld MB |     %5.2fx |    %5.2fx\n", o,
                median(oursCpu), oursPeak / 1024, median(overWall), median(overCpu));
    std::printf("floor (x264 alone + decode)   | %5.2fs | %5.2fs | %5ld MB |     %5.2fx |    %5.2fx\n",
                median(floorWall), median(floorCpu), floorPeak / 1024, 1.0, 1.0);
    std::printf("ffmpeg command line           | %5.2fs | %5.2fs | %5ld MB |     %5.2fx |    %5.2fx\n", c,
                median(cliCpu), cliPeak / 1024, median(cliOverWall), median(cliOverCpu));
    std::printf("targets: ours <= 1.10x the floor in wall and CPU; peak RSS ours / ffmpeg %.2f (target < 1)\n",
                double(oursPeak) / double(std::max(cliPeak, 1L)));
    if (!sameVideo) std::printf("the floor encoded something else than ours: its ratios do not hold\n");
    return 0;
}
