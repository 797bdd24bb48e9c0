#include "host/daemon/TrackingPhotoLibrary.h"

namespace plinthora::host {

PhotoLibrary::ChangeCompletion TrackingPhotoLibrary::tracked(ChangeCompletion completion) {
    ++inFlight_;
    return [this, completion = std::move(completion)](bool ok, const std::string& id) {
        // The completion may start the next change (deleting the original),
        // which counts before this one stops counting.
        if (completion) completion(ok, id);
        --inFlight_;
    };
}

void TrackingPhotoLibrary::requestVideoFile(const Asset& asset,
                                            std::function<void(std::optional<std::string>)> handler) {
    ++inFlight_;
    inner_.requestVideoFile(asset, [this, handler = std::move(handler)](std::optional<std::string> path) {
        if (handler) handler(std::move(path));
        --inFlight_;
    });
}

void TrackingPhotoLibrary::createImageAsset(Image image, ChangeCompletion completion) {
    inner_.createImageAsset(std::move(image), tracked(std::move(completion)));
}

void TrackingPhotoLibrary::createVideoAsset(const std::string& videoPath, ChangeCompletion completion) {
    inner_.createVideoAsset(
        videoPath, tracked([this, videoPath, completion = std::move(completion)](bool ok, const std::string& id) {
            if (completion) completion(ok, id);
            if (videoSaved) videoSaved(videoPath);
        }));
}

void TrackingPhotoLibrary::deleteAssets(const std::vector<Asset>& assets, ChangeCompletion completion) {
    inner_.deleteAssets(assets, tracked(std::move(completion)));
}

}  // namespace plinthora::host
