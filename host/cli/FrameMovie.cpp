// plinthora frame MOVIE: a recording through the daemon's own recording
// pipeline, without the daemon. The pipeline finds its shell and watermark
// in the asset folders; --shell and --watermark pin those folders to the
// one file given. Its delivery lands in a library of our own that puts the
// finished movie where the command's results go.
#include "compositing/SRAssetResolver.h"
#include "host/cli/Frame.h"
#include "host/common/TrackedVideoExport.h"
#include "platform/linux/Files.h"
#include "platform/linux/LinuxPlatform.h"
#include "platform/linux/ProcessTuning.h"
#include "settings/SRSettings.h"

#include <chrono>
#include <condition_variable>
#include <cerrno>
#include <dlfcn.h>
#include <filesystem>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <map>
#include <memory>
#include <thread>
#include <unistd.h>
#include <vector>

namespace plinthora::cli::frame {

namespace {

using linux_platform::baseName;
using linux_platform::parentFolder;

// The file system with asset folders that hold exactly one given file (and,
// for a shell, the template beside it).
class PinnedAssetFileSystem : public linux_platform::PosixFileSystem {
public:
    void pin(const std::string& folder, const std::string& file) { pinned_[folder] = file; }

    std::string realPath(const std::string& path) const override {
        for (const auto& [folder, file] : pinned_)
            if (path.rfind(folder + "/", 0) == 0) return parentFolder(file) + path.substr(folder.size());
        return PosixFileSystem::realPath(path);
    }
    std::optional<std::vector<std::string>> listDirectory(const std::string& path) const override {
        if (auto it = pinned_.find(path); it != pinned_.end()) return std::vector<std::string>{baseName(it->second)};
        return PosixFileSystem::listDirectory(path);
    }
    bool createDirectories(const std::string& path) override {
        return pinned_.count(path) || PosixFileSystem::createDirectories(path);
    }

private:
    std::map<std::string, std::string> pinned_;
};

// Where delivery puts a finished movie: the command's destination for the
// input it was made from.
class DestinationLibrary : public PhotoLibrary {
public:
    std::vector<Asset> fetchNewest(MediaType, int, double) const override { return {}; }
    std::optional<std::string> requestImageData(const Asset&) override { return std::nullopt; }
    void requestVideoFile(const Asset&, std::function<void(std::optional<std::string>)> handler) override {
        handler(std::nullopt);
    }
    void createImageAsset(Image, ChangeCompletion completion) override {
        if (completion) completion(false, "");
    }
    void deleteAssets(const std::vector<Asset>&, ChangeCompletion completion) override {
        if (completion) completion(false, "");
    }
    void createVideoAsset(const std::string& videoPath, ChangeCompletion completion) override {
        Outcome o;
        const std::optional<std::string> input = exports->sourceOf(videoPath);
        if (input)
            o = deliver(*input, videoPath);
        else
            o.error = videoPath + ": finished, but for no input of ours";
        if (completion) completion(o.error.empty(), o.output);
        if (input) {
            std::lock_guard g(lock);
            outcomes[*input] = o;
        }
        delivered.notify_all();
    }

    Outcome deliver(const std::string& input, const std::string& movie) {
        // Copied beside its final place first: the temporary folder may lie
        // on another file system.
        const std::string folder = ctx->destination.folderFor(input);
        const int in = ::open(movie.c_str(), O_RDONLY | O_CLOEXEC);
        if (in < 0) return {{}, folder + ": cannot write: " + std::strerror(errno)};
        const auto placed = ctx->destination.save(
            input, [in](int out) { return linux_platform::copyAll(in, out); }, ".mp4");
        const int err = errno;
        ::close(in);
        if (!placed) return {{}, folder + ": cannot write: " + std::strerror(err)};
        return {*placed, {}};
    }

