#include "platform/linux/FolderWatch.h"

#include <QTimer>

#include <sys/inotify.h>
#include <sys/stat.h>

namespace plinthora::linux_platform {

namespace {
// How long a name that appeared without a write waits before it counts
// as a complete file linked in whole.
constexpr int kLinkedInSettle = 1000;  // ms
}  // namespace

FolderWatch::FolderWatch(Handlers handlers) : handlers_(std::move(handlers)) {}

FolderWatch::~FolderWatch() {
    for (int id : subscriptions_) FolderEvents::shared().unsubscribe(id);
}

void FolderWatch::watch(const std::string& folder) {
    if (first_.empty()) first_ = folder;
    const uint32_t mask = IN_CLOSE_WRITE | IN_MOVED_TO | IN_DELETE | IN_MOVED_FROM | IN_CREATE | IN_MODIFY;
    const int id = FolderEvents::shared().subscribe(
        folder, mask, [this, folder](const FolderEvents::Event& e) { changed(folder, e); });
    if (id >= 0) subscriptions_.push_back(id);
}

bool FolderWatch::isWatching(const std::string& folder) const {
    return !subscriptions_.empty() && FolderEvents::shared().isWatching(folder);
}

void FolderWatch::changed(const std::string& folder, const FolderEvents::Event& e) {
    if (e.overflow) {
        // Reported to each of our subscriptions; one listing covers them all.
        if (folder == first_) handlers_.lost();
        return;
    }
    if (e.gone || e.back) {
        handlers_.watchChanged(folder, e.back);
        return;
    }
    if (e.name.empty() || !handlers_.wanted(folder, e.name)) return;
    const std::string path = folder + "/" + e.name;
    if (e.mask & IN_CREATE) {
        createdOnly_[path] = false;
        QTimer::singleShot(kLinkedInSettle, &timers_, [this, path] { settle(path); });
        return;
    }
    if (e.mask & IN_MODIFY) {
        if (auto c = createdOnly_.find(path); c != createdOnly_.end()) c->second = true;
        return;
    }
    createdOnly_.erase(path);
    if (e.mask & (IN_DELETE | IN_MOVED_FROM))
        handlers_.removed(path);
    else if (e.mask & (IN_CLOSE_WRITE | IN_MOVED_TO))
        handlers_.completed(path);
}

void FolderWatch::settle(const std::string& path) {
    const auto c = createdOnly_.find(path);
    if (c == createdOnly_.end()) return;  // closed, renamed or deleted meanwhile
    const bool beingWritten = c->second;
    createdOnly_.erase(c);
    // An empty file is one whose writer has not started yet; its close
    // after writing will report it.
    struct stat st;
    if (beingWritten || ::stat(path.c_str(), &st) != 0 || st.st_size == 0) return;
    handlers_.completed(path);
}

}  // namespace plinthora::linux_platform
