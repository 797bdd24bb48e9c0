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
#include "host/daemon/TweakLoader.h"
#include "platform/linux/CanberraSound.h"
#include "platform/linux/DBusNotifyCenter.h"
#include "platform/linux/FolderPhotoLibrary.h"
#include "platform/linux/LinuxPlatform.h"
#include "platform/linux/QtImaging.h"
#include "platform/linux/QtPasteboard.h"

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

// The screen the tweak sees: size in points and scale, fixed for the run.
struct ScreenSpec {
    double width = 390;
    double height = 844;
    double scale = 3;
};

// "WxH@S" (points and scale, e.g. "390x844@3"); nullopt when malformed.
std::optional<ScreenSpec> parseScreenSpec(const std::string& text);

class FixedScreenMetrics : public ScreenMetrics {
public:
    explicit FixedScreenMetrics(ScreenSpec s) : spec_(s) {}
    Size bounds() const override { return {spec_.width, spec_.height}; }
    double scale() const override { return spec_.scale; }

private:
    ScreenSpec spec_;
};

// The primary screen's size and pixel ratio; without a real display the
// phone's default screen.
ScreenSpec detectScreen();


struct DaemonOptions {
    // Folders to watch, the first of each kind first; none: the XDG
    // Pictures/Screenshots and Videos/Screencasts.
    QStringList screenshots;
    QStringList screencasts;
    std::optional<ScreenSpec> screen;
    QString tweakPath;  // empty: the usual places
    bool notifications = true;  // a desktop notification for each result and failure
};

// The host's own settings file: $XDG_CONFIG_HOME/plinthora/plinthorad.conf.
QString hostConfigPath();
// Adds its "screenshots = DIR" and "screencasts = DIR" lines to the
// folders (after those given on the command line); '#' starts a comment
// and "~/" is the home folder. A missing file is no error; a line it does
// not understand is a message in `warnings`.
void readHostConfig(const QString& path, DaemonOptions& options, QStringList& warnings);

// Counts the library changes in flight, so a shutdown can wait for them.
class TrackingPhotoLibrary : public PhotoLibrary {
public:
    explicit TrackingPhotoLibrary(PhotoLibrary& inner) : inner_(inner) {}
    std::vector<Asset> fetchNewest(MediaType type, int limit, double createdAfter) const override {
        return inner_.fetchNewest(type, limit, createdAfter);
    }
    std::optional<std::string> requestImageData(const Asset& asset) override { return inner_.requestImageData(asset); }
    void requestVideoFile(const Asset& asset, std::function<void(std::optional<std::string>)> handler) override;
    void createImageAsset(Image image, ChangeCompletion completion) override;
    void createVideoAsset(const std::string& videoPath, ChangeCompletion completion) override;
    void deleteAssets(const std::vector<Asset>& assets, ChangeCompletion completion) override;
    int inFlight() const { return inFlight_; }
    // Told of every movie save once it has completed, with the file saved.
    std::function<void(const std::string& videoPath)> videoSaved;

private:
    ChangeCompletion tracked(ChangeCompletion completion);
    PhotoLibrary& inner_;
    std::atomic<int> inFlight_{0};
};

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
    const ScreenSpec& screen() const { return screenSpec_; }

public slots:
    // The D-Bus interface (see dbus/com.ozrin.plinthora.Daemon.xml).
    void SetCaptured(bool captured);
    QString Status();

signals:
    void ResultSaved(const QString& path);

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

    DaemonOptions options_;
    ScreenSpec screenSpec_;

    linux_platform::BasicPorts ports_;
    linux_platform::QtImaging imaging_;
    linux_platform::CanberraSound sound_;
    std::unique_ptr<linux_platform::DBusNotifyCenter> notify_;
    std::unique_ptr<linux_platform::FolderPhotoLibrary> library_;
    std::unique_ptr<TrackingPhotoLibrary> trackedLibrary_;
    std::unique_ptr<linux_platform::QtPasteboard> pasteboard_;
    std::unique_ptr<FixedScreenMetrics> metrics_;
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
