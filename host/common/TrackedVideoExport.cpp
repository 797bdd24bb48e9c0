#include "host/common/TrackedVideoExport.h"

#include "imaging/parallel_for.h"

#include <chrono>

namespace plinthora::host {

// What a caller holds: the port's session once the export has started,
// Waiting until then.
class TrackedVideoExport::Session : public ExportSession {
public:
    explicit Session(TrackedVideoExport& owner) : owner_(owner) {}

    void cancel() override { owner_.cancel(this); }
    ExportStatus status() const override {
        std::lock_guard g(m_);
        if (inner_) return inner_->status();
        return ended_ ? *ended_ : ExportStatus::Waiting;
    }
    ExportProgress progress() const override {
        std::lock_guard g(m_);
        return inner_ ? inner_->progress() : ExportProgress{};
    }

    // Set once the port has taken the request; a cancel that came while it
    // was being handed over is passed on now.
    void attach(std::shared_ptr<ExportSession> inner) {
        bool cancelNow = false;
        {
            std::lock_guard g(m_);
            inner_ = inner;
            cancelNow = cancelRequested_;
        }
        if (cancelNow) inner->cancel();
    }
    // Returns the port's session to cancel, or null (then remembered).
    std::shared_ptr<ExportSession> requestCancel() {
        std::lock_guard g(m_);
        cancelRequested_ = true;
        return inner_;
    }
    void end(ExportStatus status) {
        std::lock_guard g(m_);
        ended_ = status;
    }

private:
    TrackedVideoExport& owner_;
    mutable std::mutex m_;
    std::shared_ptr<ExportSession> inner_;
    std::optional<ExportStatus> ended_;
    bool cancelRequested_ = false;
};

std::shared_ptr<ExportSession> TrackedVideoExport::exportAsynchronously(ExportRequest request,
                                                                        std::function<void(ExportStatus)> completion) {
    // The port works on as many frames at once as there are cores, so the
    // loops inside a frame run inline. Said here, on this process's own
    // loop helper: the port may sit in a module with a helper of its own,
    // and the handler's loops run in ours.
    if (request.frameHandler)
        request.frameHandler = [handler = std::move(request.frameHandler)](const Bitmap& source, Bitmap& output,
                                                                           int64_t frame,
                                                                           const Imaging::RowBands& bands) {
            const imaging::SerialLoops serial;
            handler(source, output, frame, bands);
        };
    auto session = std::make_shared<Session>(*this);
    Iterator entry;
    bool startNow = false;
    const std::string source = request.sourcePath, output = request.outputPath;
    {
        std::lock_guard g(lock_);
        entry = entries_.insert(entries_.end(), Entry{source, session, std::move(request), std::move(completion)});
        // Nothing ahead of it and room to run: the port answers now, and a
        // refusal is the caller's to see, as without the queue.
        startNow = running_ < maxRunning_ && entry == entries_.begin();
        if (startNow) {
            entry->started = true;
            ++running_;
        }
        sources_[output] = source;
        if (!startNow) ++startedFor_[source];
    }
    if (startNow) {
        if (!start(entry)) return nullptr;
        std::lock_guard g(lock_);
        ++startedFor_[source];
    }
    return session;
}

bool TrackedVideoExport::start(Iterator entry) {
    // Only this thread touches a started entry's request and completion
    // until the port calls back.
    std::function<void(ExportStatus)> completion = std::move(entry->completion);
    // The port may call back before it returns, and the entry goes then.
    const std::shared_ptr<Session> session = entry->session;
    auto inner = inner_.exportAsynchronously(std::move(entry->request), [this, entry, completion](ExportStatus status) {
        finished(entry, status, completion);
    });
    if (inner) {
        session->attach(std::move(inner));
        return true;
    }
    {
        std::lock_guard g(lock_);
        --running_;
        entries_.erase(entry);
        changed_.notify_all();
    }
    startWaiting();
    return false;
}

void TrackedVideoExport::startWaiting() {
    for (;;) {
        Iterator next;
        {
            std::lock_guard g(lock_);
            if (running_ >= maxRunning_) return;
            next = entries_.begin();
            while (next != entries_.end() && next->started) ++next;
            if (next == entries_.end()) return;
            next->started = true;
            ++running_;
        }
        const std::shared_ptr<Session> session = next->session;
        std::function<void(ExportStatus)> completion = next->completion;  // start() takes it
        if (!start(next)) {
            session->end(ExportStatus::Failed);
            if (completion) completion(ExportStatus::Failed);
        }
    }
}

TrackedVideoExport::~TrackedVideoExport() {
    std::unique_lock g(lock_);
    changed_.wait(g, [this] { return finishing_ == 0; });
}

void TrackedVideoExport::finished(Iterator entry, ExportStatus status,
                                  const std::function<void(ExportStatus)>& completion) {
    {
        std::lock_guard g(lock_);
        ++finishing_;
    }
    entry->session->end(status);
    // Before the completion: once that has run, the owner may be on its way
    // out.
    if (observer_) observer_(entry->sourcePath, status);
    if (completion) completion(status);
    {
        std::lock_guard g(lock_);
        --running_;
        entries_.erase(entry);
        changed_.notify_all();
    }
    startWaiting();
    std::lock_guard g(lock_);
    --finishing_;
    changed_.notify_all();
}

void TrackedVideoExport::cancel(Session* session) {
    std::function<void(ExportStatus)> completion;
    std::shared_ptr<Session> waiting;  // keeps the session alive past the erase
    {
        std::lock_guard g(lock_);
        for (auto it = entries_.begin(); it != entries_.end(); ++it) {
            if (it->session.get() != session) continue;
            if (!it->started) {
                waiting = it->session;
                completion = std::move(it->completion);
                entries_.erase(it);
                changed_.notify_all();
            }
            break;
        }
    }
    if (waiting) {
        waiting->end(ExportStatus::Cancelled);
        if (completion) completion(ExportStatus::Cancelled);
        return;
    }
    if (auto inner = session->requestCancel()) inner->cancel();
}

std::vector<TrackedVideoExport::InFlight> TrackedVideoExport::inFlight() const {
    std::lock_guard g(lock_);
    std::vector<InFlight> out;
    for (const Entry& e : entries_) out.push_back({e.sourcePath, e.session->progress(), !e.started});
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
    std::vector<std::shared_ptr<Session>> sessions;
    {
        std::lock_guard g(lock_);
        for (const Entry& e : entries_) sessions.push_back(e.session);
    }
    // Outside the lock: a session may end itself from within cancel().
    for (auto& s : sessions) s->cancel();
    std::unique_lock g(lock_);
    return changed_.wait_for(g, std::chrono::duration<double>(seconds), [this] { return entries_.empty(); });
}

}  // namespace plinthora::host
