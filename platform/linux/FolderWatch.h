// What inotify says about the photo library's folders, in the library's
// terms: a media file completed, a file gone, a folder lost or back, events
// lost. A file counts as completed once it is closed after writing or
// renamed into the folder; one linked in whole (a hard link, or a temp
// file made visible with linkat) shows only IN_CREATE, so a name that
// appears without being written to counts once it has settled.
//
// Lives on the thread with the event loop, as FolderEvents does; the
// handlers are called there.
#pragma once

#include "platform/linux/FolderEvents.h"

#include <QObject>

#include <functional>
#include <map>
#include <string>
#include <vector>

namespace plinthora::linux_platform {

class FolderWatch {
public:
    struct Handlers {
        // Whether a name in a watched folder is one the library indexes.
        std::function<bool(const std::string& folder, const std::string& name)> wanted;
        // A wanted file was completed (possibly again: a writer that
        // reopens a file closes it more than once).
        std::function<void(const std::string& path)> completed;
        // A wanted file was deleted or moved away.
        std::function<void(const std::string& path)> removed;
        // Events were lost (the kernel's queue overflowed): only a listing
        // of every folder tells what changed. Reported once for them all.
        std::function<void()> lost;
        // A folder lost its watch (`watching` false) or is watched again;
        // what it holds then was never reported.
        std::function<void(const std::string& folder, bool watching)> watchChanged;
    };

    explicit FolderWatch(Handlers handlers);
    ~FolderWatch();
    FolderWatch(const FolderWatch&) = delete;
    FolderWatch& operator=(const FolderWatch&) = delete;

    // Follows one more folder, whether or not it exists yet.
    void watch(const std::string& folder);
    // False while inotify is unavailable or the folder has no watch.
    bool isWatching(const std::string& folder) const;

private:
    void changed(const std::string& folder, const FolderEvents::Event& e);
    void settle(const std::string& path);

    Handlers handlers_;
    std::vector<int> subscriptions_;  // to the shared folder events
    std::string first_;               // the first folder watched answers an overflow for all
    // Names that appeared without being written to (yet). True once a
    // write shows the file is still being filled, so its close will report
    // it.
    std::map<std::string, bool> createdOnly_;
    QObject timers_;  // the settle timers end with the watch
};

}  // namespace plinthora::linux_platform
