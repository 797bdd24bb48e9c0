// A run is at most two attempts: 1.5 s after the capture end, and once more
// 3 s later when the library did not have the recording yet. Whatever ends a
// run (a handover, nothing found twice, a failure, both features off at the
// retry) clears the in-progress flag, or every later capture end would be
// dropped.
#include "discovery/SRPhotoObserver.h"

#include "compositing/SRUnifiedProcessor.h"
#include "history/RecentCaptureTable.h"
#include "platform/ports/Platform.h"
#include "settings/SRSettings.h"

#include <exception>

namespace plinthora {

namespace {
constexpr double kStartDelay = 1.5;
constexpr double kRetryDelay = 1.5;
constexpr double kCandidateWindow = 120;
constexpr int kFetchLimit = 10;

bool recordingFeatureOn() {
    SRSettings& s = settings();
    return s.recShellEnabled || s.recWatermarkEnabled;
}
}  // namespace

SRPhotoObserver& SRPhotoObserver::sharedInstance() {
    static SRPhotoObserver instance;
    return instance;
}

void SRPhotoObserver::resetForTesting() {
    std::lock_guard g(lock_);
    recordingProcessing_ = false;
}

void SRPhotoObserver::start() { ++startCountForTesting; }

void SRPhotoObserver::stop() {
    ++stopCountForTesting;
    processWithRetry(false);
}

void SRPhotoObserver::endRun(const char* why) {
    debugLog("recording run ends: %s", why);
    recordingProcessing_ = false;
}

void SRPhotoObserver::processWithRetry(bool retry) {
    if (!recordingFeatureOn()) {
        // A retry carries a run whose flag is on; switching both features
        // off while it waited must still end that run.
        if (retry) endRun("both recording features are off");
        return;
    }
    {
        std::lock_guard g(lock_);
        if (recordingProcessing_ && !retry) return;
        if (!retry) recordingProcessing_ = true;
    }
    platform().dispatch->after(kStartDelay, Queue::Global, [this, retry] {
        try {
            discoverRecentRecording(retry);
        } catch (const std::exception& e) {
            endRun(e.what());
        }
    });
}

void SRPhotoObserver::discoverRecentRecording(bool retry) {
    Platform& p = platform();
    const std::vector<Asset> assets =
        p.photos->fetchNewest(MediaType::Video, kFetchLimit, p.clock->wallNow() - kCandidateWindow);
    const Asset* best = nullptr;
    if (!assets.empty()) {
        const double now = p.clock->wallNow();
        for (const Asset& a : assets) {
            if (a.localIdentifier.empty() || a.ownResult) continue;
            pruneRecentAssetIdentifiers();
            if (isRecentlyHandled(a.localIdentifier)) continue;
            if (now - a.creationDate > kCandidateWindow) continue;
            // Strictly later: on equal dates the first one listed stays.
            if (!best || a.creationDate > best->creationDate) best = &a;
        }
    }
    if (!best) {
        if (retry) return endRun("no new recording after the retry");
        debugLog("no new recording yet; trying once more in %.1f s", kRetryDelay);
        p.dispatch->after(kRetryDelay, Queue::Main, [this] { processWithRetry(true); });
        return;
    }
    const Asset asset = *best;
    recordRecentAssetIdentifier(asset.localIdentifier);
    p.photos->requestVideoFile(asset, [this, asset](std::optional<std::string> path) {
        try {
            handleVideoFile(path, asset);
        } catch (const std::exception& e) {
            return endRun(e.what());
        }
        endRun("handed over");
    });
}

void SRPhotoObserver::handleVideoFile(const std::optional<std::string>& path, const Asset& asset) {
    if (!path) {
        debugLog("recording %s has no local file", asset.localIdentifier.c_str());
        return;
    }
    SRUnifiedProcessor::sharedInstance().processVideoWithURL(*path, asset);
}

}  // namespace plinthora
