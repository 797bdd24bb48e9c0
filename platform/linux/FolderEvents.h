// One inotify instance per process, one watch per folder, shared by every
// part of the host that follows a folder (the photo library indexes the
// capture folders, the screencast watcher tells when a recording is being
// written). Each subscriber names the events it wants; the watch carries
// the union of them.
//
// A folder is followed by its path, not its inode. When the folder is
// deleted, moved away, replaced, or a file system is mounted over it or
// taken away, its watch ends (`gone`); the nearest folder above it that
// exists is watched meanwhile, and the path is watched again as soon as a
// folder is there (`back`: what it holds now was never reported). Mounts
// are seen through the mount table, which the kernel flags on every change.
//
// Lives on the thread that first uses it, which must run an event loop
// (the main thread).
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <functional>
#include <map>
#include <string>

class QSocketNotifier;

namespace plinthora::linux_platform {

class FolderEvents {
public:
    // A change in a followed folder: `name` is empty for events about the
    // folder itself. An overflow of the kernel's queue (events lost) is
    // reported to every subscriber with `overflow` set.
    struct Event {
        uint32_t mask = 0;
        std::string name;
        bool overflow = false;
        bool gone = false;  // the folder is no longer watched (removed, moved, unmounted, covered)
        bool back = false;  // a folder is at the path again and watched
    };
    using Handler = std::function<void(const Event&)>;

    static FolderEvents& shared();

    // Follows `folder` for the events in `mask` (IN_* bits), whether or not
    // it exists yet. Returns a subscription to pass to unsubscribe, or -1
    // when inotify is unavailable.
    int subscribe(const std::string& folder, uint32_t mask, Handler handler);
    void unsubscribe(int subscription);
    // True while the folder has a watch of its own.
    bool isWatching(const std::string& folder) const;

    FolderEvents(const FolderEvents&) = delete;
    FolderEvents& operator=(const FolderEvents&) = delete;

private:
    FolderEvents();
    ~FolderEvents();
    void read();
    void mountsChanged();
    // Watches the folder at `path` (or, while there is none, the nearest
    // folder above it); reports `back` when it had been gone.
    void watch(const std::string& path);
    void lose(const std::string& path, bool removeWatch);
    void deliver(const std::string& path, const Event& e);
    uint32_t maskOf(const std::string& path) const;

    struct Subscription {
        std::string path;
        uint32_t mask;
        Handler handler;
    };
    struct Followed {
        int wd = -1;        // the folder's own watch, -1 while it has none
        int parentWd = -1;  // a folder above it, watched while it is missing
        dev_t dev = 0;
        ino_t ino = 0;
        bool wasGone = false;
    };
    int fd_ = -1;
    QSocketNotifier* notifier_ = nullptr;
    int mountsFd_ = -1;
    QSocketNotifier* mountsNotifier_ = nullptr;
    int nextId_ = 0;
    std::map<int, Subscription> subscriptions_;
    std::map<std::string, Followed> followed_;  // by path
};

}  // namespace plinthora::linux_platform
