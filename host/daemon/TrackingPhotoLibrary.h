// The photo library the daemon hands the tweak: the real one, with the
// changes in flight counted.
#pragma once

#include "platform/ports/Media.h"

#include <atomic>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace plinthora::host {

// Counts the library changes in flight, so a shutdown can wait for them.
class TrackingPhotoLibrary : public PhotoLibrary {
public:
    explicit TrackingPhotoLibrary(PhotoLibrary& inner) : inner_(inner) {}
    std::vector<Asset> fetchNewest(MediaType type, int limit, double createdAfter) const override {
        return inner_.fetchNewest(type, limit, createdAfter);
    }
    std::optional<std::string> requestImageData(const Asset& asset) override { return inner_.requestImageData(asset); }
    void requestVideoFile(const Asset& asset, std::function<void(std::optional<std::string>)> handler) override;
    void createImageAsset(Image image, ChangeCompletion completion) override;
    void createVideoAsset(const std::string& videoPath, ChangeCompletion completion) override;
    void deleteAssets(const std::vector<Asset>& assets, ChangeCompletion completion) override;
    int inFlight() const { return inFlight_; }
    // Told of every movie save once it has completed, with the file saved.
    std::function<void(const std::string& videoPath)> videoSaved;

private:
    ChangeCompletion tracked(ChangeCompletion completion);
    PhotoLibrary& inner_;
    std::atomic<int> inFlight_{0};
};

}  // namespace plinthora::host
