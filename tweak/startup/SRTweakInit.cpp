#include "startup/SRTweakInit.h"

#include "compositing/SRAssetResolver.h"
#include "compositing/SRUnifiedProcessor.h"
#include "history/RecentCaptureTable.h"
#include "discovery/SRPhotoObserver.h"
#include "platform/ports/Platform.h"
#include "settings/SRSettings.h"

#include <memory>
#include <mutex>

namespace plinthora {

namespace {

Implementation orig_setCaptured;
Implementation orig_saveScreenshots;
Implementation orig_saveScreenshotsWithCompletion;
Implementation orig_handleScreenShot;
Implementation orig_takeScreenshot;

std::unique_ptr<std::once_flag> initOnce = std::make_unique<std::once_flag>();

bool screenshotFeatureOn() {
    SRSettings& s = settings();
    return s.ssShellEnabled || s.ssWatermarkEnabled;
}

bool recordingFeatureOn() {
    SRSettings& s = settings();
    return s.recShellEnabled || s.recWatermarkEnabled;
}

// A replacement that calls the saved original first with the same
// arguments, then schedules a screenshot run.
Implementation screenshotHook(Implementation* original, double delay) {
    return [original, delay](HostObject self, std::any argument) -> std::any {
        if (*original) (*original)(self, argument);
        scheduleScreenshotProcessing(delay);
        return {};
    };
}

void install(HookRuntime& hooks, const char* cls, const char* sel, Implementation replacement,
             Implementation* original) {
    if (!hooks.hookMessage(cls, sel, std::move(replacement), original))
        debugLog("host has no %s %s; that trigger is skipped", cls, sel);
}

void initOnceBody() {
    Platform& p = platform();
    loadSettings();
    registerForPreferenceChanges();
    pruneRecentAssetIdentifiers();

    p.fs->createDirectories(kAssetRoot);
    p.fs->createDirectories(kShellFolder);
    p.fs->createDirectories(kWatermarkFolder);

    if (p.localCenter) p.localCenter->addObserver(kScreenshotNotification, [] { scheduleScreenshotProcessing(2.5); });
    p.notify->addObserver(kScreenshotNotifyName, [] { scheduleScreenshotProcessing(2.5); });

    if (!p.hooks) {
        debugLog("no hook runtime: method hooks not installed");
        return;
    }
    HookRuntime& h = *p.hooks;
    install(
        h, "UIScreen", "_setCaptured:",
        [](HostObject self, std::any argument) -> std::any {
            // Whatever the host hands us goes on to its own method; a
            // value that is not a capture state changes nothing here.
            if (const bool* captured = std::any_cast<bool>(&argument))
                hook_setCaptured(self, *captured);
            else if (orig_setCaptured)
                orig_setCaptured(self, std::move(argument));
            return {};
        },
        &orig_setCaptured);
    install(h, "SBScreenshotManager", "saveScreenshots", screenshotHook(&orig_saveScreenshots, 2.5),
            &orig_saveScreenshots);
    install(h, "SBScreenshotManager",
            "saveScreenshotsWithCompletion:", screenshotHook(&orig_saveScreenshotsWithCompletion, 2.5),
            &orig_saveScreenshotsWithCompletion);
    install(h, "SpringBoard", "_handleScreenShot:", screenshotHook(&orig_handleScreenShot, 2.0),
            &orig_handleScreenShot);
    install(h, "SpringBoard", "takeScreenshot", screenshotHook(&orig_takeScreenshot, 2.0), &orig_takeScreenshot);
}

}  // namespace

void SRTweakInit() { std::call_once(*initOnce, initOnceBody); }

void scheduleScreenshotProcessing(double delaySeconds) {
    if (!screenshotFeatureOn()) return;
    const double dueAt = platform().clock->now() + delaySeconds;
    platform().dispatch->after(delaySeconds, Queue::Main, [dueAt] {
        SRUnifiedProcessor::sharedInstance().processScreenshotWithRetry(false, dueAt);
    });
}

void hook_setCaptured(HostObject screen, bool captured) {
    Platform& p = platform();
    // A host without isCaptured, or one answering with something else,
    // tells us no old state: that counts as no change.
    const std::any answer = p.hooks->send(screen, "UIScreen", "isCaptured");
    const bool* old = std::any_cast<bool>(&answer);
    const bool wasCaptured = old ? *old : captured;
    if (orig_setCaptured) orig_setCaptured(screen, captured);
    if (captured && !wasCaptured && recordingFeatureOn()) {
        SRPhotoObserver::sharedInstance().start();
        return;
    }
    if (wasCaptured && !captured && recordingFeatureOn()) SRPhotoObserver::sharedInstance().stop();
}

void resetTweakForTesting() {
    // The once flag cannot be reset; a new one lets the next world start up.
    initOnce = std::make_unique<std::once_flag>();
    orig_setCaptured = orig_saveScreenshots = orig_saveScreenshotsWithCompletion = nullptr;
    orig_handleScreenShot = orig_takeScreenshot = nullptr;
}

}  // namespace plinthora
