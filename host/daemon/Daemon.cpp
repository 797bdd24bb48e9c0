#include "host/daemon/Daemon.h"

#include "DaemonAdaptor.h"
#include "host/common/SampleAssets.h"
#include "host/daemon/ScreencastWatcher.h"
#include "settings/SRSettings.h"
#include "platform/linux/FFmpegVideoExport.h"
#include "platform/linux/QtPasteboard.h"
#include "platform/linux/RunFolder.h"

#include <QDBusConnection>
#include <QCryptographicHash>
#include <QDBusConnectionInterface>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QStandardPaths>
#include <QGuiApplication>
#include <QThreadPool>

#include <cerrno>
#include <cmath>
#include <cstdarg>
#include <cstring>
#include <cstdio>

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

namespace plinthora::host {

namespace {

// A file closed more than once by its writer is still one screenshot.
constexpr double kAnnounceOnceWindow = 10.0;
// How long a shutdown waits for saves in flight.
constexpr double kDrainLimit = 30.0;
// How often a lost session bus is looked for again, in milliseconds.
constexpr int kBusCheckInterval = 1000;
// How long a shutdown waits for cancelled exports to wind down.
constexpr double kCancelLimit = 10.0;
// A folder back within this time was replaced (one log line), not gone.
constexpr int kGoneReportMs = 1000;
// Interrupted recordings are offered again one at a time: longer than a
// discovery run with its retry.
constexpr int kResumeSpacingMs = 6000;

// Notes every export in the journal as it starts and tells how it ended.
class JournaledVideoExport : public VideoExport {
public:
    JournaledVideoExport(VideoExport& inner, ExportJournal& journal,
                         std::function<void(const std::string&, ExportStatus)> ended)
        : inner_(inner), journal_(journal), ended_(std::move(ended)) {}
    std::optional<MovieInfo> open(const std::string& path) const override { return inner_.open(path); }
    std::shared_ptr<ExportSession> exportAsynchronously(ExportRequest request,
                                                        std::function<void(ExportStatus)> completion) override {
        const std::string source = request.sourcePath;
        journal_.begin(source);
        auto session = inner_.exportAsynchronously(
            std::move(request), [this, source, completion = std::move(completion)](ExportStatus status) {
                ended_(source, status);
                if (completion) completion(status);
            });
        if (!session) ended_(source, ExportStatus::Failed);
        return session;
    }

private:
    VideoExport& inner_;
    ExportJournal& journal_;
    std::function<void(const std::string&, ExportStatus)> ended_;
};

}  // namespace

void say(const char* fmt, ...) {
    std::va_list args;
    va_start(args, fmt);
    std::fputs("plinthorad: ", stderr);
    std::vfprintf(stderr, fmt, args);
    std::fputc('\n', stderr);
    va_end(args);
}

QString hostConfigPath() {
    return QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation) + "/plinthora/plinthorad.conf";
}

void readHostConfig(const QString& path, DaemonOptions& options, QStringList& warnings) {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) return;
    int number = 0;
    for (const QByteArray& raw : file.readAll().split('\n')) {
        ++number;
        QString line = QString::fromUtf8(raw);
        if (const int hash = line.indexOf('#'); hash >= 0) line.truncate(hash);
        line = line.trimmed();
        if (line.isEmpty()) continue;
        const int eq = line.indexOf('=');
        const QString key = line.left(eq).trimmed();
        QString value = line.mid(eq + 1).trimmed();
        if (value.startsWith("~/")) value = QDir::homePath() + value.mid(1);
        if (eq < 0 || value.isEmpty() || (key != "screenshots" && key != "screencasts")) {
            warnings << QStringLiteral("%1:%2: not understood (want \"screenshots = DIR\" or \"screencasts = DIR\")")
                            .arg(path)
                            .arg(number);
            continue;
        }
        (key == "screenshots" ? options.screenshots : options.screencasts) << value;
    }
}

// ---- Daemon ----------------------------------------------------------------

