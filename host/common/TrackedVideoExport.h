// The video port as the host programs use it: every export passes through
// here, so a program can list what is in flight (the daemon's Status, the
// command line's progress bar) and cancel it all on the way out, whatever
// implementation does the work.
#pragma once

#include "platform/ports/VideoExport.h"

#include <condition_variable>
#include <list>
#include <map>
#include <optional>
#include <mutex>
#include <string>
#include <vector>

namespace plinthora::host {

class TrackedVideoExport : public VideoExport {
public:
    explicit TrackedVideoExport(VideoExport& inner) : inner_(inner) {}

    std::optional<MovieInfo> open(const std::string& path) const override { return inner_.open(path); }
    std::shared_ptr<ExportSession> exportAsynchronously(ExportRequest request,
                                                        std::function<void(ExportStatus)> completion) override;

    struct InFlight {
        std::string sourcePath;
        ExportProgress progress;
    };
    // Started and not yet through their completion, oldest first.
    std::vector<InFlight> inFlight() const;
    // Exports started so far from this source, finished or not.
    int startedFor(const std::string& sourcePath) const;
    // The source of the export writing this output.
    std::optional<std::string> sourceOf(const std::string& outputPath) const;
    // Cancels everything in flight and waits (at most `seconds`) until each
    // has run its completion; true when none is left.
    bool cancelAllAndWait(double seconds);

private:
    struct Entry {
        std::string sourcePath;
        std::shared_ptr<ExportSession> session;  // null until the export has started
        bool done = false;
    };
    VideoExport& inner_;
    mutable std::mutex lock_;
    std::condition_variable changed_;
    std::list<Entry> entries_;
    std::map<std::string, int> startedFor_;
    std::map<std::string, std::string> sources_;  // output path → source path
};

}  // namespace plinthora::host
