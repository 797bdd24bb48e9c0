// plinthorad: the host process. It owns the Linux platform, stands in for
// the phone's home screen (method table, notifications, capture state),
// loads the tweak library and turns what happens in the screenshot and
// screencast folders into the home screen's events.
#pragma once

#include "host/common/TrackedVideoExport.h"
#include "host/daemon/ExportJournal.h"
#include "host/daemon/DaemonBus.h"
#include "host/daemon/DesktopNotifications.h"
#include "host/daemon/HomeScreen.h"
#include "host/daemon/MethodTable.h"
#include "host/daemon/Screens.h"
#include "host/daemon/TrackingPhotoLibrary.h"
#include "host/daemon/TweakLoader.h"
#include "platform/linux/CanberraSound.h"
#include "platform/linux/DesktopPasteboard.h"
#include "platform/linux/DBusNotifyCenter.h"
#include "platform/linux/FolderPhotoLibrary.h"
#include "platform/linux/LinuxPlatform.h"
#include "platform/linux/QtImaging.h"
#include "platform/linux/WaylandDisplay.h"

#include <QObject>
#include <QString>
#include <QStringList>
#include <QTimer>

#include <atomic>
#include <map>
#include <set>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace plinthora::host {

// The daemon's own log on stderr (the journal under systemd): what happened
// on the desktop, in plain words, one line each. The method names the
// events travel under stay in the debug log.
void say(const char* fmt, ...) __attribute__((format(printf, 1, 2)));


struct DaemonOptions {
    // Folders to watch, the first of each kind first; none: the XDG
    // Pictures/Screenshots and Videos/Screencasts.
    QStringList screenshots;
    QStringList screencasts;
    std::optional<ScreenSpec> screen;
    QString tweakPath;          // empty: the usual places
    bool notifications = true;  // a desktop notification for each result and failure
    // The one clipboard road allowed; none given: the first that works.
    std::optional<linux_platform::DesktopPasteboard::Road> clipboard;
};

// The host's own settings file: $XDG_CONFIG_HOME/plinthora/plinthorad.conf.
QString hostConfigPath();
// Adds its "screenshots = DIR" and "screencasts = DIR" lines to the
// folders (after those given on the command line); '#' starts a comment
// and "~/" is the home folder. A missing file is no error; a line it does
// not understand is a message in `warnings`.
void readHostConfig(const QString& path, DaemonOptions& options, QStringList& warnings);

class Daemon : public QObject {
    Q_OBJECT
public:
    explicit Daemon(DaemonOptions options, QObject* parent = nullptr);
    ~Daemon() override;

    // Claims the bus name, builds the platform, installs sample assets,
    // loads and starts the tweak. False with a message for the user when
    // the daemon cannot run (another one owns the name, no tweak library).
    bool start(QString& error);
    // Whether start failed because another daemon holds this session's bus
    // name or this screenshot folder.
    bool alreadyRunning() const { return alreadyRunning_; }

    // Stops taking new events and quits the event loop once the saves in
    // flight have completed (bounded).
    void shutdown();

    linux_platform::FolderPhotoLibrary& library() { return *library_; }
    HomeScreen& homeScreen() { return *home_; }
    ScreenSpec screen() const { return screens_->current(); }

public slots:
    // The D-Bus interface (see dbus/com.ozrin.plinthora.Daemon.xml).
    void SetCaptured(bool captured);
    QString Status();

signals:
    void ResultSaved(const QString& path);
    // A framed screenshot meant for the clipboard could not be put there
    // (`why`, in plain words) and was saved as a file instead (`savedPath`,
    // empty when that failed too). Emitted on the main thread; the one
    // place to tell the user about it.
    void ClipboardUndelivered(const QString& why, const QString& savedPath);

private:
    bool lockFolder(const QString& folder, QString& error);
    void onFileCompleted(const QString& path, plinthora::MediaType type, bool wroteItself);
    void onCaptureChanged(bool capturing);
    void onSaveFailed(plinthora::MediaType type, int error, const QString& detail);
    void onWatchChanged(const QString& folder, bool watching);
    // Exports an earlier run started and never finished: each taken up
    // once more, or left alone with a line saying why.
    void resumeInterrupted();
    void exportEnded(const std::string& source, ExportStatus status);
    bool busy() const;
    void keepOnBus();
    void deliverAsFile(Image image, const std::string& why, Pasteboard::Kept kept);

    DaemonOptions options_;

    linux_platform::BasicPorts ports_;
    linux_platform::QtImaging imaging_;
    linux_platform::CanberraSound sound_;
    std::unique_ptr<linux_platform::DBusNotifyCenter> notify_;
    std::unique_ptr<linux_platform::FolderPhotoLibrary> library_;
    std::unique_ptr<TrackingPhotoLibrary> trackedLibrary_;
    // Before what uses it, so it goes last.
    std::unique_ptr<linux_platform::WaylandDisplay> wayland_;
    std::unique_ptr<linux_platform::DesktopPasteboard> pasteboard_;
    std::unique_ptr<Screens> screens_;
    HostNotificationCenter localCenter_;
    MethodTable table_;
    std::unique_ptr<HomeScreen> home_;
    std::vector<std::unique_ptr<class ScreencastWatcher>> screencasts_;  // one per screencast folder
    std::unique_ptr<VideoExport> video_;
    std::unique_ptr<TrackedVideoExport> trackedVideo_;
    std::unique_ptr<DesktopNotifications> notifications_;  // null when switched off
    std::unique_ptr<ExportJournal> journal_;
    std::unique_ptr<VideoExport> journaledVideo_;
    Platform platform_;
    Tweak tweak_;

    bool busConnected_ = false;
    bool alreadyRunning_ = false;
    // The session bus may go away (its daemon restarted) and come back at
    // the same address: this timer reconnects and publishes again.
    QTimer busWatch_;
    QString busName_;
    int busGeneration_ = 0;
    int folderLock_ = -1;  // held for the daemon's life
    bool stopping_ = false;
    QTimer drain_;
    int idleChecks_ = 0;
    double drainStarted_ = 0;
    std::map<QString, double> announced_;  // screenshot path → when announced
    std::set<QString> goneReported_;       // folders said to be gone, not yet back
    int screenshotsSeen_ = 0;
    int resultsSaved_ = 0;
};

}  // namespace plinthora::host
