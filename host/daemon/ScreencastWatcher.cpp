#include "host/daemon/ScreencastWatcher.h"

#include "platform/linux/FolderEvents.h"
#include "platform/linux/MediaNames.h"
#include "platform/ports/Platform.h"

#include <QDir>
#include <QFileInfo>

#include <algorithm>

#include <sys/inotify.h>

namespace plinthora::host {

bool ScreencastWatcher::isRecordingName(const std::string& name) {
    if (name.empty() || name[0] == '.' || name.find('/') != std::string::npos) return false;
    return linux_platform::isVideoExtension(
        linux_platform::lowerExtension(linux_platform::withoutTemporarySuffix(name)));
}

ScreencastWatcher::ScreencastWatcher(const QString& folder, std::function<bool(const QString&)> ownFile, int graceMs,
                                     QObject* parent)
    : QObject(parent),
      folder_(QDir::cleanPath(QFileInfo(folder).absoluteFilePath()).toStdString()),
      ownFile_(std::move(ownFile)) {
    grace_.setSingleShot(true);
    grace_.setInterval(graceMs);
    connect(&grace_, &QTimer::timeout, this, &ScreencastWatcher::settle);

    const uint32_t mask = IN_CREATE | IN_MODIFY | IN_CLOSE_WRITE | IN_DELETE | IN_MOVED_FROM;
    subscription_ = linux_platform::FolderEvents::shared().subscribe(
        folder_, mask, [this](const linux_platform::FolderEvents::Event& e) { folderChanged(e); });
}

ScreencastWatcher::~ScreencastWatcher() { stop(); }

bool ScreencastWatcher::isWatching() const {
    return subscription_ >= 0 && linux_platform::FolderEvents::shared().isWatching(folder_);
}

void ScreencastWatcher::stop() {
    grace_.stop();
    if (subscription_ >= 0) linux_platform::FolderEvents::shared().unsubscribe(subscription_);
    subscription_ = -1;
}

void ScreencastWatcher::folderChanged(const linux_platform::FolderEvents::Event& e) {
    if (e.gone) {
        // Whatever was being written there is out of sight now.
        for (const std::string& name : std::set<std::string>(open_)) finished(name);
        return;
    }
    if (e.name.empty() || (e.mask & IN_ISDIR) || !isRecordingName(e.name)) return;
    if (e.mask & (IN_CREATE | IN_MODIFY))
        writing(e.name);
    else if (e.mask & (IN_CLOSE_WRITE | IN_DELETE | IN_MOVED_FROM))
        finished(e.name);
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
