// Finds the newest recording once a screen capture ends.
#pragma once

namespace plinthora {

class SRPhotoObserver {
public:
    static SRPhotoObserver& sharedInstance();
    // A capture began: nothing to do until it ends.
    void start();
    // A capture ended: look for its recording.
    void stop();

    int startCountForTesting = 0;
    int stopCountForTesting = 0;

private:
    SRPhotoObserver() = default;
};

}  // namespace plinthora
