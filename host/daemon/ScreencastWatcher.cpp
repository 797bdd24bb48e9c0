#include "host/daemon/ScreencastWatcher.h"

#include "platform/linux/MediaNames.h"
#include "platform/ports/Platform.h"

#include <QDir>
#include <QFileInfo>
#include <QSocketNotifier>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include <sys/inotify.h>
#include <unistd.h>

namespace plinthora::host {

bool ScreencastWatcher::isRecordingName(const std::string& name) {
    if (name.empty() || name[0] == '.' || name.find('/') != std::string::npos) return false;
    return linux_platform::isVideoExtension(
        linux_platform::lowerExtension(linux_platform::withoutTemporarySuffix(name)));
}

ScreencastWatcher::ScreencastWatcher(const QString& folder, std::function<bool(const QString&)> ownFile,
                                     int graceMs, QObject* parent)
    : QObject(parent),
      folder_(QDir::cleanPath(QFileInfo(folder).absoluteFilePath()).toStdString()),
      ownFile_(std::move(ownFile)) {
    grace_.setSingleShot(true);
    grace_.setInterval(graceMs);
    connect(&grace_, &QTimer::timeout, this, &ScreencastWatcher::settle);

    fd_ = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    if (fd_ < 0) {
        debugLog("screencasts: inotify unavailable (%s)", std::strerror(errno));
        return;
    }
    const uint32_t mask = IN_CREATE | IN_MODIFY | IN_CLOSE_WRITE | IN_DELETE | IN_MOVED_FROM | IN_ONLYDIR;
    if (::inotify_add_watch(fd_, folder_.c_str(), mask) < 0) {
        debugLog("screencasts: cannot watch %s (%s)", folder_.c_str(), std::strerror(errno));
        ::close(fd_);
        fd_ = -1;
        return;
    }
    notifier_ = new QSocketNotifier(fd_, QSocketNotifier::Read, this);
    connect(notifier_, &QSocketNotifier::activated, this, &ScreencastWatcher::readEvents);
}

ScreencastWatcher::~ScreencastWatcher() { stop(); }

void ScreencastWatcher::stop() {
    grace_.stop();
    if (notifier_) {
        notifier_->setEnabled(false);
        delete notifier_;
        notifier_ = nullptr;
    }
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
}

void ScreencastWatcher::readEvents() {
    alignas(inotify_event) char buf[8192];
    for (;;) {
        const ssize_t n = ::read(fd_, buf, sizeof buf);
        if (n <= 0) {
            if (n < 0 && errno == EINTR) continue;
            return;
        }
        for (ssize_t off = 0; off < n;) {
            const auto* ev = reinterpret_cast<const inotify_event*>(buf + off);
            off += ssize_t(sizeof(inotify_event) + ev->len);
            if (ev->len == 0 || (ev->mask & IN_ISDIR)) continue;
            const std::string name(ev->name);
            if (!isRecordingName(name)) continue;
            if (ev->mask & (IN_CREATE | IN_MODIFY))
                writing(name);
            else if (ev->mask & (IN_CLOSE_WRITE | IN_DELETE | IN_MOVED_FROM))
                finished(name);
        }
    }
}

void ScreencastWatcher::writing(const std::string& name) {
    if (open_.count(name)) return;
    // A hard link the library made for one of its results shows as a
    // creation too; it is not a recording.
    if (ownFile_ && ownFile_(QString::fromStdString(folder_ + "/" + name))) return;
    open_.insert(name);
    grace_.stop();
    debugLog("screencasts: %s is being written", name.c_str());
    if (!capturing_) {
        capturing_ = true;
        emit captureChanged(true);
    }
}

void ScreencastWatcher::finished(const std::string& name) {
    if (!open_.erase(name)) return;
    debugLog("screencasts: %s closed", name.c_str());
    if (open_.empty()) grace_.start();
}

void ScreencastWatcher::settle() {
    if (!open_.empty() || !capturing_) return;
    capturing_ = false;
    emit captureChanged(false);
}

}  // namespace plinthora::host
