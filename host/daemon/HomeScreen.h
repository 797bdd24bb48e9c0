// The host's stand-in for the phone's home screen: the objects whose
// methods the tweak hooks (the screen, the screenshot manager, the
// application) and the events it fires when a screenshot is taken or the
// screen's capture state changes. Everything goes through the method table
// and the two notification centres, exactly where the tweak listens.
#pragma once

#include "host/daemon/MethodTable.h"
#include "platform/ports/Ports.h"

#include <functional>
#include <set>
#include <string>
#include <utility>
#include <vector>

namespace plinthora::host {

inline constexpr const char* kScreenClass = "UIScreen";
inline constexpr const char* kScreenshotManagerClass = "SBScreenshotManager";
inline constexpr const char* kApplicationClass = "SpringBoard";

// The argument of _handleScreenShot: — the event that announced the
// screenshot; here, the file it was written to.
struct ScreenshotEvent {
    std::string path;
};

// The completion handed to saveScreenshotsWithCompletion:.
using SaveCompletion = std::function<void()>;

// The host's default notification centre: in-process, delivered at once on
// the posting thread (the host posts on its main thread only).
class HostNotificationCenter : public LocalNotificationCenter {
public:
    void addObserver(const std::string& name, std::function<void()> callback) override;
    void post(const std::string& name) override;

private:
    std::vector<std::pair<std::string, std::function<void()>>> observers_;
};

class HomeScreen {
public:
    // Defines the host's methods in `table`, leaving out any named in
    // `omitted` as "Class selector" (a system without that method).
    HomeScreen(MethodTable& table, LocalNotificationCenter* localCenter, NotifyCenter* notify,
               const std::set<std::string>& omitted = {});

    HostObject screen() { return &screen_; }
    HostObject screenshotManager() { return &manager_; }
    HostObject application() { return &application_; }

    // A new screenshot is stored: the notification, the notify name and the
    // four screenshot methods, in that order, as the home screen fires them.
    void screenshotTaken(const std::string& path);

    // Sets the screen's capture state through `_setCaptured:`, as the home
    // screen does when a recording or mirroring starts or ends. The message
    // goes out even when the state does not change: the hook decides what
    // a change is.
    void setScreenCaptured(bool captured);
    bool screenCaptured();

    // What the host's own implementations saw, in call order (one line per
    // call, "Class selector"); tests compare against it, the daemon logs it.
    std::vector<std::string> calls;
    // Runs inside each host implementation, after it is recorded: lets an
    // observer see the world as the original saw it.
    std::function<void(const std::string& call)> onCall;
    // The arguments the originals received.
    std::vector<std::string> handledEventPaths;
    int completionsRun = 0;

private:
    struct Screen {
        bool captured = false;
    };
    struct Object {};

    void record(const std::string& call);

    MethodTable& table_;
    LocalNotificationCenter* localCenter_;
    NotifyCenter* notify_;
    Screen screen_;
    Object manager_;
    Object application_;
};

}  // namespace plinthora::host
