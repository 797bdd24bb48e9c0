#include "discovery/SRPhotoObserver.h"

#include "platform/ports/Platform.h"

namespace plinthora {

SRPhotoObserver& SRPhotoObserver::sharedInstance() {
    static SRPhotoObserver instance;
    return instance;
}

void SRPhotoObserver::start() { ++startCountForTesting; }

void SRPhotoObserver::stop() {
    ++stopCountForTesting;
    // Recording discovery and export are not built yet.
    debugLog("capture ended; recording discovery is not available in this build");
}

}  // namespace plinthora