Daemon::Daemon(DaemonOptions options, QObject* parent) : QObject(parent), options_(std::move(options)) {
    drain_.setInterval(20);
    connect(&drain_, &QTimer::timeout, this, [this] {
        if (busy() && ports_.clock.now() - drainStarted_ < kDrainLimit) {
            idleChecks_ = 0;
            return;
        }
        if (busy()) std::fprintf(stderr, "plinthorad: a save did not finish in time; quitting anyway\n");
        // Idle twice in a row: what a finished save posted to the main
        // queue has run too.
        if (busy() || ++idleChecks_ >= 2) {
            drain_.stop();
            QCoreApplication::quit();
        }
    });
}

Daemon::~Daemon() {
    for (auto& w : screencasts_) w->stop();
    // Exports call into the tweak to their very end: they stop before it
    // is unloaded.
    if (trackedVideo_) trackedVideo_->cancelAllAndWait(kCancelLimit);
    video_.reset();
    if (library_) library_->waitForPendingWork();
    QThreadPool::globalInstance()->waitForDone();
    if (folderLock_ >= 0) ::close(folderLock_);
}

bool Daemon::start(QString& error) {
    // One daemon per session: the bus name is the lock.
    QDBusConnection bus = QDBusConnection::sessionBus();
    busConnected_ = bus.isConnected();
    if (busConnected_) {
        if (!bus.registerService(kDaemonService)) {
            alreadyRunning_ = true;
            error = QStringLiteral(
                        "another plinthorad is already running on this session bus "
                        "(the name %1 is taken); stop it first (systemctl --user stop plinthorad)")
                        .arg(kDaemonService);
            return false;
        }
    } else {
        std::fprintf(stderr,
                     "plinthorad: no session bus (%s): settings changes apply after a restart, "
                     "and `plinthora capture` cannot reach the daemon\n",
                     qPrintable(bus.lastError().message()));
    }

    // Our own connection to a Wayland compositor: its clipboard and its
    // outputs' real pixels.
    wayland_ = linux_platform::WaylandDisplay::connect();
    screens_ = std::make_unique<Screens>(wayland_.get(), options_.screen);
    connect(screens_.get(), &Screens::changed, this, [this] {
        say("the screen changed: screenshots are now measured against %s", screens_->describe().c_str());
    });
    notify_ = std::make_unique<linux_platform::DBusNotifyCenter>(bus);
    pasteboard_ = std::make_unique<linux_platform::DesktopPasteboard>(imaging_, wayland_.get(), options_.clipboard);
    pasteboard_->onUndelivered = [this](Image image, const std::string& why, Pasteboard::Kept kept) {
        deliverAsFile(std::move(image), why, std::move(kept));
    };
    if (pasteboard_->road() == linux_platform::DesktopPasteboard::Road::None)
        say("clipboard delivery is unavailable (%s): with \"save to clipboard\" on, framed screenshots are saved "
            "as files instead",
            pasteboard_->description().c_str());
    else
        debugLog("host: the clipboard through %s", pasteboard_->description().c_str());
    const QStringList shots = options_.screenshots.isEmpty()
                                  ? QStringList{linux_platform::FolderPhotoLibrary::defaultImageFolder()}
                                  : options_.screenshots;
    const QStringList casts = options_.screencasts.isEmpty()
                                  ? QStringList{linux_platform::FolderPhotoLibrary::defaultVideoFolder()}
                                  : options_.screencasts;
    library_ = std::make_unique<linux_platform::FolderPhotoLibrary>(imaging_, shots.first(), casts.first());
    for (const QString& f : shots.mid(1)) library_->addFolder(f, MediaType::Image);
    for (const QString& f : casts.mid(1)) library_->addFolder(f, MediaType::Video);
    // One daemon per screenshot folder, whatever bus it is on: two would
    // frame every screenshot twice.
    if (!lockFolder(library_->imageFolder(), error)) return false;
    trackedLibrary_ = std::make_unique<TrackingPhotoLibrary>(*library_);
    for (MediaType type : {MediaType::Image, MediaType::Video})
        for (const QString& folder : library_->folders(type))
            if (!library_->isWatching(folder))
                std::fprintf(stderr, "plinthorad: cannot watch %s: new captures there will not be seen\n",
                             qPrintable(folder));
    connect(library_.get(), &linux_platform::FolderPhotoLibrary::fileCompleted, this, &Daemon::onFileCompleted);
    connect(library_.get(), &linux_platform::FolderPhotoLibrary::watchChanged, this, &Daemon::onWatchChanged);

    auto* lib = library_.get();
    for (const QString& folder : library_->folders(MediaType::Video)) {
        screencasts_.push_back(
            std::make_unique<ScreencastWatcher>(folder, [lib](const QString& p) { return lib->wroteItself(p); }));
        connect(screencasts_.back().get(), &ScreencastWatcher::captureChanged, this, &Daemon::onCaptureChanged);
    }

    home_ = std::make_unique<HomeScreen>(table_, &localCenter_, notify_.get());

    // Made now, so the leftovers of a run that was killed go at start.
    if (linux_platform::privateTemporaryDirectory().empty())
        std::fprintf(stderr, "plinthorad: no private temporary folder; screencasts will not be framed\n");
    video_ = std::make_unique<linux_platform::FFmpegVideoExport>();
    trackedVideo_ = std::make_unique<TrackedVideoExport>(*video_);
    journal_ = std::make_unique<ExportJournal>(ExportJournal::defaultFolder());
    journaledVideo_ = std::make_unique<JournaledVideoExport>(
        *trackedVideo_, *journal_,
        [this](const std::string& source, ExportStatus status) { exportEnded(source, status); });
    // A recording's result lands beside it.
    library_->sourceOfVideo = [this](const std::string& videoPath) { return trackedVideo_->sourceOf(videoPath); };
    // A movie's result is saved: its export is over for good.
    trackedLibrary_->videoSaved = [this](const std::string& videoPath) {
        if (const auto source = trackedVideo_->sourceOf(videoPath)) journal_->end(*source);
    };

    if (options_.notifications && busConnected_) {
        notifications_ = std::make_unique<DesktopNotifications>(bus);
        connect(library_.get(), &linux_platform::FolderPhotoLibrary::saveFailed, this, &Daemon::onSaveFailed);
        connect(this, &Daemon::ClipboardUndelivered, this, [this](const QString& why, const QString& savedPath) {
            if (savedPath.isEmpty())
                notifications_->failed(DesktopNotifications::Failure::SaveFailed, false, why);
            else
                notifications_->failed(DesktopNotifications::Failure::ClipboardImpossible, false, why);
        });
        pasteboard_->onDelivered = [this](const Image& image) {
            if (!stopping_) notifications_->copiedToClipboard(linux_platform::toQImage(*image));
        };
        trackedVideo_->setFinishedObserver([this](const std::string& source, ExportStatus status) {
            if (status != ExportStatus::Failed) return;
            QMetaObject::invokeMethod(
                this,
                [this, source] {
                    if (!stopping_)
                        notifications_->failed(DesktopNotifications::Failure::ExportFailed, true,
                                               QString::fromStdString(source));
                },
                Qt::QueuedConnection);
        });
    }

    // The asset folders are filled before the tweak creates them, so a
    // first start finds the samples in place.
    if (const int n = installSampleAssets(ports_.fs); n > 0)
        debugLog("host: %d sample asset files installed under %s", n, ports_.fs.realPath("/var/mobile/Ozrin").c_str());

    ports_.fillIn(platform_);
    platform_.notify = notify_.get();
    platform_.localCenter = &localCenter_;
    platform_.imaging = &imaging_;
    platform_.photos = trackedLibrary_.get();
    platform_.pasteboard = pasteboard_.get();
    platform_.sound = &sound_;
    platform_.screen = &screens_->metrics();
    platform_.hooks = &table_;
    platform_.video = journaledVideo_.get();
    // The host's own code logs through its copy of the core.
    setPlatform(platform_);

    std::string why;
    if (!tweak_.open(tweakCandidates(options_.tweakPath.toStdString()), why) || !tweak_.start(platform_, why)) {
        error = QString::fromStdString(why);
        return false;
    }
    // Published last: whoever sees the object may rely on a running daemon.
    if (busConnected_) {
        new DaemonAdaptor(this);
        if (!bus.registerObject(kDaemonPath, this)) {
            error = QStringLiteral("cannot publish %1 on the session bus").arg(kDaemonPath);
            return false;
        }
    }
    resumeInterrupted();
    busName_ = bus.name();
    busWatch_.setInterval(kBusCheckInterval);
    connect(&busWatch_, &QTimer::timeout, this, &Daemon::keepOnBus);
    if (busConnected_) busWatch_.start();
    debugLog("host: tweak %s started; screen %s; screenshots %s; screencasts %s", tweak_.path().c_str(),
             screens_->describe().c_str(), qPrintable(library_->imageFolder()), qPrintable(library_->videoFolder()));
    return true;
}

