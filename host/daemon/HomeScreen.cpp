#include "host/daemon/HomeScreen.h"

#include "platform/ports/Platform.h"
#include "startup/SRTweakInit.h"

#include <any>

namespace plinthora::host {

void HostNotificationCenter::addObserver(const std::string& name, std::function<void()> callback) {
    observers_.emplace_back(name, std::move(callback));
}

void HostNotificationCenter::post(const std::string& name) {
    // By index: an observer may add observers while we deliver.
    for (size_t i = 0; i < observers_.size(); ++i)
        if (observers_[i].first == name) {
            auto callback = observers_[i].second;
            callback();
        }
}

HomeScreen::HomeScreen(MethodTable& table, LocalNotificationCenter* localCenter, NotifyCenter* notify,
                       const std::set<std::string>& omitted)
    : table_(table), localCenter_(localCenter), notify_(notify) {
    auto define = [&](const char* cls, const char* sel, Implementation impl) {
        if (!omitted.count(std::string(cls) + " " + sel)) table_.define(cls, sel, std::move(impl));
    };
    define(kScreenClass, "isCaptured",
           [](HostObject self, std::any) -> std::any { return static_cast<Screen*>(self)->captured; });
    define(kScreenClass, "_setCaptured:", [this](HostObject self, std::any argument) -> std::any {
        const bool* on = std::any_cast<bool>(&argument);
        record(std::string(kScreenClass) + " _setCaptured: " + (on && *on ? "YES" : "NO"));
        if (on) static_cast<Screen*>(self)->captured = *on;
        return {};
    });
    define(kScreenshotManagerClass, "saveScreenshots", [this](HostObject, std::any) -> std::any {
        record(std::string(kScreenshotManagerClass) + " saveScreenshots");
        return {};
    });
    define(kScreenshotManagerClass,
           "saveScreenshotsWithCompletion:", [this](HostObject, std::any argument) -> std::any {
               record(std::string(kScreenshotManagerClass) + " saveScreenshotsWithCompletion:");
               // The screenshot is already stored when the host calls this; the
               // completion says so.
               if (const auto* done = std::any_cast<SaveCompletion>(&argument); done && *done) {
                   ++completionsRun;
                   (*done)();
               }
               return {};
           });
    define(kApplicationClass, "_handleScreenShot:", [this](HostObject, std::any argument) -> std::any {
        const auto* event = std::any_cast<ScreenshotEvent>(&argument);
        handledEventPaths.push_back(event ? event->path : std::string());
        record(std::string(kApplicationClass) + " _handleScreenShot:");
        return {};
    });
    define(kApplicationClass, "takeScreenshot", [this](HostObject, std::any) -> std::any {
        record(std::string(kApplicationClass) + " takeScreenshot");
        return {};
    });
}

void HomeScreen::record(const std::string& call) {
    calls.push_back(call);
    debugLog("host: %s", call.c_str());
    if (onCall) onCall(call);
}

void HomeScreen::screenshotTaken(const std::string& path) {
    if (localCenter_) localCenter_->post(kScreenshotNotification);
    if (notify_) notify_->post(kScreenshotNotifyName);
    table_.send(screenshotManager(), kScreenshotManagerClass, "saveScreenshots");
    table_.send(screenshotManager(), kScreenshotManagerClass, "saveScreenshotsWithCompletion:", SaveCompletion([path] {
                    debugLog("host: screenshot %s stored", path.c_str());
                }));
    table_.send(application(), kApplicationClass, "_handleScreenShot:", ScreenshotEvent{path});
    table_.send(application(), kApplicationClass, "takeScreenshot");
}

void HomeScreen::setScreenCaptured(bool captured) { table_.send(screen(), kScreenClass, "_setCaptured:", captured); }

bool HomeScreen::screenCaptured() { return screen_.captured; }

}  // namespace plinthora::host
