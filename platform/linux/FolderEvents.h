// One inotify instance per process, one watch per folder, shared by every
// part of the host that follows a folder (the photo library indexes both
// capture folders, the screencast watcher tells when a recording is being
// written). Each subscriber names the events it wants; the watch carries
// the union of them, and goes away with its last subscriber.
//
// Lives on the thread that first uses it, which must run an event loop
// (the main thread).
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <string>

class QSocketNotifier;

namespace plinthora::linux_platform {

class FolderEvents {
public:
    // A change in a watched folder: `name` is empty for events about the
    // folder itself. An overflow of the kernel's queue (events lost) is
    // reported to every subscriber with `overflow` set; `gone` means the
    // folder was removed or unmounted and its watch ended.
    struct Event {
        uint32_t mask = 0;
        std::string name;
        bool overflow = false;
        bool gone = false;
    };
    using Handler = std::function<void(const Event&)>;

    static FolderEvents& shared();

    // Follows `folder` for the events in `mask` (IN_* bits). Returns a
    // subscription to pass to unsubscribe, or -1 when the folder cannot be
    // watched (the reason is in the debug log).
    int subscribe(const std::string& folder, uint32_t mask, Handler handler);
    void unsubscribe(int subscription);

    FolderEvents(const FolderEvents&) = delete;
    FolderEvents& operator=(const FolderEvents&) = delete;

private:
    FolderEvents();
    ~FolderEvents();
    void read();
    uint32_t maskOf(int wd) const;

    struct Subscription {
        int wd;
        uint32_t mask;
        Handler handler;
    };
    int fd_ = -1;
    QSocketNotifier* notifier_ = nullptr;
    int nextId_ = 0;
    std::map<int, Subscription> subscriptions_;
};

}  // namespace plinthora::linux_platform
