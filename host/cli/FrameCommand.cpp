// plinthora frame: screenshots through the same composition as the daemon,
// without the daemon and without the library search. Any number of files
// and folders, each framed with the same options, several at a time.
#include "compositing/SRAssetResolver.h"
#include "host/cli/Commands.h"
#include "host/cli/Frame.h"
#include "host/cli/FrameArguments.h"
#include "platform/linux/Files.h"
#include "platform/linux/LinuxPlatform.h"
#include "platform/linux/MediaContent.h"
#include "platform/linux/MediaNames.h"
#include "platform/linux/ProcessTuning.h"
#include "settings/SRSettings.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <future>
#include <string>
#include <sys/stat.h>
#include <thread>
#include <variant>
#include <unistd.h>
#include <vector>

namespace plinthora::cli {

namespace frame {

namespace {

// input.png → input; never empty.
std::string stem(const std::string& input) {
    const std::string base = input.substr(input.rfind('/') + 1);
    const size_t dot = base.rfind('.');
    return dot != std::string::npos && dot > 0 ? base.substr(0, dot) : base;
}

// Milliseconds between laps, for the debug log's account of where a
// picture's time goes.
class Stopwatch {
public:
    double lap() {
        const auto now = std::chrono::steady_clock::now();
        const double ms = std::chrono::duration<double, std::milli>(now - last_).count();
        last_ = now;
        return ms;
    }

private:
    std::chrono::steady_clock::time_point last_ = std::chrono::steady_clock::now();
};

}  // namespace

std::string Destination::folderFor(const std::string& input) const {
    switch (kind_) {
    case Kind::Beside: return linux_platform::parentFolder(input);
    case Kind::Folder: return path_;
    case Kind::File: return linux_platform::parentFolder(path_);
    }
    return ".";
}

std::optional<std::string> Destination::save(const std::string& input, const std::function<bool(int fd)>& fill,
                                             const std::string& extension) const {
    const std::string folder = folderFor(input);
    const std::string base = folder + "/" + stem(input) + "-framed";
    linux_platform::SaveNames names;
    if (kind_ == Kind::File) {
        // A name the user chose: theirs to replace.
        names.replace = true;
        names.nth = [this](int n) { return n == 1 ? std::optional(path_) : std::nullopt; };
    } else {
        names.nth = [&](int n) -> std::optional<std::string> {
            if (n >= 10000) return std::nullopt;
            std::string name = base;
            if (n > 1) name.append(1, '-').append(std::to_string(n));
            return name + extension;
        };
    }
    std::string error;
    return linux_platform::saveFile(folder, stem(input) + ".", "", fill, names, error);
}

std::optional<std::string> Destination::write(const std::string& input, const std::string& bytes,
                                              const std::string& extension) const {
    return save(
        input, [&](int fd) { return linux_platform::writeAll(fd, bytes); }, extension);
}

const StillDressing& Context::dressingFor(bool landscape) const {
    const int i = landscape ? 1 : 0;
    std::call_once(once_[i], [&] {
        StillDressing& d = dressing_[i];
        d.watermark = watermark;
        d.watermarkMode = watermarkMode;
        std::shared_ptr<Bitmap> loaded;
        if (shellPath) {
            d.shellPath = shellPath;
            loaded = shell;
        } else if (settings().ssShellEnabled) {
            d.shellPath = SRAssetResolver::resolveShellPathIsLandscape(landscape);
            loaded = loadImageFile(d.shellPath);
        }
        d.shell = loaded;
        if (oneStill) d.spareShell = std::move(loaded);
        if (!d.shell && settings().ssShellEnabled) missedShell = true;
    });
    return dressing_[i];
}

Outcome frameStill(const Context& ctx, const std::string& input, const std::string& bytes) {
    Stopwatch clock;
    Image shot = ctx.imaging->decode(bytes);
    if (!shot) return {{}, input + ": not a PNG or JPEG image, or too large"};
    if (!ctx.ready.get()) return {{}, {}, true};
    const StillDressing& dressing = ctx.dressingFor(shot->width > shot->height);
    const double decoded = clock.lap();
    Image result;
    try {
        result = SRUnifiedProcessor::sharedInstance().composeScreenshot(shot, dressing);
    } catch (const TemplateError& e) {
        return {{}, *dressing.shellPath + ": " + e.what()};
    }
    // The encoder's buffers then reuse the picture's memory rather than
    // fresh pages.
    shot.reset();
    const double composed = clock.lap();
    auto png = ctx.imaging->encodePng(*result);
    if (!png) return {{}, input + ": encoding the PNG failed"};
    const double encoded = clock.lap();
    auto written = ctx.destination.write(input, linux_platform::withResultMark(std::move(*png)), ".png");
    if (!written) return {{}, ctx.destination.folderFor(input) + ": cannot write: " + std::strerror(errno)};
    debugLog(
        "frame %s: decode %.1f ms (with the wait for shell and watermark), compose %.1f ms, encode %.1f ms, "
        "write %.1f ms",
        input.c_str(), decoded, composed, encoded, clock.lap());
    return {*written, {}};
}

Outcome frameInput(const Context& ctx, const std::string& input) {
    if (linux_platform::looksLikeMovie(linux_platform::readFileHead(input).value_or(std::string())))
        return frameMovie(ctx, input);
    auto bytes = linux_platform::readWholeFile(input);
    if (!bytes) return {{}, input + ": " + std::strerror(errno)};
    // Every kind of input the command frames is told apart here, by its
    // first bytes; what no framer takes is reported by the still framer.
    return frameStill(ctx, input, *bytes);
}

}  // namespace frame

namespace {

using frame::fail;

bool isDirectory(const std::string& path) {
    struct stat st;
    return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool sameFile(const std::string& a, const std::string& b) {
    struct stat sa, sb;
    return ::stat(a.c_str(), &sa) == 0 && ::stat(b.c_str(), &sb) == 0 && sa.st_dev == sb.st_dev &&
           sa.st_ino == sb.st_ino;
}

// What a folder given as input contributes: its pictures and movies, by
// name, in name order; hidden files and our own results are left out, the
// daemon's and earlier runs' alike (known by the mark they carry, or by an
// older run's name).
std::vector<std::string> picturesIn(const std::string& folder) {
    std::vector<std::string> names;
    if (DIR* d = ::opendir(folder.c_str())) {
        while (const dirent* e = ::readdir(d)) {
            const std::string name = e->d_name;
            if (name.empty() || name[0] == '.') continue;
            const bool picture = SRAssetResolver::qualifiesAsImageName(name);
            if (!picture && !linux_platform::isVideoExtension(linux_platform::lowerExtension(name))) continue;
            if (frame::stem(name).ends_with("-framed")) continue;
            const std::string path = folder + "/" + name;
            if (isDirectory(path) || linux_platform::isOwnResult(path)) continue;
            // A movie's name is not enough: an .ogg may be sound only.
            if (!picture && !linux_platform::looksLikeMovie(linux_platform::readFileHead(path).value_or(""))) continue;
            names.push_back(path);
        }
        ::closedir(d);
    }
    std::sort(names.begin(), names.end());
    return names;
}

// Inputs framed so far, drawn as a bar on a terminal; result paths and
// failures go out as whole lines, the bar redrawn under them.
class Progress {
public:
    explicit Progress(size_t total) : total_(total), bar_(total > 1 && ::isatty(STDERR_FILENO)) {}

    void finished(const frame::Outcome& o) {
        std::lock_guard<std::mutex> hold(lock_);
        ++done_;
        clear();
        if (o.error.empty()) {
            std::printf("%s\n", o.output.c_str());
            std::fflush(stdout);
        } else {
            std::fprintf(stderr, "plinthora frame: %s\n", o.error.c_str());
            ++failed_;
        }
        draw();
    }
    void end() {
        std::lock_guard<std::mutex> hold(lock_);
        clear();
    }
    size_t failed() const { return failed_; }

private:
    void clear() {
        if (bar_) std::fputs("\r\033[K", stderr);
    }
    void draw() {
        if (!bar_ || done_ == total_) return;
        constexpr int kWidth = 30;
        const int filled = int(done_ * kWidth / total_);
        std::fprintf(stderr, "[%s%s] %zu/%zu", std::string(size_t(filled), '#').c_str(),
                     std::string(size_t(kWidth - filled), '.').c_str(), done_, total_);
        std::fflush(stderr);
    }

    std::mutex lock_;
    size_t total_, done_ = 0, failed_ = 0;
    bool bar_;
};

// Where -o puts the results: a folder (made when missing) when several
// inputs or a folder were given or OUT looks like a folder, else the one
// file OUT names, never the input itself. nullopt with `error` set when it
// cannot be used.
std::optional<frame::Destination> placeOutput(std::string output, bool several, const std::string& firstInput,
                                              std::string& error) {
    const bool toFolder = several || output.back() == '/' || isDirectory(output);
    output = frame::absolute(output);
    while (output.size() > 1 && output.back() == '/') output.pop_back();
    if (toFolder) {
        linux_platform::PosixFileSystem fs;
        if (!fs.createDirectories(output) || !isDirectory(output)) {
            error = output + ": cannot create the folder: " + std::strerror(errno);
            return std::nullopt;
        }
        return frame::Destination::folder(output);
    }
    if (output == firstInput || sameFile(output, firstInput)) {
        error = "refusing to overwrite the input " + firstInput;
        return std::nullopt;
    }
    return frame::Destination::file(output);
}

}  // namespace

int runFrame(int argc, char** argv) {
    frame::Stopwatch run;
    linux_platform::preferHugePages();
    auto parsed = frame::parseArguments(argc, argv);
    if (const int* status = std::get_if<int>(&parsed)) return *status;
    frame::Arguments& a = std::get<frame::Arguments>(parsed);
    const std::string &shellPath = a.shellPath, &watermarkPath = a.watermarkPath;

    // Folders give their pictures; files are taken as they are, so a bad
    // one is reported rather than skipped.
    std::vector<std::string> inputs;
    bool anyFolder = false;
    for (const std::string& given : a.inputs) {
        if (isDirectory(given)) {
            anyFolder = true;
            for (std::string& p : picturesIn(given)) inputs.push_back(std::move(p));
        } else {
            inputs.push_back(given);
        }
    }
    if (inputs.empty()) return fail("no pictures in the folders given");

    frame::Context ctx;
    if (!a.output.empty()) {
        std::string error;
        auto destination = placeOutput(a.output, a.inputs.size() > 1 || anyFolder, inputs[0], error);
        if (!destination) return fail(error);
        ctx.destination = *destination;
    }

    linux_platform::BasicPorts ports;
    linux_platform::QtImaging imaging;
    Platform p;
    ports.fillIn(p);
    p.imaging = &imaging;
    frame::prepareMovies(p, ctx, shellPath.empty() ? std::nullopt : std::optional(shellPath),
                         watermarkPath.empty() ? std::nullopt : std::optional(watermarkPath));
    setPlatform(p);
    loadSettings();
    frame::applyMovieSettings(!shellPath.empty(), !watermarkPath.empty());
    SRSettings& s = settings();
    if (a.mode) s.watermarkMode = *a.mode;
    if (a.blend) s.setWatermarkBlendMode(std::make_shared<const std::string>(*a.blend));
    if (a.opacity) s.watermarkOpacity = *a.opacity;

    ctx.imaging = &imaging;
    ctx.oneStill = inputs.size() == 1;
    ctx.watermarkMode = s.watermarkMode;
    std::promise<bool> prepared;
    ctx.ready = prepared.get_future().share();

    // Whole inputs in parallel: decoding and encoding one picture is mostly
    // serial work, so one input per core keeps every core busy; a single
    // input still spreads its pixel work over the cores. The first pictures
    // decode while this thread loads the shell and the watermark.
    Progress progress(inputs.size());
    std::atomic<size_t> next{0};
    auto worker = [&] {
        for (size_t i; (i = next++) < inputs.size();) {
            const frame::Outcome o = frame::frameInput(ctx, inputs[i]);
            if (o.calledOff || !ctx.ready.get()) return;
            progress.finished(o);
        }
    };
    const int workers = int(std::min<size_t>(inputs.size(), size_t(std::max(1u, std::thread::hardware_concurrency()))));
    std::vector<std::thread> pool;
    for (int w = 0; w < workers; ++w) pool.emplace_back(worker);

    // Movies are framed by the recording pipeline, which takes its shell and
    // watermark from the images it keeps decoded: a run of movies alone
    // loads them that way here too, so each is decoded once. Stills get a
    // copy of the shell of their own, whose pixels a single still may take
    // for its canvas.
    const bool onlyMovies = std::all_of(inputs.begin(), inputs.end(), [](const std::string& in) {
        return linux_platform::looksLikeMovie(linux_platform::readFileHead(in).value_or(std::string()));
    });
    const auto load = [onlyMovies](const std::optional<std::string>& path) -> Image {
        return onlyMovies ? keptImageFile(path) : loadImageFile(path);
    };
    // The watermark loads beside the shell.
    auto watermark = std::async(std::launch::async, [&]() -> Image {
        if (!watermarkPath.empty()) return load(watermarkPath);
        return s.ssWatermarkEnabled ? load(SRAssetResolver::resolveWatermarkPath()) : nullptr;
    });
    Image shell;
    if (!shellPath.empty()) {
        ctx.shellPath = shellPath;
        if (onlyMovies) {
            shell = keptImageFile(shellPath);
        } else {
            ctx.shell = loadImageFile(shellPath);
            shell = ctx.shell;
        }
    }
    ctx.watermark = watermark.get();
    std::string unusable;
    if (!watermarkPath.empty() && !ctx.watermark)
        unusable = watermarkPath + ": the watermark does not load as an image";
    else if (!shellPath.empty() && !shell)
        unusable = shellPath + ": the shell does not load as an image";
    prepared.set_value(unusable.empty());
    for (auto& t : pool) t.join();
    if (!unusable.empty()) return fail(unusable);
    progress.end();
    debugLog("frame: %zu input(s) in %.1f ms after start-up, on %d thread(s)", inputs.size(), run.lap(), workers);

    if (ctx.missedShell)
        std::fprintf(stderr,
                     "plinthora frame: no shell found in %s or %s (pass --shell, or start plinthorad once "
                     "for the samples); pictures were written without one\n",
                     ports.fs.realPath(kShellFolder).c_str(), ports.fs.realPath(kLandscapeShellFolder).c_str());
    return progress.failed() > 0 ? 1 : 0;
}

}  // namespace plinthora::cli
