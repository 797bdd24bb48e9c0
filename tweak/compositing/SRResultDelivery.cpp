// Putting a finished result where the user wants it. The order is the
// point: save first; only a confirmed save stamps the new asset, plays the
// sound and deletes the original, so a failed save never costs a capture.
#include "compositing/SRUnifiedProcessor.h"
#include "history/RecentCaptureTable.h"
#include "platform/ports/Platform.h"
#include "settings/SRSettings.h"

namespace plinthora {

namespace {
constexpr int kDeliveredSound = 1519;
}

void SRUnifiedProcessor::finalizeScreenshot(Image image, std::optional<Asset> original) {
    Platform& p = platform();
    SRSettings& s = settings();
    if (s.saveToClipboard) {
        // The clipboard may refuse a picture where the platform cannot put
        // it elsewhere: the original goes only once the picture is safe.
        const bool deleteOriginal = s.deleteOriginal && original.has_value();
        p.pasteboard->setImage(image, [original, deleteOriginal](bool kept) {
            if (!kept) {
                debugLog("the result reached neither the clipboard nor a file; the original stays");
                return;
            }
            if (deleteOriginal) platform().photos->deleteAssets({*original}, nullptr);
        });
        if (s.vibrationEnabled) p.sound->play(kDeliveredSound);
        return;
    }
    p.photos->createImageAsset(std::move(image), [this, original](bool success, const std::string& created) {
        finalizeCommon(success, created, original, std::nullopt);
    });
}

void SRUnifiedProcessor::finalizeVideoAtURL(const std::string& videoPath, std::optional<Asset> original) {
    platform().photos->createVideoAsset(videoPath,
                                        [this, original, videoPath](bool success, const std::string& created) {
                                            finalizeCommon(success, created, original, videoPath);
                                        });
}

void SRUnifiedProcessor::finalizeCommon(bool success, const std::string& createdIdentifier,
                                        const std::optional<Asset>& original,
                                        const std::optional<std::string>& fileToRemove) {
    Platform& p = platform();
    SRSettings& s = settings();
    if (success) {
        // A save that names no asset must not wipe out the guard on the
        // previous result: the screenshot search would take it up again.
        if (!createdIdentifier.empty()) {
            setLastSavedAssetIdentifier(createdIdentifier);
            recordRecentAssetIdentifier(createdIdentifier);
        }
        if (s.vibrationEnabled) p.sound->play(kDeliveredSound);
        if (s.deleteOriginal && original) p.photos->deleteAssets({*original}, nullptr);
    } else {
        debugLog("saving the result failed; the original stays");
    }
    // The temporary movie is ours from the call on, whatever happened.
    if (fileToRemove) p.fs->removeItem(*fileToRemove);
    pruneRecentAssetIdentifiers();
}

}  // namespace plinthora
