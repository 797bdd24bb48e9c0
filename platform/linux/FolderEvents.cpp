#include "platform/linux/FolderEvents.h"

#include "platform/ports/Platform.h"

#include <QSocketNotifier>

#include <cerrno>
#include <cstring>
#include <vector>

#include <sys/inotify.h>
#include <unistd.h>

namespace plinthora::linux_platform {

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
}

FolderEvents::~FolderEvents() {
    delete notifier_;
    if (fd_ >= 0) ::close(fd_);
}

uint32_t FolderEvents::maskOf(int wd) const {
    uint32_t mask = 0;
    for (const auto& [id, s] : subscriptions_)
        if (s.wd == wd) mask |= s.mask;
    return mask;
}

int FolderEvents::subscribe(const std::string& folder, uint32_t mask, Handler handler) {
    if (fd_ < 0) return -1;
    // The watch of a folder is shared: its mask grows to cover what the new
    // subscriber wants and keeps what the others asked for.
    const int wd = ::inotify_add_watch(fd_, folder.c_str(), mask | IN_ONLYDIR | IN_MASK_ADD);
    if (wd < 0) {
        debugLog("folder events: cannot watch %s (%s)", folder.c_str(), std::strerror(errno));
        return -1;
    }
    const int id = nextId_++;
    subscriptions_[id] = {wd, mask, std::move(handler)};
    return id;
}

void FolderEvents::unsubscribe(int subscription) {
    const auto it = subscriptions_.find(subscription);
    if (it == subscriptions_.end()) return;
    const int wd = it->second.wd;
    subscriptions_.erase(it);
    // The watch keeps the union of masks it had: the others filter what
    // they get by their own, so a wider watch only costs a wakeup.
    if (fd_ >= 0 && maskOf(wd) == 0) ::inotify_rm_watch(fd_, wd);
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
            Event e;
            e.mask = ev->mask;
            e.name = ev->len ? std::string(ev->name) : std::string();
            e.overflow = (ev->mask & IN_Q_OVERFLOW) != 0;
            e.gone = (ev->mask & IN_IGNORED) != 0;
            // A handler may subscribe or unsubscribe; walk a copy of the ids.
            std::vector<int> ids;
            for (const auto& [id, s] : subscriptions_)
                if (e.overflow || (s.wd == ev->wd && (e.gone || (s.mask & ev->mask)))) ids.push_back(id);
            for (int id : ids) {
                const auto it = subscriptions_.find(id);
                if (it == subscriptions_.end()) continue;
                Handler handler = it->second.handler;  // survives an unsubscribe inside
                if (e.gone) subscriptions_.erase(it);
                handler(e);
            }
        }
    }
}

}  // namespace plinthora::linux_platform
