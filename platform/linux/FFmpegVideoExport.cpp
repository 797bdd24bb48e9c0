#include "platform/linux/FFmpegVideoExport.h"

#include "platform/linux/FFmpegExporter.h"
#include "platform/linux/FFmpegMovie.h"
#include "platform/linux/ProcessTuning.h"

#include <condition_variable>
#include <list>
#include <mutex>
#include <system_error>
#include <thread>
#include <utility>

namespace plinthora::linux_platform {

using namespace ffmpeg;

// ---- sessions and the registry of running exports --------------------------

namespace {

class Session : public ExportSession {
public:
    explicit Session(std::shared_ptr<SessionState> s) : s_(std::move(s)) {}
    void cancel() override {
        if (!s_->ended()) s_->cancelRequested = true;
    }
    ExportStatus status() const override { return ExportStatus(s_->status.load()); }
    ExportProgress progress() const override { return {s_->framesDone.load(), s_->framesTotal.load()}; }

private:
    std::shared_ptr<SessionState> s_;
};

}  // namespace

struct FFmpegVideoExport::Registry {
    mutable std::mutex mutex;
    std::condition_variable idle;
    std::list<std::shared_ptr<SessionState>> running;
};

// ---- the port ---------------------------------------------------------------

FFmpegVideoExport::FFmpegVideoExport() : FFmpegVideoExport(Options{}) {}

FFmpegVideoExport::FFmpegVideoExport(Options options) : options_(options), registry_(std::make_shared<Registry>()) {
    routeLibraryLogs();
}

FFmpegVideoExport::~FFmpegVideoExport() { cancelAll(); }

std::optional<MovieInfo> FFmpegVideoExport::open(const std::string& path) const {
    auto movie = openMovie(path);
    if (!movie) return std::nullopt;
    return movie->info();
}

std::shared_ptr<ExportSession> FFmpegVideoExport::exportAsynchronously(ExportRequest request,
                                                                       std::function<void(ExportStatus)> completion) {
    if (!request.frameHandler || request.framesPerSecond <= 0 || request.outputPath.empty()) return nullptr;
    auto state = std::make_shared<SessionState>();
    state->sourcePath = request.sourcePath;
    {
        std::lock_guard lock(registry_->mutex);
        registry_->running.push_back(state);
    }
    auto body = [registry = registry_, state, options = options_, request = std::move(request),
                 completion = std::move(completion)]() mutable {
        state->status = int(ExportStatus::Exporting);
        ExportStatus status = ExportStatus::Cancelled;
        if (!state->cancelRequested) {
            const HugePagesOff hugePagesOff;
            status = exportMovie(request, *state, options);
        }
        state->status = int(status);
        if (completion) completion(status);
        // Whatever the completion held is released before anyone waiting in
        // cancelAll() goes on.
        completion = nullptr;
        request.frameHandler = nullptr;
        std::lock_guard lock(registry->mutex);
        registry->running.remove(state);
        registry->idle.notify_all();
    };
    try {
        std::thread(std::move(body)).detach();
    } catch (const std::system_error&) {
        std::lock_guard lock(registry_->mutex);
        registry_->running.remove(state);
        return nullptr;
    }
    return std::make_shared<Session>(state);
}

std::vector<FFmpegVideoExport::Running> FFmpegVideoExport::running() const {
    std::lock_guard lock(registry_->mutex);
    std::vector<Running> out;
    for (const auto& s : registry_->running)
        out.push_back({s->sourcePath, {s->framesDone.load(), s->framesTotal.load()}});
    return out;
}

void FFmpegVideoExport::cancelAll() {
    std::unique_lock lock(registry_->mutex);
    for (const auto& s : registry_->running) s->cancelRequested = true;
    registry_->idle.wait(lock, [&] { return registry_->running.empty(); });
}

}  // namespace plinthora::linux_platform
