// Load-time start-up of the library, and the triggers that lead from the
// host's screenshot and capture events to the pipelines.
#pragma once

#include "platform/ports/Media.h"

namespace plinthora {

inline constexpr const char* kScreenshotNotification = "UIApplicationUserDidTakeScreenshotNotification";
inline constexpr const char* kScreenshotNotifyName = "com.apple.UIKit.screenshotTaken";

// Runs once, on the main thread, when the host has loaded the library.
void SRTweakInit();

// The common tail of the screenshot triggers.
void scheduleScreenshotProcessing(double delaySeconds);

// The capture-state replacement: old state first, then the original, then
// start or stop on the capture observer.
void hook_setCaptured(HostObject screen, bool captured);

// Tests run SRTweakInit once per fake world.
void resetTweakForTesting();

}  // namespace plinthora
