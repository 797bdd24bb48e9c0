#include "host/common/TrackedVideoExport.h"

#include "platform/linux/ParallelFor.h"

#include <chrono>

namespace plinthora::host {

std::shared_ptr<ExportSession> TrackedVideoExport::exportAsynchronously(
    ExportRequest request, std::function<void(ExportStatus)> completion) {
    // The port works on as many frames at once as there are cores, so the
    // loops inside a frame run inline. Said here, on this process's own
    // loop helper: the port may sit in a module with a helper of its own,
    // and the handler's loops run in ours.
    if (request.frameHandler)
        request.frameHandler = [handler = std::move(request.frameHandler)](const Bitmap& source, Bitmap& output,
                                                                          int64_t frame) {
            const linux_platform::SerialLoops serial;
            handler(source, output, frame);
        };
    std::list<Entry>::iterator entry;
    {
        std::lock_guard g(lock_);
        sources_[request.outputPath] = request.sourcePath;
        entry = entries_.insert(entries_.end(), Entry{request.sourcePath, nullptr, false});
    }
    // The completion may run before the session is handed back here; the
    // entry is then already marked done and dropped below.
    auto session = inner_.exportAsynchronously(
        std::move(request), [this, entry, completion = std::move(completion)](ExportStatus status) {
            if (completion) completion(status);
            std::lock_guard g(lock_);
            if (entry->session) entries_.erase(entry);
            else entry->done = true;
            changed_.notify_all();
        });
    std::lock_guard g(lock_);
    if (session) ++startedFor_[entry->sourcePath];
    if (!session || entry->done) {
        entries_.erase(entry);
        changed_.notify_all();
    } else {
        entry->session = session;
    }
    return session;
}

std::vector<TrackedVideoExport::InFlight> TrackedVideoExport::inFlight() const {
    std::lock_guard g(lock_);
    std::vector<InFlight> out;
    for (const Entry& e : entries_)
        if (e.session) out.push_back({e.sourcePath, e.session->progress()});
    return out;
}

int TrackedVideoExport::startedFor(const std::string& sourcePath) const {
    std::lock_guard g(lock_);
    auto it = startedFor_.find(sourcePath);
    return it == startedFor_.end() ? 0 : it->second;
}

std::optional<std::string> TrackedVideoExport::sourceOf(const std::string& outputPath) const {
    std::lock_guard g(lock_);
    auto it = sources_.find(outputPath);
    if (it == sources_.end()) return std::nullopt;
    return it->second;
}

bool TrackedVideoExport::cancelAllAndWait(double seconds) {
    std::vector<std::shared_ptr<ExportSession>> sessions;
    {
        std::lock_guard g(lock_);
        for (const Entry& e : entries_)
            if (e.session) sessions.push_back(e.session);
    }
    // Outside the lock: a session may end itself from within cancel().
    for (auto& s : sessions) s->cancel();
    std::unique_lock g(lock_);
    return changed_.wait_for(g, std::chrono::duration<double>(seconds), [this] { return entries_.empty(); });
}

}  // namespace plinthora::host