bool Daemon::lockFolder(const QString& folder, QString& error) {
    const QString canonical = QFileInfo(folder).canonicalFilePath();
    const QByteArray key = QCryptographicHash::hash(canonical.toUtf8(), QCryptographicHash::Sha1).toHex().left(16);
    const char* runtime = std::getenv("XDG_RUNTIME_DIR");
    const QString dir = runtime && *runtime ? QString::fromLocal8Bit(runtime) : QStringLiteral("/tmp");
    const QString path = QStringLiteral("%1/plinthorad-%2-%3.lock").arg(dir).arg(::getuid()).arg(QString(key));
    folderLock_ = ::open(path.toLocal8Bit().constData(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (folderLock_ < 0) {
        // Without a lock file the bus name still guards the session.
        debugLog("host: cannot open %s; no folder lock", qPrintable(path));
        return true;
    }
    if (::flock(folderLock_, LOCK_EX | LOCK_NB) != 0) {
        alreadyRunning_ = true;
        error = QStringLiteral("another plinthorad is already watching %1").arg(canonical);
        ::close(folderLock_);
        folderLock_ = -1;
        return false;
    }
    return true;
}

void Daemon::keepOnBus() {
    if (stopping_ || QDBusConnection(busName_).isConnected()) return;
    // Qt never reconnects a connection the bus closed: open a new one.
    const QString name = QStringLiteral("plinthorad-%1").arg(++busGeneration_);
    QDBusConnection bus = QDBusConnection::connectToBus(QDBusConnection::SessionBus, name);
    if (!bus.isConnected()) {
        QDBusConnection::disconnectFromBus(name);
        return;
    }
    if (!bus.registerService(kDaemonService) || !bus.registerObject(kDaemonPath, this)) {
        // A bus that went away again while we asked is tried again later;
        // only a name another process holds keeps us off it.
        const bool taken = bus.isConnected() && bus.lastError().type() != QDBusError::Disconnected &&
                           bus.lastError().type() != QDBusError::NoReply;
        QDBusConnection::disconnectFromBus(name);
        if (!taken) return;
        std::fprintf(stderr, "plinthorad: the session bus is back but %s is taken; staying off the bus\n",
                     kDaemonService);
        busWatch_.stop();
        return;
    }
    // The default session connection belongs to Qt; only our own go.
    if (busName_.startsWith(QStringLiteral("plinthorad-"))) QDBusConnection::disconnectFromBus(busName_);
    busName_ = name;
    notify_->useConnection(bus);
    if (notifications_) notifications_->useConnection(bus);
    std::fprintf(stderr, "plinthorad: back on the session bus\n");
    // A settings change posted while the bus was away was never heard.
    notify_->deliverLocally(kPreferencesChangedNotification);
}

void Daemon::onFileCompleted(const QString& path, plinthora::MediaType type, bool wroteItself) {
    if (wroteItself) {
        ++resultsSaved_;
        say("framed result saved: %s", qPrintable(path));
        emit ResultSaved(path);
        if (notifications_) notifications_->resultSaved(path, type == MediaType::Video);
        return;
    }
    if (stopping_ || type != MediaType::Image) return;
    const double now = ports_.clock.now();
    for (auto it = announced_.begin(); it != announced_.end();)
        it = now - it->second > kAnnounceOnceWindow ? announced_.erase(it) : std::next(it);
    if (!announced_.emplace(path, now).second) return;
    ++screenshotsSeen_;
    // The library indexed the file before it told us; indexing again is
    // harmless and covers a library that reports first.
    const std::optional<Asset> asset = library_->indexFile(path);
    say("screenshot saved: %s", qPrintable(path));
    // The screen the tweak measures against is the one this screenshot
    // shows, of those there are now.
    if (asset && !screens_->follow(int(asset->pixelWidth), int(asset->pixelHeight)))
        say("screenshot %s is %gx%g pixels, not the size of the screen (%s): it is not framed",
            qPrintable(QFileInfo(path).fileName()), double(asset->pixelWidth), double(asset->pixelHeight),
            screens_->describe().c_str());
    home_->screenshotTaken(path.toStdString());
}

void Daemon::onWatchChanged(const QString& folder, bool watching) {
    if (!watching) {
        QTimer::singleShot(kGoneReportMs, this, [this, folder] {
            if (library_->isWatching(folder) || goneReported_.count(folder)) return;
            goneReported_.insert(folder);
            std::fprintf(stderr,
                         "plinthorad: %s is gone; nothing is framed there until it exists again, "
                         "and it is watched again then\n",
                         qPrintable(folder));
        });
        return;
    }
    if (goneReported_.erase(folder))
        std::fprintf(stderr, "plinthorad: %s is back; watching it again\n", qPrintable(folder));
    else
        std::fprintf(stderr, "plinthorad: %s was replaced (removed, moved or mounted over); watching the new one\n",
                     qPrintable(folder));
}

void Daemon::exportEnded(const std::string& source, ExportStatus status) {
    // Completed: over once its result is saved. Cancelled by a shutdown:
    // cut short, taken up at the next start like a killed one.
    if (status == ExportStatus::Completed || (status == ExportStatus::Cancelled && stopping_)) return;
    for (const auto& e : journal_->interrupted())
        if (e.source == source)
            std::fprintf(stderr, "plinthorad: %s could not be framed on its second try either; leaving it as it is\n",
                         source.c_str());
    journal_->end(source);
}

void Daemon::resumeInterrupted() {
    int delay = 0;
    for (const ExportJournal::Entry& e : journal_->interrupted()) {
        const QString path = QString::fromStdString(e.source);
        if (e.attempts >= 2) {
            std::fprintf(stderr, "plinthorad: framing %s was cut short twice; leaving it as it is\n", e.source.c_str());
        } else if (!QFileInfo::exists(path)) {
            std::fprintf(stderr, "plinthorad: %s, whose framing was cut short, is gone; nothing to take up\n",
                         e.source.c_str());
        } else if (!library_->indexFile(path)) {
            debugLog("host: %s is not in the screencast folder any more", e.source.c_str());
        } else {
            std::fprintf(stderr, "plinthorad: taking up %s again: its framing was cut short\n", e.source.c_str());
            // Offered as new and found by the recording road, as if its
            // capture had just ended.
            QTimer::singleShot(delay, this, [this, path] {
                if (stopping_ || home_->screenCaptured() || !library_->offerAgain(path)) return;
                home_->setScreenCaptured(true);
                home_->setScreenCaptured(false);
            });
            delay += kResumeSpacingMs;
            continue;
        }
        journal_->end(e.source);
    }
}

void Daemon::onCaptureChanged(bool capturing) {
    if (stopping_) return;
    // Recordings in several folders at once are one capture: it ends with
    // the last of them.
    bool any = false;
    for (const auto& w : screencasts_) any = any || w->capturing();
    if (!capturing && any) return;
    say("screen capture %s (a screencast %s)", capturing ? "began" : "ended",
        capturing ? "is being written" : "was closed");
    home_->setScreenCaptured(capturing);
}

void Daemon::onSaveFailed(plinthora::MediaType type, int error, const QString& detail) {
    debugLog("host: a result was not saved: %s", qPrintable(detail));
    if (!notifications_) return;
    // A quota or a file size limit leaves no room just the same.
    const bool noRoom = error == ENOSPC || error == EDQUOT || error == EFBIG;
    notifications_->failed(noRoom ? DesktopNotifications::Failure::NoRoom : DesktopNotifications::Failure::SaveFailed,
                           type == MediaType::Video, error ? QString::fromLocal8Bit(std::strerror(error)) : QString());
}

void Daemon::SetCaptured(bool captured) {
    if (stopping_) return;
    say("screen capture %s (told by `plinthora capture`)", captured ? "began" : "ended");
    home_->setScreenCaptured(captured);
}

QString Daemon::Status() {
    QString s;
    auto line = [&](const QString& key, const QString& value) { s += key + ": " + value + "\n"; };
    line("screenshots", library_->folders(MediaType::Image).join(", "));
    line("screencasts", library_->folders(MediaType::Video).join(", "));
    bool all = library_->isWatching();
    for (const auto& w : screencasts_) all = all && w->isWatching();
    line("watching", all ? "yes" : "no");
    for (MediaType type : {MediaType::Image, MediaType::Video})
        for (const QString& folder : library_->folders(type))
            line(library_->isWatching(folder) ? "watched" : "unwatched", folder);
    const ScreenSpec screen = screens_->current();
    line("screen", QStringLiteral("%1x%2@%3").arg(screen.width).arg(screen.height).arg(screen.scale));
    line("clipboard", QString::fromStdString(pasteboard_->description()));
    line("assets", QString::fromStdString(ports_.fs.realPath("/var/mobile/Ozrin")));
    line("preferences",
         QString::fromStdString(ports_.fs.realPath("/var/mobile/Library/Preferences/com.ozrin.plinthora.plist")));
    line("tweak", QString::fromStdString(tweak_.path()));
    line("platform", QString::fromStdString(tweak_.platformCheck()));
    line("captured", home_->screenCaptured() ? "yes" : "no");
    line("notifications", notifications_ ? "on" : "off");
    line("screenshots seen", QString::number(screenshotsSeen_));
    line("results saved", QString::number(resultsSaved_));
    const auto exports = trackedVideo_->inFlight();
    line("exports in flight", QString::number(exports.size()));
    for (const auto& e : exports)
        line("export", e.waiting ? QStringLiteral("%1 (waiting its turn)").arg(QString::fromStdString(e.sourcePath))
                                 : QStringLiteral("%1 (%2/%3 frames)")
                                       .arg(QString::fromStdString(e.sourcePath))
                                       .arg(e.progress.framesDone)
                                       .arg(e.progress.framesTotal));
    return s;
}

// The picture is never lost: what the clipboard would not take is saved
// beside the screenshots.
void Daemon::deliverAsFile(Image image, const std::string& why, Pasteboard::Kept kept) {
    if (pasteboard_->road() == linux_platform::DesktopPasteboard::Road::None)
        debugLog("host: saving the framed screenshot as a file: %s", why.c_str());
    else
        say("the framed screenshot could not be put on the clipboard (%s): saving it as a file instead", why.c_str());
    trackedLibrary_->createImageAsset(
        std::move(image), [this, why, kept = std::move(kept)](bool ok, const std::string& id) {
            const std::optional<std::string> path = ok ? library_->pathForIdentifier(id) : std::nullopt;
            QMetaObject::invokeMethod(
                this,
                [this, why, path, kept] {
                    if (!path) say("the framed screenshot could not be saved as a file either: the original stays");
                    if (kept) kept(path.has_value());
                    emit ClipboardUndelivered(QString::fromStdString(why),
                                              path ? QString::fromStdString(*path) : QString());
                },
                Qt::QueuedConnection);
        });
}

bool Daemon::busy() const {
    return (trackedLibrary_ && trackedLibrary_->inFlight() > 0) ||
           QThreadPool::globalInstance()->activeThreadCount() > 0;
}

void Daemon::shutdown() {
    if (stopping_) return;
    stopping_ = true;
    debugLog("host: stopping after the saves in flight");
    for (auto& w : screencasts_) w->stop();
    // A half-made movie is worth nothing: cancelled exports leave nothing
    // behind and never reach the library, so the originals stay as they are.
    if (trackedVideo_ && !trackedVideo_->cancelAllAndWait(kCancelLimit))
        std::fprintf(stderr, "plinthorad: an export did not stop in time\n");
    drainStarted_ = ports_.clock.now();
    idleChecks_ = 0;
    drain_.start();
}

}  // namespace plinthora::host
