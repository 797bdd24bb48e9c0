// Finds the newest recording once a screen capture ends and hands it to the
// recording pipeline.
#pragma once

#include "platform/ports/Media.h"

#include <atomic>
#include <mutex>
#include <optional>
#include <string>

namespace plinthora {

class SRPhotoObserver {
public:
    static SRPhotoObserver& sharedInstance();
    // A capture began: nothing to do until it ends.
    void start();
    // A capture ended: look for its recording.
    void stop();
    // Starts (retry false) or continues (retry true) a discovery run; the
    // attempt itself runs later on the global queue.
    void processWithRetry(bool retry);

    bool recordingProcessingForTesting() const { return recordingProcessing_; }
    void resetForTesting();
    int startCountForTesting = 0;
    int stopCountForTesting = 0;

private:
    SRPhotoObserver() = default;
    void discoverRecentRecording(bool retry);
    void handleVideoFile(const std::optional<std::string>& path, const Asset& asset);
    void endRun(const char* why);

    std::mutex lock_;
    // Set under the lock, cleared from attempts and handlers without it.
    std::atomic<bool> recordingProcessing_{false};
};

}  // namespace plinthora
