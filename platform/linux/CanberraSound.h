// System sounds on Linux through libcanberra, which follows the user's
// sound theme and sound server.
#pragma once

#include "platform/ports/Media.h"

#include <mutex>

struct ca_context;

namespace plinthora::linux_platform {

// Sends the sound library's own messages (every failed device probe, a
// screenful without a sound card) to the debug log. Call before anything
// opens a sound device.
void quietSoundLibraryMessages();

// Plays the theme's event sound for a sound id. Where there is no sound
// server or device, or the theme lacks the sound, it stays silent and says
// so once in the debug log: a missing sound never stops the work it
// accompanies.
class CanberraSound : public SystemSound {
public:
    CanberraSound() = default;
    ~CanberraSound() override;
    CanberraSound(const CanberraSound&) = delete;
    CanberraSound& operator=(const CanberraSound&) = delete;

    void play(int soundId) override;

    // The freedesktop event id for a sound id, or nullptr for ids we have
    // no sound for (those are ignored).
    static const char* eventIdFor(int soundId);

    // How many plays reached libcanberra (a play that is ignored or comes
    // after giving up does not count).
    int attempts() const;
    // False once we have given up: no context, or no device or sound to
    // play, which later plays would only rediscover (with driver noise on
    // stderr each time).
    bool available() const;

private:
    bool ensureContext();  // with mutex_ held
    void reportOnce(const char* what, int error);

    mutable std::mutex mutex_;
    ca_context* context_ = nullptr;
    bool unavailable_ = false;
    bool reported_ = false;
    bool played_ = false;  // a play reached the backend (see the destructor)
    int attempts_ = 0;
};

}  // namespace plinthora::linux_platform