    const Context* ctx = nullptr;
    host::TrackedVideoExport* exports = nullptr;
    std::mutex lock;
    std::condition_variable delivered;  // an outcome was added
    std::map<std::string, Outcome> outcomes;
};

class SilentSound : public SystemSound {
public:
    void play(int) override {}
};

// The FFmpeg video port, opened from its module at the first movie (see
// MoviesModule.cpp). Until then nothing of the codec libraries is loaded.
class ModuleVideoExport : public VideoExport {
public:
    std::optional<MovieInfo> open(const std::string& path) const override {
        VideoExport* inner = load();
        return inner ? inner->open(path) : std::nullopt;
    }
    std::shared_ptr<ExportSession> exportAsynchronously(ExportRequest request,
                                                        std::function<void(ExportStatus)> completion) override {
        VideoExport* inner = load();
        if (inner) return inner->exportAsynchronously(std::move(request), std::move(completion));
        if (completion) completion(ExportStatus::Failed);
        return nullptr;
    }
    // Why the module could not be opened; empty once it is.
    const std::string& loadError() const { return error_; }

private:
    VideoExport* load() const {
        std::call_once(once_, [this] {
            std::error_code ec;
            const std::string dir = std::filesystem::read_symlink("/proc/self/exe", ec).parent_path().string();
            std::vector<std::string> candidates;
            if (!ec) {
                candidates.push_back(dir + "/" + kFileName);
                candidates.push_back(dir + "/../" PLINTHORA_INSTALL_LIBDIR "/plinthora/" + kFileName);
            }
            candidates.push_back(std::string(PLINTHORA_BUILD_MOVIES_DIR) + "/" + kFileName);
            for (const std::string& path : candidates) {
                if (::access(path.c_str(), F_OK) != 0) continue;
                void* h = ::dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
                auto create =
                    h ? reinterpret_cast<VideoExport* (*)()>(::dlsym(h, "PlinthoraMoviesCreateExport")) : nullptr;
                if (create) {
                    // Kept for the life of the process, like the library.
                    inner_.reset(create());
                    error_.clear();
                    return;
                }
                error_ = path + ": " + (h ? "no PlinthoraMoviesCreateExport" : ::dlerror());
            }
            if (error_.empty()) error_ = std::string(kFileName) + " is not installed";
        });
        return inner_.get();
    }

