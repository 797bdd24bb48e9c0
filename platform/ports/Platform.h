// The one holder of the ports, set once at start-up (the host sets the Linux
// platform, tests a fake one). Ports a given process does not use may stay
// null.
#pragma once

#include "Imaging.h"
#include "Media.h"
#include "Ports.h"
#include "VideoExport.h"

namespace plinthora {

struct Platform {
    Dispatch* dispatch = nullptr;
    Clock* clock = nullptr;
    FileSystem* fs = nullptr;
    PropertyLists* plist = nullptr;
    Json* json = nullptr;
    NotifyCenter* notify = nullptr;
    LocalNotificationCenter* localCenter = nullptr;
    Random* random = nullptr;
    Imaging* imaging = nullptr;
    PhotoLibrary* photos = nullptr;
    Pasteboard* pasteboard = nullptr;
    SystemSound* sound = nullptr;
    ScreenMetrics* screen = nullptr;
    HookRuntime* hooks = nullptr;
    VideoExport* video = nullptr;
};

// The platform in force. Calling it before setPlatform is a programming error.
Platform& platform();
void setPlatform(const Platform& p);

// Debug log to stderr when PLINTHORA_DEBUG=1; the single place where the
// core's silent ends become visible to a developer.
void debugLog(const char* fmt, ...) __attribute__((format(printf, 1, 2)));

}  // namespace plinthora
