#include "platform/linux/FolderEvents.h"

#include "platform/linux/Files.h"
#include "platform/ports/Platform.h"

#include <QSocketNotifier>

#include <cerrno>
#include <cstring>
#include <vector>

#include <fcntl.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

namespace plinthora::linux_platform {

namespace {
// What ends a folder's watch at its path.
constexpr uint32_t kSelfGone = IN_DELETE_SELF | IN_MOVE_SELF | IN_UNMOUNT | IN_IGNORED;
// What may bring a missing folder back, seen from a folder above it.
constexpr uint32_t kAboveMask = IN_CREATE | IN_MOVED_TO | IN_DELETE_SELF | IN_MOVE_SELF;
}  // namespace

FolderEvents& FolderEvents::shared() {
    // Never destroyed: subscribers may unsubscribe from their own
    // destructors during static teardown.
    static FolderEvents* events = new FolderEvents;
    return *events;
}

FolderEvents::FolderEvents() {
    fd_ = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    if (fd_ < 0) {
        debugLog("folder events: inotify unavailable (%s)", std::strerror(errno));
        return;
    }
    notifier_ = new QSocketNotifier(fd_, QSocketNotifier::Read);
    QObject::connect(notifier_, &QSocketNotifier::activated, notifier_, [this] { read(); });
    // The kernel flags the mount table as exceptional after every mount and
    // unmount: how a file system mounted over a watched folder is seen.
    mountsFd_ = ::open("/proc/self/mountinfo", O_RDONLY | O_CLOEXEC);
    if (mountsFd_ >= 0) {
        mountsNotifier_ = new QSocketNotifier(mountsFd_, QSocketNotifier::Exception);
        QObject::connect(mountsNotifier_, &QSocketNotifier::activated, mountsNotifier_, [this] { mountsChanged(); });
    }
}

FolderEvents::~FolderEvents() {
    delete notifier_;
    delete mountsNotifier_;
    if (fd_ >= 0) ::close(fd_);
    if (mountsFd_ >= 0) ::close(mountsFd_);
}

uint32_t FolderEvents::maskOf(const std::string& path) const {
    uint32_t mask = 0;
    for (const auto& [id, s] : subscriptions_)
        if (s.path == path) mask |= s.mask;
    return mask;
}

int FolderEvents::subscribe(const std::string& folder, uint32_t mask, Handler handler) {
    if (fd_ < 0) return -1;
    const int id = nextId_++;
    subscriptions_[id] = {folder, mask, std::move(handler)};
    watch(folder);
    return id;
}

void FolderEvents::unsubscribe(int subscription) {
    const auto it = subscriptions_.find(subscription);
    if (it == subscriptions_.end()) return;
    const std::string path = it->second.path;
    subscriptions_.erase(it);
    if (maskOf(path) != 0) return;
    const auto f = followed_.find(path);
    if (f == followed_.end()) return;
    const int wds[] = {f->second.wd, f->second.parentWd};
    followed_.erase(f);
    // A watch is shared by every path on the same folder; it goes with the
    // last of them. The others keep the union of masks it had, and filter
    // what they get by their own.
    for (int wd : wds) {
        if (wd < 0 || fd_ < 0) continue;
        bool used = false;
        for (const auto& [p, other] : followed_) used = used || other.wd == wd || other.parentWd == wd;
        if (!used) ::inotify_rm_watch(fd_, wd);
    }
}

bool FolderEvents::isWatching(const std::string& folder) const {
    const auto f = followed_.find(folder);
    return f != followed_.end() && f->second.wd >= 0;
}

void FolderEvents::watch(const std::string& path) {
    Followed& f = followed_[path];
    // The mask only grows (IN_MASK_ADD): the watch may be another path's.
    const int wd =
        ::inotify_add_watch(fd_, path.c_str(), maskOf(path) | IN_DELETE_SELF | IN_MOVE_SELF | IN_ONLYDIR | IN_MASK_ADD);
    if (wd >= 0) {
        struct stat st {};
        ::stat(path.c_str(), &st);
        f.wd = wd;
        f.parentWd = -1;
        f.dev = st.st_dev;
        f.ino = st.st_ino;
        if (f.wasGone) {
            f.wasGone = false;
            Event e;
            e.back = true;
            deliver(path, e);
        }
        return;
    }
    if (errno != ENOENT && errno != ENOTDIR)
        debugLog("folder events: cannot watch %s (%s)", path.c_str(), std::strerror(errno));
    f.wd = -1;
    f.wasGone = true;
    // Wait for it from the nearest folder above that exists.
    f.parentWd = -1;
    for (std::string up = parentFolder(path); f.parentWd < 0; up = parentFolder(up)) {
        f.parentWd = ::inotify_add_watch(fd_, up.c_str(), kAboveMask | IN_ONLYDIR | IN_MASK_ADD);
        if (up == "/" || up == ".") break;
    }
}

void FolderEvents::lose(const std::string& path, bool removeWatch) {
    Followed& f = followed_[path];
    if (f.wd < 0) return;
    const int wd = f.wd;
    f.wd = -1;
    f.wasGone = true;
    if (removeWatch) {
        bool used = false;
        for (const auto& [p, other] : followed_) used = used || other.wd == wd || other.parentWd == wd;
        // A folder moved elsewhere keeps its watch, which would follow it.
        if (!used) ::inotify_rm_watch(fd_, wd);
    }
    Event e;
    e.gone = true;
    deliver(path, e);
}

void FolderEvents::deliver(const std::string& path, const Event& e) {
    // A handler may subscribe or unsubscribe; walk a copy of the ids.
    std::vector<int> ids;
    for (const auto& [id, s] : subscriptions_)
        if (s.path == path && (e.overflow || e.gone || e.back || (s.mask & e.mask))) ids.push_back(id);
    for (int id : ids) {
        const auto it = subscriptions_.find(id);
        if (it == subscriptions_.end()) continue;
        Handler handler = it->second.handler;  // survives an unsubscribe inside
        handler(e);
    }
}

void FolderEvents::mountsChanged() {
    std::vector<std::string> paths;
    for (const auto& [path, f] : followed_) paths.push_back(path);
    for (const std::string& path : paths) {
        const auto it = followed_.find(path);
        if (it == followed_.end()) continue;
        if (it->second.wd < 0) {
            watch(path);
            continue;
        }
        struct stat st {};
        if (::stat(path.c_str(), &st) == 0 && st.st_dev == it->second.dev && st.st_ino == it->second.ino) continue;
        // Something else is at the path now: a file system mounted over
        // the folder, or the one it was taken away from under it.
        lose(path, true);
        watch(path);
    }
}

void FolderEvents::read() {
    alignas(inotify_event) char buf[16384];
    for (;;) {
        const ssize_t n = ::read(fd_, buf, sizeof buf);
        if (n <= 0) {
            if (n < 0 && errno == EINTR) continue;
            return;  // EAGAIN: drained
        }
        for (ssize_t off = 0; off < n;) {
            const auto* ev = reinterpret_cast<const inotify_event*>(buf + off);
            off += ssize_t(sizeof(inotify_event) + ev->len);
            if (ev->mask & IN_Q_OVERFLOW) {
                Event e;
                e.mask = ev->mask;
                e.overflow = true;
                std::vector<std::string> paths;
                for (const auto& [path, f] : followed_) paths.push_back(path);
                for (const std::string& path : paths) deliver(path, e);
                // A folder may have come or gone among the lost events.
                mountsChanged();
                continue;
            }
            std::vector<std::string> paths;
            for (const auto& [path, f] : followed_)
                if (f.wd == ev->wd || f.parentWd == ev->wd) paths.push_back(path);
            for (const std::string& path : paths) {
                const auto it = followed_.find(path);
                if (it == followed_.end()) continue;
                if (it->second.wd == ev->wd) {
                    if (ev->mask & kSelfGone) {
                        lose(path, !(ev->mask & IN_IGNORED));
                        watch(path);
                        continue;
                    }
                    Event e;
                    e.mask = ev->mask;
                    e.name = ev->len ? std::string(ev->name) : std::string();
                    deliver(path, e);
                } else if (ev->mask & (kAboveMask | IN_IGNORED | IN_UNMOUNT)) {
                    if (ev->mask & IN_IGNORED) it->second.parentWd = -1;
                    watch(path);
                }
            }
        }
    }
}

}  // namespace plinthora::linux_platform