    static constexpr const char* kFileName = "libPlinthoraMovies.so";
    mutable std::once_flag once_;
    mutable std::unique_ptr<VideoExport> inner_;
    mutable std::string error_;
};

struct MoviePorts {
    PinnedAssetFileSystem fs;
    ModuleVideoExport ffmpeg;
    host::TrackedVideoExport video{ffmpeg};
    DestinationLibrary library;
    SilentSound sound;
};
MoviePorts* moviePorts = nullptr;
// Each export keeps every core busy; movies take turns.
std::mutex oneMovieAtATime;

std::string clock(double seconds) {
    const long s = std::lround(std::max(0.0, seconds));
    char buf[32];
    std::snprintf(buf, sizeof buf, "%ld:%02ld", s / 60, s % 60);
    return buf;
}

// Frames done, frames per second and time left: a bar redrawn on a
// terminal, a plain line every few seconds elsewhere.
void report(const std::string& input, const ExportProgress& p, double elapsed, bool terminal, double& lastLine) {
    const double fps = elapsed > 0 ? p.framesDone / elapsed : 0;
    const double left = fps > 0 && p.framesTotal > p.framesDone ? (p.framesTotal - p.framesDone) / fps : 0;
    if (terminal) {
        constexpr int kWidth = 30;
        const int filled =
            p.framesTotal > 0 ? int(std::min<int64_t>(p.framesDone, p.framesTotal) * kWidth / p.framesTotal) : 0;
        std::fprintf(stderr, "\r\033[K[%s%s] %lld/%lld frames  %.1f fps  %s left",
                     std::string(size_t(filled), '#').c_str(), std::string(size_t(kWidth - filled), '.').c_str(),
                     (long long)p.framesDone, (long long)p.framesTotal, fps, clock(left).c_str());
    } else if (elapsed - lastLine >= 2.0) {
        lastLine = elapsed;
        std::fprintf(stderr, "plinthora frame: %s: %lld/%lld frames, %.1f fps, %s left\n", input.c_str(),
                     (long long)p.framesDone, (long long)p.framesTotal, fps, clock(left).c_str());
    }
    std::fflush(stderr);
}

}  // namespace

void prepareMovies(Platform& p, const Context& ctx, const std::optional<std::string>& shellPath,
                   const std::optional<std::string>& watermarkPath) {
    // Never destroyed: an export's thread still runs the last lines of its
    // completion while the command, told the outcome, is already exiting.
    static MoviePorts& ports = *new MoviePorts;
    moviePorts = &ports;
    if (shellPath) {
        ports.fs.pin(kShellFolder, *shellPath);
        ports.fs.pin(kLandscapeShellFolder, *shellPath);
    }
    if (watermarkPath) ports.fs.pin(kWatermarkFolder, *watermarkPath);
    ports.library.ctx = &ctx;
    ports.library.exports = &ports.video;
    p.fs = &ports.fs;
    p.video = &ports.video;
    p.photos = &ports.library;
    p.sound = &ports.sound;
}

void applyMovieSettings(bool shellGiven, bool watermarkGiven) {
    SRSettings& s = settings();
    // The one file given is the only one in its folder.
    if (shellGiven) {
        s.recShellEnabled = true;
        s.randomShell = false;
        s.setSelectedShell(nullptr);
    }
    if (watermarkGiven) {
        s.recWatermarkEnabled = true;
        s.randomWatermark = false;
        s.setSelectedWatermark(nullptr);
    }
    // Only the daemon touches originals.
    s.deleteOriginal = false;
    s.vibrationEnabled = false;
}

Outcome frameMovie(const Context& ctx, const std::string& input) {
    MoviePorts& ports = *moviePorts;
    // The shell and the watermark the command loaded, and kept decoded for
    // the pipeline, are the ones it takes.
    if (!ctx.ready.get()) return {{}, {}, true};
    std::lock_guard turn(oneMovieAtATime);
    // The huge pages the command asks for on behalf of stills.
    linux_platform::forgoHugePages();
    const std::optional<MovieInfo> info = ports.video.open(input);
    if (!ports.ffmpeg.loadError().empty())
        return {{}, input + ": movies cannot be framed here: " + ports.ffmpeg.loadError()};
    if (!info || !info->hasVideo) return {{}, input + ": not a movie that can be read (no video track, or cut off)"};
    SRSettings& s = settings();
    if (!s.recShellEnabled && !s.recWatermarkEnabled)
        return {{}, input + ": both recording features are off (pass --shell or --watermark)"};
    const int before = ports.video.startedFor(input);
    try {
        SRUnifiedProcessor::sharedInstance().processVideoWithURL(input, std::nullopt);
    } catch (const std::exception& e) {
        return {{}, input + ": the shell's template cannot be read: " + e.what()};
    }
    if (ports.video.startedFor(input) == before)
        return {{}, input + ": no shell found for its orientation (pass --shell); left as it is"};

    const bool terminal = ::isatty(STDERR_FILENO);
    const auto start = std::chrono::steady_clock::now();
    double lastLine = 0;
    for (;;) {
        {
            std::lock_guard g(ports.library.lock);
            if (auto it = ports.library.outcomes.find(input); it != ports.library.outcomes.end()) {
                Outcome o = it->second;
                ports.library.outcomes.erase(it);
                if (terminal) std::fputs("\r\033[K", stderr);
                return o;
            }
        }
        bool running = false;
        for (const auto& e : ports.video.inFlight())
            if (e.sourcePath == input) {
                running = true;
                const double elapsed = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
                report(input, e.progress, elapsed, terminal, lastLine);
            }
        // The outcome ends the wait at once; progress is redrawn meanwhile.
        std::unique_lock g(ports.library.lock);
        const auto arrived = [&] { return ports.library.outcomes.count(input) > 0; };
        if (!running) {
            // Ended without reaching delivery, unless delivery is running
            // right now: wait a little for it before calling it a failure.
            if (ports.library.delivered.wait_for(g, std::chrono::milliseconds(50), arrived)) continue;
            if (terminal) std::fputs("\r\033[K", stderr);
            return {{}, input + ": the movie could not be re-encoded (unreadable or cut off)"};
        }
        ports.library.delivered.wait_for(g, std::chrono::milliseconds(200), arrived);
    }
}

}  // namespace plinthora::cli::frame
