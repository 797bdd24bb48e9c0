#include "platform/linux/CanberraSound.h"

#include "platform/ports/Platform.h"

#include <alsa/asoundlib.h>
#include <canberra.h>

#include <cstdarg>
#include <cstdio>

#include <vector>

namespace plinthora::linux_platform {

namespace {
struct SoundEvent {
    int soundId;
    const char* eventId;
    const char* description;
};
// 1519 is the short "done" tick played when a result is ready.
constexpr SoundEvent kEvents[] = {
    {1519, "complete", "Screenshot framed"},
};

// A context that has started a sound is never destroyed. The ALSA backend
// plays on detached threads that signal the end of a sound before they
// return through the backend's code, and destroying the context unloads
// that backend: a sound still finishing when the port goes away (at exit,
// or a second port in one process) would crash in unloaded code. The
// contexts are kept here, reachable, for the life of the process.
std::vector<ca_context*>& keptContexts() {
    static auto* kept = new std::vector<ca_context*>;
    return *kept;
}
std::mutex keptMutex;
}  // namespace

CanberraSound::~CanberraSound() {
    if (!context_) return;
    if (!played_) {
        ca_context_destroy(context_);
        return;
    }
    std::lock_guard lock(keptMutex);
    keptContexts().push_back(context_);
}

const char* CanberraSound::eventIdFor(int soundId) {
    for (const auto& e : kEvents)
        if (e.soundId == soundId) return e.eventId;
    return nullptr;
}

bool CanberraSound::available() const {
    std::lock_guard lock(mutex_);
    return !unavailable_;
}

int CanberraSound::attempts() const {
    std::lock_guard lock(mutex_);
    return attempts_;
}

void CanberraSound::reportOnce(const char* what, int error) {
    if (reported_) return;
    reported_ = true;
    debugLog("sound: %s (%s); staying silent", what, ca_strerror(error));
}

namespace {

// ALSA prints every failed device probe on stderr; without a sound card
// that is a screenful per start. Its messages belong in the debug log.
void quietAlsaError(const char* file, int line, const char* function, int err, const char* fmt, ...) {
    char text[512];
    std::va_list args;
    va_start(args, fmt);
    std::vsnprintf(text, sizeof text, fmt, args);
    va_end(args);
    debugLog("sound: ALSA %s:%d (%s): %s%s%s", file, line, function, text, err ? ": " : "",
             err ? snd_strerror(err) : "");
}

}  // namespace

void quietSoundLibraryMessages() { snd_lib_error_set_handler(quietAlsaError); }

// Created on first use: a process that never plays a sound never connects
// to a sound server.
bool CanberraSound::ensureContext() {
    if (unavailable_) return false;
    if (context_) return true;
    quietSoundLibraryMessages();
    ca_context* ctx = nullptr;
    int rc = ca_context_create(&ctx);
    if (rc == CA_SUCCESS)
        rc = ca_context_change_props(ctx, CA_PROP_APPLICATION_NAME, "Plinthora", CA_PROP_APPLICATION_ID,
                                     "com.ozrin.plinthora", nullptr);
    if (rc == CA_SUCCESS) rc = ca_context_open(ctx);
    if (rc != CA_SUCCESS) {
        if (ctx) ca_context_destroy(ctx);
        // Not retried: each attempt without a device costs a driver probe
        // and noise on stderr.
        unavailable_ = true;
        reportOnce("no sound context", rc);
        return false;
    }
    context_ = ctx;
    return true;
}

void CanberraSound::play(int soundId) {
    const SoundEvent* event = nullptr;
    for (const auto& e : kEvents)
        if (e.soundId == soundId) event = &e;
    if (!event) {
        debugLog("sound: no sound for id %d", soundId);
        return;
    }
    std::lock_guard lock(mutex_);
    if (!ensureContext()) return;
    ++attempts_;
    played_ = true;
    const int rc = ca_context_play(context_, 0, CA_PROP_EVENT_ID, event->eventId, CA_PROP_EVENT_DESCRIPTION,
                                   event->description, nullptr);
    if (rc == CA_SUCCESS) return;
    reportOnce("cannot play the event sound", rc);
    // No device, no driver, or no such sound in the theme: that will not
    // change while we run. Other errors (a busy device) may pass.
    if (rc == CA_ERROR_NOTFOUND || rc == CA_ERROR_NODRIVER || rc == CA_ERROR_NOTAVAILABLE ||
        rc == CA_ERROR_NOTSUPPORTED)
        unavailable_ = true;
}

}  // namespace plinthora::linux_platform
