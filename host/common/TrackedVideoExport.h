// The video port as the host programs use it: every export passes through
// here, so a program can list what is in flight (the daemon's Status, the
// command line's progress bar) and cancel it all on the way out, whatever
// implementation does the work.
//
// Exports also take turns here. Each one keeps every core busy and holds
// hundreds of megabytes of frames and encoder state, so recordings that
// finish in a row would only slow each other down while their memory
// added up. A request beyond `maxRunning` waits (status Waiting) and starts
// when one ends, oldest first.
#pragma once

#include "platform/ports/VideoExport.h"

#include <condition_variable>
#include <list>
#include <map>
#include <memory>
#include <optional>
#include <mutex>
#include <string>
#include <vector>

namespace plinthora::host {

class TrackedVideoExport : public VideoExport {
public:
    // Sessions handed out must not outlive this object.
    explicit TrackedVideoExport(VideoExport& inner, int maxRunning = 1)
        : inner_(inner), maxRunning_(maxRunning < 1 ? 1 : maxRunning) {}
    // Waits for completions still on their way out: a program may end as
    // soon as its last completion has run, while the thread that ran it is
    // still inside this object.
    ~TrackedVideoExport() override;

    std::optional<MovieInfo> open(const std::string& path) const override { return inner_.open(path); }
    // A waiting request that is cancelled runs its completion (Cancelled)
    // inside cancel(), on the caller's thread; a request the port refuses
    // once its turn comes completes as Failed.
    std::shared_ptr<ExportSession> exportAsynchronously(ExportRequest request,
                                                        std::function<void(ExportStatus)> completion) override;

    struct InFlight {
        std::string sourcePath;
        ExportProgress progress;
        bool waiting = false;  // not started yet: its turn has not come
    };
    // Accepted and not yet through their completion, oldest first.
    std::vector<InFlight> inFlight() const;
    // Exports accepted so far from this source, finished or not.
    int startedFor(const std::string& sourcePath) const;
    // The source of the export writing this output.
    std::optional<std::string> sourceOf(const std::string& outputPath) const;
    // Told of every export that ran to its end (completed, failed or
    // cancelled), on the export's completion thread, just before the
    // request's own completion. Set before the first export.
    using FinishedObserver = std::function<void(const std::string& sourcePath, ExportStatus status)>;
    void setFinishedObserver(FinishedObserver observer) { observer_ = std::move(observer); }
    // Cancels everything in flight and waits (at most `seconds`) until each
    // has run its completion; true when none is left.
    bool cancelAllAndWait(double seconds);

private:
    class Session;
    struct Entry {
        std::string sourcePath;
        std::shared_ptr<Session> session;
        ExportRequest request;  // moved out when it starts
        std::function<void(ExportStatus)> completion;
        bool started = false;
    };
    using Iterator = std::list<Entry>::iterator;

    // Starts waiting requests while there is room.
    void startWaiting();
    // Hands the request to the port; false when it refused.
    bool start(Iterator entry);
    void finished(Iterator entry, ExportStatus status, const std::function<void(ExportStatus)>& completion);
    void cancel(Session* session);

    VideoExport& inner_;
    const int maxRunning_;
    FinishedObserver observer_;
    mutable std::mutex lock_;
    std::condition_variable changed_;
    std::list<Entry> entries_;
    int running_ = 0;
    int finishing_ = 0;  // threads inside finished()
    std::map<std::string, int> startedFor_;
    std::map<std::string, std::string> sources_;  // output path → source path
};

}  // namespace plinthora::host
