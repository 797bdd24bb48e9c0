// plinthorad as a user runs it: the real daemon process on its own session
// bus, real folders, the real tweak library, offscreen Qt.
#include "MediaTestSupport.h"
#include "PrivateBus.h"

#include "host/common/SampleAssets.h"
#include "platform/linux/DBusNotifyCenter.h"
#include "platform/linux/FolderPhotoLibrary.h"
#include "platform/linux/LinuxPlatform.h"
#include "settings/SRSettings.h"

#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusArgument>
#include <QDBusMessage>
#include <QDBusReply>
#include <QDir>
#include <QDirIterator>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QImage>
#include <QProcess>
#include <QRegularExpression>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QUrl>

#include <gtest/gtest.h>

#include <csignal>
#include <functional>

#include <sys/resource.h>

#include <unistd.h>
#include <map>
#include <memory>

namespace plinthora::testing {
namespace {

using mediatest::PrivateBus;
using mediatest::waitUntil;

constexpr const char* kService = "com.ozrin.plinthora.Daemon";
constexpr const char* kPath = "/com/ozrin/plinthora/Daemon";
constexpr const char* kInterface = "com.ozrin.plinthora.Daemon";
// Bounded waits for events; generous for sanitizer builds on small machines.
constexpr int kStartMs = mediatest::kStartMs;
constexpr int kResultMs = 30000;
// Longer than the slowest trigger (2.5 s) plus one retry (1.5 s): a run
// that was going to happen has happened.
constexpr int kSettleMs = 5000;

// Runs a command line tool; its standard output, or nothing when it failed.
QByteArray runTool(const QString& program, const QStringList& args) {
    QProcess p;
    p.start(program, args);
    if (!p.waitForFinished(120000) || p.exitCode() != 0) return {};
    return p.readAllStandardOutput();
}

// Names of the files in a folder, dot files included.
QStringList allFiles(const QString& folder) {
    return QDir(folder).entryList(QDir::Files | QDir::Hidden | QDir::System);
}

// The largest resident set a running process has had, in kB.
long peakRssKb(QProcess* process) {
    QFile st(QStringLiteral("/proc/%1/status").arg(process->processId()));
    if (!st.open(QIODevice::ReadOnly)) return 0;
    for (const QByteArray& line : st.readAll().split('\n'))
        if (line.startsWith("VmHWM:")) return line.mid(6).trimmed().split(' ').first().toLong();
    return 0;
}

// Collects the daemon's ResultSaved signals.
class ResultRecorder : public QObject {
    Q_OBJECT
public slots:
    void resultSaved(const QString& path) { paths << path; }

public:
    QStringList paths;
};

// The session's notification server as the tests see it: it records what
// it is asked to show and can send the signals a user's click makes.
class FakeNotificationServer : public QObject {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.freedesktop.Notifications")
public:
    struct Shown {
        uint id;
        QString summary, body;
        QStringList actions;
        QVariantMap hints;
    };
    std::vector<Shown> shown;

public slots:
    uint Notify(const QString&, uint, const QString&, const QString& summary, const QString& body,
                const QStringList& actions, const QVariantMap& hints, int) {
        shown.push_back({uint(shown.size() + 1), summary, body, actions, hints});
        return shown.back().id;
    }
    QStringList GetCapabilities() { return {"actions", "body"}; }
};

class FakeFileManager : public QObject {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.freedesktop.FileManager1")
public:
    QStringList shownItems;
public slots:
    void ShowItems(const QStringList& uris, const QString&) { shownItems << uris; }
};

class DaemonEndToEndTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(dir_.isValid());
        if (QStandardPaths::findExecutable("dbus-daemon").isEmpty())
            GTEST_SKIP() << "no dbus-daemon on PATH: the daemon tests need a session bus of their own";
        ASSERT_TRUE(bus_.start()) << "cannot start a private dbus-daemon";
        shots_ = dir_.filePath("Screenshots");
        casts_ = dir_.filePath("Screencasts");
        device_ = dir_.filePath("device");
        QDir().mkpath(shots_);
        QDir().mkpath(casts_);
        // The preferences writer of this process works on the daemon's files.
        ::setenv("PLINTHORA_DEVICE_ROOT", device_.toLocal8Bit().constData(), 1);
        notify_ = std::make_unique<linux_platform::DBusNotifyCenter>(bus_.connection());
        Platform p;
        p.fs = &fs_;
        p.plist = &plist_;
        p.notify = notify_.get();
        setPlatform(p);
    }

    void TearDown() override {
        for (auto& d : daemons_) {
            if (d->state() != QProcess::NotRunning) {
                d->terminate();
                d->waitForFinished(kStartMs);
            }
            if (::testing::Test::HasFailure())
                std::fprintf(stderr, "--- plinthorad stderr ---\n%s\n", log(d.get()).constData());
        }
        setPlatform(Platform{});
        ::unsetenv("PLINTHORA_DEVICE_ROOT");
    }

    // `extraEnv` is added to the daemon's environment; `inChild` runs in
    // the child before the daemon starts (limits, signal dispositions);
    // `extraArgs` follow the folders, the screen and --verbose (left out
    // when not `verbose`).
    QProcess* launch(const QString& busAddress = QString(), const QStringList& extraEnv = {},
                     std::function<void()> inChild = {}, const QStringList& extraArgs = {}, bool verbose = true) {
        auto d = std::make_unique<QProcess>();
        if (inChild) d->setChildProcessModifier(inChild);
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        for (const QString& kv : extraEnv) env.insert(kv.section('=', 0, 0), kv.section('=', 1));
        env.insert("DBUS_SESSION_BUS_ADDRESS", busAddress.isEmpty() ? bus_.address() : busAddress);
        env.insert("PLINTHORA_DEVICE_ROOT", device_);
        env.insert("QT_QPA_PLATFORM", "offscreen");
        env.insert("XDG_DATA_HOME", dir_.filePath("data"));
        env.insert("XDG_STATE_HOME", dir_.filePath("state"));
        env.insert("XDG_CONFIG_HOME", dir_.filePath("config"));
        // Temporary movies go below this test's folder, where it can look.
        env.insert("TMPDIR", dir_.filePath("tmp"));
        QDir().mkpath(dir_.filePath("tmp"));
        d->setProcessEnvironment(env);
        d->setProgram(PLINTHORA_BINARY_DIR "/host/plinthorad");
        d->setArguments(QStringList{"--screenshots", shots_, "--screencasts", casts_, "--screen", "390x844@3"} +
                        (verbose ? QStringList{"--verbose"} : QStringList{}) + extraArgs);
        d->start();
        daemons_.push_back(std::move(d));
        return daemons_.back().get();
    }

    // What the daemon wrote to stderr so far (kept, so a failure still
    // prints all of it).
    QByteArray log(QProcess* d) {
        QByteArray& kept = logs_[d];
        kept += d->readAllStandardError();
        return kept;
    }

    // The daemon publishes its object once it watches the folders and the
    // tweak has started.
    // Puts a notification server and a file manager on the test's bus.
    void serveDesktop(FakeNotificationServer& server, FakeFileManager& files) {
        QDBusConnection& bus = bus_.connection();
        ASSERT_TRUE(bus.registerObject("/org/freedesktop/Notifications", &server, QDBusConnection::ExportAllSlots));
        ASSERT_TRUE(bus.registerService("org.freedesktop.Notifications"));
        ASSERT_TRUE(bus.registerObject("/org/freedesktop/FileManager1", &files, QDBusConnection::ExportAllSlots));
        ASSERT_TRUE(bus.registerService("org.freedesktop.FileManager1"));
    }

    // The size of a notification's thumbnail ("image-data" hint).
    static QSize thumbnailSize(const QVariantMap& hints) {
        if (!hints.contains("image-data")) return {};
        int w = 0, h = 0, stride = 0, bits = 0, channels = 0;
        bool alpha = false;
        QByteArray pixels;
        const QDBusArgument image = hints.value("image-data").value<QDBusArgument>();
        image.beginStructure();
        image >> w >> h >> stride >> alpha >> bits >> channels >> pixels;
        image.endStructure();
        return pixels.size() == stride * h && channels == 4 && bits == 8 ? QSize(w, h) : QSize();
    }

    bool daemonOnBus() {
        return waitUntil(
            [&] { return bus_.connection().interface()->isServiceRegistered(kService).value() && !status().isEmpty(); },
            kStartMs);
    }

    QDBusMessage call(const QString& method, const QVariantList& args = {}) {
        QDBusMessage m = QDBusMessage::createMethodCall(kService, kPath, kInterface, method);
        m.setArguments(args);
        return bus_.connection().call(m, QDBus::Block, kStartMs);
    }

    QString status() {
        QDBusMessage r = call("Status");
        return r.type() == QDBusMessage::ReplyMessage && !r.arguments().isEmpty() ? r.arguments().first().toString()
                                                                                  : QString();
    }

    // Waits until the daemon's status has the line, e.g. "captured: yes".
    bool statusShows(const QString& line, int ms = kResultMs) {
        return waitUntil([&] { return status().split('\n').contains(line); }, ms);
    }

    // Copies a screen-size screenshot in, as `cp` does: created, written,
    // closed under its final name. (Not QFile::copy: it links an unnamed
    // temporary file into place, which shows only as a creation.)
    QString takeScreenshot(const QString& name, int seed) {
        const QString source = dir_.filePath(name);
        EXPECT_TRUE(host::makeSampleScreenshot(1170, 2532, seed).save(source, "PNG"));
        QFile in(source);
        EXPECT_TRUE(in.open(QIODevice::ReadOnly));
        const QString target = QDir(shots_).filePath(name);
        QFile out(target);
        EXPECT_TRUE(out.open(QIODevice::WriteOnly));
        EXPECT_EQ(out.write(in.readAll()), in.size());
        out.close();
        return target;
    }

    // The PNGs in the screenshot folder that are not the named originals.
    QStringList results(const QStringList& originals) {
        QStringList out;
        for (const QString& f : QDir(shots_).entryList({"*.png"}, QDir::Files))
            if (!originals.contains(f)) out << QDir(shots_).filePath(f);
        return out;
    }

    QSize shellSize() { return QImage(QDir(device_).filePath("Ozrin/套壳素材/Sample Phone.png")).size(); }

    // A portrait recording as a screen recorder leaves it: H.264 in MP4, the
    // index written last, or first with `indexFirst`. Empty if ffmpeg fails.
    QByteArray recording(double seconds, bool indexFirst = false) {
        const QString made = dir_.filePath(QStringLiteral("made-%1.mp4").arg(++made_));
        QStringList args{
            "-v",   "error",   "-f",       "lavfi",  "-i", QStringLiteral("testsrc2=s=360x780:r=24:d=%1").arg(seconds),
            "-c:v", "libx264", "-pix_fmt", "yuv420p"};
        if (indexFirst)
            args << "-movflags"
                 << "+faststart";
        runTool("ffmpeg", args << made);
        return mediatest::readFile(made).value_or(QByteArray());
    }

    // The private folder that holds every run's temporary movies.
    QDir runsFolder() { return QDir(dir_.filePath("tmp/plinthora-" + QString::number(::geteuid()))); }
    QStringList runFolders() { return runsFolder().entryList(QDir::Dirs | QDir::NoDotAndDotDot); }
    // What the runs hold besides their locks, as "run folder/file".
    QStringList temporaryFiles() {
        QStringList out;
        for (const QString& run : runFolders())
            for (const QString& f : allFiles(runsFolder().filePath(run)))
                if (f != ".lock") out << run + "/" + f;
        return out;
    }

    // Framed movies and half-saved files in the screencast folder.
    QStringList framedMovies() { return QDir(casts_).entryList({"Plinthora_*.mp4"}, QDir::Files); }
    QStringList halfSaved() { return QDir(casts_).entryList({".*"}, QDir::Files | QDir::Hidden); }

    QTemporaryDir dir_;
    PrivateBus bus_;
    QString shots_, casts_, device_;
    linux_platform::PosixFileSystem fs_;
    linux_platform::LibplistPropertyLists plist_;
    std::unique_ptr<linux_platform::DBusNotifyCenter> notify_;
    std::vector<std::unique_ptr<QProcess>> daemons_;
    std::map<QProcess*, QByteArray> logs_;
    int made_ = 0;
};

TEST_F(DaemonEndToEndTest, ScreenshotIsFramedOnceAndASettingChangeApplies) {
    struct Case {
        const char* name;
        bool watermark;
    } cases[] = {{"watermark on", true}, {"both off", false}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        // A fresh daemon and folders for each case.
        for (const QString& f : QDir(shots_).entryList(QDir::Files)) QFile::remove(QDir(shots_).filePath(f));
        QDir(device_).removeRecursively();
        // The second case runs without the debug log: the daemon's own log
        // still tells what happened, in plain words.
        QProcess* daemon = launch(QString(), {}, {}, {}, c.watermark);
        ASSERT_TRUE(daemonOnBus()) << "the daemon did not come up";
        ResultRecorder recorder;
        ASSERT_TRUE(bus_.connection().connect(kService, kPath, kInterface, "ResultSaved", &recorder,
                                              SLOT(resultSaved(QString))));
        EXPECT_TRUE(statusShows("platform: set (the library's own holder)", 1000)) << status().toStdString();

        takeScreenshot("first.png", 1);
        ASSERT_TRUE(waitUntil([&] { return !results({"first.png"}).isEmpty(); }, kResultMs))
            << "no framed result appeared";
        waitUntil([] { return false; }, kSettleMs);
        QStringList framed = results({"first.png"});
        ASSERT_EQ(framed.size(), 1) << "one screenshot, one result";
        const QSize shell = shellSize();
        ASSERT_FALSE(shell.isEmpty()) << "the sample shell was not installed";
        EXPECT_EQ(QImage(framed.first()).size(), shell) << "the result is the shell's canvas";
        EXPECT_EQ(recorder.paths, QStringList{framed.first()}) << "ResultSaved names the new file";
        const QByteArray said = log(daemon);
        EXPECT_TRUE(said.contains("screenshot saved: " + QDir(shots_).filePath("first.png").toUtf8()))
            << said.constData();
        EXPECT_TRUE(said.contains("framed result saved: " + framed.first().toUtf8())) << said.constData();
        EXPECT_EQ(said.contains("SBScreenshotManager"), c.watermark) << "method names belong to the debug log";

        // The settings page's way: rewrite the file, then post the change.
        // (Its folder exists on any system that has had settings saved.)
        QDir().mkpath(QFileInfo(QString::fromStdString(fs_.realPath(kPreferencesPath))).path());
        ASSERT_TRUE(writePreference("sr_ssShellEnabled", Value::boolean(false)));
        ASSERT_TRUE(writePreference("sr_ssWatermarkEnabled", Value::boolean(c.watermark)));

        takeScreenshot("second.png", 2);
        ASSERT_TRUE(statusShows("screenshots seen: 2")) << "the daemon did not see the second screenshot";
        if (c.watermark) waitUntil([&] { return results({"first.png", "second.png"}).size() == 2; }, kResultMs);
        waitUntil([] { return false; }, kSettleMs);
        QStringList now = results({"first.png", "second.png"});
        now.removeAll(framed.first());
        if (c.watermark) {
            ASSERT_EQ(now.size(), 1) << "the second screenshot was not delivered once";
            const QImage second(now.first());
            EXPECT_EQ(second.size(), QSize(1170, 2532)) << "without a shell the result keeps the screenshot's size";
            EXPECT_NE(second.convertToFormat(QImage::Format_ARGB32),
                      QImage(QDir(shots_).filePath("second.png")).convertToFormat(QImage::Format_ARGB32))
                << "the watermark left no trace";
        } else {
            EXPECT_TRUE(now.isEmpty()) << "both features off, yet something was saved";
        }
        daemon->terminate();
        ASSERT_TRUE(daemon->waitForFinished(kStartMs));
        EXPECT_EQ(daemon->exitStatus(), QProcess::NormalExit);
        EXPECT_EQ(daemon->exitCode(), 0);
    }
}

// The systemd unit and the session's autostart may both start a daemon:
// the second says why and is not restarted (status 3), or, started by the
// autostart, leaves without a word.
TEST_F(DaemonEndToEndTest, ASecondDaemonOnTheSameBusRefuses) {
    launch();
    ASSERT_TRUE(daemonOnBus());
    struct Case {
        QStringList args;
        int exitCode;
        bool says;
    } cases[] = {{{"--verbose"}, 3, true}, {{"--autostart"}, 0, false}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.args.join(' ').toStdString());
        QProcess* second = launch(QString(), {}, {}, c.args, false);
        ASSERT_TRUE(second->waitForFinished(kStartMs)) << "the second daemon kept running";
        EXPECT_EQ(second->exitCode(), c.exitCode);
        const QByteArray err = second->readAllStandardError();
        EXPECT_EQ(err.contains("another plinthorad is already running"), c.says) << err.constData();
    }
    EXPECT_FALSE(status().isEmpty()) << "the first daemon must be unaffected";
}

TEST_F(DaemonEndToEndTest, ASecondDaemonOnTheSameFoldersRefusesEvenOnAnotherBus) {
    launch();
    ASSERT_TRUE(daemonOnBus());
    PrivateBus other;
    ASSERT_TRUE(other.start());
    QProcess* second = launch(other.address());
    ASSERT_TRUE(second->waitForFinished(kStartMs)) << "the second daemon kept running";
    EXPECT_NE(second->exitCode(), 0);
    EXPECT_TRUE(second->readAllStandardError().contains("another plinthorad is already watching"));
    EXPECT_FALSE(status().isEmpty()) << "the first daemon must be unaffected";
}

TEST_F(DaemonEndToEndTest, CaptureStateFollowsTheScreencastFolderAndTheBusCall) {
    launch();
    ASSERT_TRUE(daemonOnBus());
    ASSERT_TRUE(statusShows("captured: no"));

    // By hand, as `plinthora capture on|off` does.
    call("SetCaptured", {true});
    EXPECT_TRUE(statusShows("captured: yes"));
    call("SetCaptured", {false});
    EXPECT_TRUE(statusShows("captured: no"));

    // A recorder writing a file, then closing it.
    QFile movie(QDir(casts_).filePath("Screencast.mp4"));
    ASSERT_TRUE(movie.open(QIODevice::WriteOnly));
    movie.write(QByteArray(4096, '\0'));
    movie.flush();
    EXPECT_TRUE(statusShows("captured: yes"));
    movie.close();
    EXPECT_TRUE(statusShows("captured: no"));
}

TEST_F(DaemonEndToEndTest, AScreencastComesBackFramedAndTheOriginalGoesToTheTrash) {
    QDir().mkpath(QFileInfo(QString::fromStdString(fs_.realPath(kPreferencesPath))).path());
    ASSERT_TRUE(writePreference("sr_deleteOriginal", Value::boolean(true), ""));
    FakeNotificationServer server;
    FakeFileManager files;
    serveDesktop(server, files);
    QProcess* daemon = launch(QString(), {"LC_ALL=en_US.UTF-8"});
    ASSERT_TRUE(daemonOnBus());

    // Recordings whose writer stopped early: a plain MP4 without the index
    // it writes last, and one with its index in front whose frames end
    // early (it opens, its export fails). Each is tried and left as it was,
    // with no partial movie anywhere and the daemon still running.
    struct Cut {
        const char* name;
        bool indexFirst;
    } cuts[] = {{"Cut before the index.mp4", false}, {"Cut in the frames.mp4", true}};
    int runs = 0;
    std::map<QString, QByteArray> cutOff;
    for (const Cut& c : cuts) {
        SCOPED_TRACE(c.name);
        const QByteArray whole = recording(2.0, c.indexFirst);
        ASSERT_FALSE(whole.isEmpty()) << "cannot make a test movie";
        const QString path = QDir(casts_).filePath(c.name);
        cutOff[path] = whole.left(whole.size() * 6 / 10);
        ASSERT_TRUE(mediatest::writeFile(path, cutOff[path]));
        ++runs;
        ASSERT_TRUE(waitUntil([&] { return log(daemon).count("recording run ends: handed over") >= runs; }, kResultMs))
            << "the recording was never taken up\n"
            << status().toStdString();
        EXPECT_TRUE(statusShows("exports in flight: 0"));
        ASSERT_EQ(daemon->state(), QProcess::Running);
        EXPECT_TRUE(framedMovies().isEmpty());
        EXPECT_TRUE(halfSaved().isEmpty());
        EXPECT_EQ(temporaryFiles(), QStringList()) << "a partial temporary movie was left";
    }
    // The export that failed is told, once; the one never opened made no
    // export to fail.
    EXPECT_TRUE(waitUntil([&] { return !server.shown.empty(); }, kStartMs));
    ASSERT_EQ(server.shown.size(), 1u);
    EXPECT_EQ(server.shown.front().summary, "Recording export failed");
    EXPECT_TRUE(server.shown.front().body.contains("The original is untouched."))
        << server.shown.front().body.toStdString();
    server.shown.clear();

    // The next whole recording is framed as ever.
    const QByteArray bytes = recording(0.5);
    ASSERT_FALSE(bytes.isEmpty()) << "cannot make a test movie";
    const QString original = QDir(casts_).filePath("Screencast.mp4");
    ASSERT_TRUE(mediatest::writeFile(original, bytes));

    ASSERT_TRUE(waitUntil([&] { return !framedMovies().isEmpty(); }, 120000)) << "no framed movie appeared\n"
                                                                              << status().toStdString();
    const QString trashed = dir_.filePath("data/Trash/files/Screencast.mp4");
    EXPECT_TRUE(waitUntil([&] { return QFileInfo::exists(trashed) && !QFileInfo::exists(original); }, kResultMs))
        << "the original did not go to the Trash";
    // Our own result is never taken for a new screencast.
    waitUntil([] { return false; }, kSettleMs);
    ASSERT_EQ(framedMovies().size(), 1);
    EXPECT_TRUE(statusShows("exports in flight: 0", 1000));
    for (const auto& [path, cut] : cutOff)
        EXPECT_EQ(mediatest::readFile(path), cut) << path.toStdString() << " changed";

    const QString result = QDir(casts_).filePath(framedMovies().first());
    // Told with the movie's first frame as its thumbnail.
    ASSERT_EQ(server.shown.size(), 1u);
    EXPECT_EQ(server.shown.front().summary, "Recording framed");
    EXPECT_TRUE(server.shown.front().body.contains(result)) << server.shown.front().body.toStdString();
    EXPECT_EQ(thumbnailSize(server.shown.front().hints).height(), 256);
    EXPECT_TRUE(QRegularExpression("^Plinthora_\\d{8}_\\d{6}_\\d{3}\\.mp4$").match(framedMovies().first()).hasMatch());
    const QString probe =
        QString::fromUtf8(runTool("ffprobe", {"-v", "error", "-select_streams", "v:0", "-show_entries",
                                              "stream=width,height,r_frame_rate", "-of", "csv=p=0", result}))
            .trimmed();
    const QSize shell = shellSize();
    EXPECT_EQ(probe, QStringLiteral("%1,%2,30/1").arg((shell.width() + 1) & ~1).arg((shell.height() + 1) & ~1));
    daemon->terminate();
    ASSERT_TRUE(daemon->waitForFinished(kStartMs));
    EXPECT_EQ(daemon->exitCode(), 0);
}

// Recorders that write Ogg/Theora, MPEG-TS or AVI, one of them into a
// folder of its own named in the host's config file: each recording comes
// back framed beside it, one after another.
TEST_F(DaemonEndToEndTest, OgvTsAndAviScreencastsComeBackFramedInTheFoldersTheyWereWrittenTo) {
    const QString videos = dir_.filePath("Videos");
    ASSERT_TRUE(QDir().mkpath(dir_.filePath("config/plinthora")));
    ASSERT_TRUE(mediatest::writeFile(dir_.filePath("config/plinthora/plinthorad.conf"),
                                     ("# the recorder's own folder\nscreencasts = " + videos + "\n").toUtf8()));
    QProcess* daemon = launch();
    ASSERT_TRUE(daemonOnBus());
    ASSERT_TRUE(statusShows("watched: " + videos));
    struct Cast {
        const char* name;
        const char* codec;
        QString folder;
    } casts[] = {{"Screencast.ogv", "libtheora", casts_},
                 {"Screencast.ts", "libx264", casts_},
                 {"Screencast.avi", "mpeg4", videos}};
    auto framedIn = [](const QString& folder) { return QDir(folder).entryList({"Plinthora_*.mp4"}, QDir::Files); };
    int framed = 0;
    for (const Cast& c : casts) {
        SCOPED_TRACE(c.name);
        const QString made = dir_.filePath(c.name);
        runTool("ffmpeg", {"-v", "error", "-f", "lavfi", "-i", "testsrc2=s=180x390:r=15:d=0.4", "-c:v", c.codec, made});
        const auto bytes = mediatest::readFile(made);
        ASSERT_TRUE(bytes && !bytes->isEmpty()) << "cannot make a test movie";
        ASSERT_TRUE(mediatest::writeFile(QDir(c.folder).filePath(c.name), *bytes));
        ++framed;
        ASSERT_TRUE(waitUntil([&] { return framedIn(casts_).size() + framedIn(videos).size() == framed; }, 120000))
            << "no framed movie\n"
            << status().toStdString() << log(daemon).toStdString();
        EXPECT_TRUE(statusShows("exports in flight: 0"));
    }
    EXPECT_EQ(framedIn(casts_).size(), 2);
    EXPECT_EQ(framedIn(videos).size(), 1) << "the result is not beside its recording";
}

// The screenshot folder removed for a while, then replaced in one go: the
// daemon says each once, `doctor` reports the folder while it is missing,
// and screenshots in the new folder are framed.
TEST_F(DaemonEndToEndTest, AScreenshotFolderThatComesAndGoesIsWatchedAgain) {
    QProcess* daemon = launch();
    ASSERT_TRUE(daemonOnBus());
    ASSERT_TRUE(statusShows("watched: " + shots_));
    ASSERT_TRUE(QDir(shots_).removeRecursively());
    ASSERT_TRUE(statusShows("unwatched: " + shots_));
    QProcess doctor;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("DBUS_SESSION_BUS_ADDRESS", bus_.address());
    doctor.setProcessEnvironment(env);
    doctor.start(PLINTHORA_BINARY_DIR "/host/plinthora", {"doctor", "--screenshots", shots_, "--screencasts", casts_});
    ASSERT_TRUE(doctor.waitForFinished(kStartMs));
    EXPECT_TRUE(QString::fromUtf8(doctor.readAllStandardOutput()).contains("plinthorad is not watching " + shots_));
    EXPECT_EQ(doctor.exitCode(), 1);
    ASSERT_TRUE(waitUntil([&] { return log(daemon).contains("is gone"); }, kStartMs));

    ASSERT_TRUE(QDir().mkpath(shots_));
    ASSERT_TRUE(statusShows("watched: " + shots_));
    ASSERT_TRUE(QDir(shots_).removeRecursively() && QDir().mkpath(shots_));
    ASSERT_TRUE(waitUntil([&] { return log(daemon).contains("was replaced"); }, kStartMs));
    takeScreenshot("Screenshot.png", 3);
    ASSERT_TRUE(waitUntil([&] { return results({"Screenshot.png"}).size() == 1; }, kResultMs))
        << status().toStdString();
    waitUntil([] { return false; }, 1500);
    const QByteArray said = log(daemon);
    EXPECT_EQ(said.count("is gone"), 1) << said.constData();
    EXPECT_EQ(said.count("is back"), 1);
    EXPECT_EQ(said.count("was replaced"), 1);
}

// A daemon killed while it frames a recording: the next one sweeps the
// partial movie and takes the recording up once more; killed again there,
// the one after leaves it alone and says why.
TEST_F(DaemonEndToEndTest, AnExportKilledMidWayIsRedoneOnceAtRestart) {
    QDir().mkpath(QFileInfo(QString::fromStdString(fs_.realPath(kPreferencesPath))).path());
    ASSERT_TRUE(writePreference("sr_deleteOriginal", Value::boolean(true), ""));
    QProcess* daemon = launch();
    ASSERT_TRUE(daemonOnBus());
    const QByteArray movie = recording(4.0);
    ASSERT_FALSE(movie.isEmpty()) << "cannot make a test movie";
    const QString original = QDir(casts_).filePath("Screencast.mp4");
    ASSERT_TRUE(mediatest::writeFile(original, movie));

    // Killed while frames go into the temporary movie, twice.
    const QRegularExpression encoding(R"(^export: .*Screencast.mp4 \([1-9][0-9]*/[0-9]+ frames\)$)",
                                      QRegularExpression::MultilineOption);
    for (int kill = 1; kill <= 2; ++kill) {
        SCOPED_TRACE(kill);
        ASSERT_TRUE(
            waitUntil([&] { return encoding.match(status()).hasMatch() && !temporaryFiles().isEmpty(); }, 120000))
            << "the export was never caught under way\n"
            << status().toStdString() << log(daemon).toStdString();
        const QStringList killedRuns = runFolders();
        ::kill(daemon->processId(), SIGKILL);
        ASSERT_TRUE(daemon->waitForFinished(kStartMs));

        daemon = launch();
        ASSERT_TRUE(daemonOnBus());
        for (const QString& run : killedRuns)
            EXPECT_FALSE(runFolders().contains(run))
                << "the killed run's folder " << run.toStdString() << " is still there";
        EXPECT_EQ(allFiles(casts_), QStringList{"Screencast.mp4"}) << "a partial file in the screencast folder";
        EXPECT_EQ(mediatest::readFile(original), movie) << "the original changed";
        EXPECT_FALSE(QFileInfo::exists(dir_.filePath("data/Trash/files/Screencast.mp4")));
        ASSERT_TRUE(waitUntil([&] { return log(daemon).contains("Screencast.mp4"); }, kStartMs));
        EXPECT_EQ(log(daemon).contains("taking up " + original.toUtf8() + " again"), kill == 1)
            << log(daemon).constData();
    }
    EXPECT_TRUE(log(daemon).contains("framing " + original.toUtf8() + " was cut short twice; leaving it as it is"));
    waitUntil([] { return false; }, kSettleMs);
    EXPECT_TRUE(statusShows("exports in flight: 0", 1000));
    EXPECT_EQ(temporaryFiles(), QStringList()) << "a stale temporary movie was left";
    EXPECT_EQ(allFiles(casts_), QStringList{"Screencast.mp4"});
    EXPECT_TRUE(QDir(dir_.filePath("state/plinthora/exports")).entryList(QDir::Files).isEmpty());
}

TEST_F(DaemonEndToEndTest, TerminateLeavesNoHalfWrittenFile) {
    QProcess* daemon = launch();
    ASSERT_TRUE(daemonOnBus());
    takeScreenshot("shot.png", 3);
    // Somewhere between the screenshot and its result.
    ASSERT_TRUE(statusShows("screenshots seen: 1"));
    waitUntil([] { return false; }, 2100);
    daemon->terminate();
    ASSERT_TRUE(daemon->waitForFinished(kStartMs));
    EXPECT_EQ(daemon->exitCode(), 0);
    EXPECT_TRUE(QDir(shots_).entryList({".*"}, QDir::Files | QDir::Hidden).isEmpty())
        << "a temporary file was left behind";
    for (const QString& r : results({"shot.png"})) EXPECT_FALSE(QImage(r).isNull()) << r.toStdString();
}

// SIGTERM while a screencast is being framed: the export is cancelled, the
// daemon exits 0, and nothing of it is left in the screencast folder or the
// temporary folder; the original is as it was.
TEST_F(DaemonEndToEndTest, TerminateDuringAnExportCancelsItAndLeavesNothing) {
    QProcess* daemon = launch();
    ASSERT_TRUE(daemonOnBus());
    const QString made = dir_.filePath("made.mp4");
    runTool("ffmpeg", {"-v", "error", "-f", "lavfi", "-i", "testsrc2=s=360x780:r=30:d=4", "-c:v", "libx264", "-pix_fmt",
                       "yuv420p", made});
    const auto bytes = mediatest::readFile(made);
    ASSERT_TRUE(bytes && !bytes->isEmpty()) << "cannot make a test movie";
    const QString original = QDir(casts_).filePath("Screencast.mp4");
    ASSERT_TRUE(mediatest::writeFile(original, *bytes));

    // Terminated once frames are being encoded, well before the end.
    const QRegularExpression progress("^export: .* \\((\\d+)/(\\d+) frames\\)$");
    ASSERT_TRUE(waitUntil(
        [&] {
            for (const QString& line : status().split('\n')) {
                const auto m = progress.match(line);
                if (m.hasMatch() && m.captured(1).toInt() > 0) return true;
            }
            return false;
        },
        120000))
        << "no export got going\n"
        << status().toStdString();
    daemon->terminate();
    ASSERT_TRUE(daemon->waitForFinished(kResultMs));
    EXPECT_EQ(daemon->exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(daemon->exitCode(), 0);

    EXPECT_EQ(allFiles(casts_), QStringList{"Screencast.mp4"});
    EXPECT_EQ(mediatest::readFile(original), bytes);
    QStringList left;
    for (QDirIterator it(dir_.filePath("tmp"), QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot,
                         QDirIterator::Subdirectories);
         it.hasNext();)
        left << it.next();
    // At most the empty per-user folder, which later runs share.
    EXPECT_LE(left.size(), 1) << left.join(' ').toStdString();
    for (const QString& path : left) EXPECT_TRUE(QFileInfo(path).isDir()) << path.toStdString();
}

TEST_F(DaemonEndToEndTest, KilledMidSaveLeavesNoPartialFileAfterRestart) {
    QDir().mkpath(QFileInfo(QString::fromStdString(fs_.realPath(kPreferencesPath))).path());
    ASSERT_TRUE(writePreference("sr_deleteOriginal", Value::boolean(true)));
    QProcess* daemon = launch();
    ASSERT_TRUE(daemonOnBus());
    takeScreenshot("shot.png", 4);
    ASSERT_TRUE(statusShows("screenshots seen: 1"));
    // Killed while the screenshot is framed or saved: the trigger fires
    // 2.0-2.5 s after it, the save follows.
    waitUntil([] { return false; }, 2600);
    ::kill(daemon->processId(), SIGKILL);
    ASSERT_TRUE(daemon->waitForFinished(kStartMs));
    // What a save cut off at any point leaves: its temporary file. (The
    // kill above may or may not have caught one.)
    ASSERT_TRUE(mediatest::writeFile(QDir(shots_).filePath(".plinthora-Zq81xY.tmp"), QByteArray(1000, 'p')));

    launch();
    ASSERT_TRUE(daemonOnBus());
    waitUntil([] { return false; }, kSettleMs);
    for (const QString& f : allFiles(shots_))
        EXPECT_FALSE(f.startsWith(".")) << f.toStdString() << " was left in the library";
    const QStringList saved = results({"shot.png"});
    for (const QString& r : saved) EXPECT_FALSE(QImage(r).isNull()) << r.toStdString() << " is not a whole image";
    if (!QFile::exists(QDir(shots_).filePath("shot.png"))) {
        EXPECT_FALSE(saved.isEmpty()) << "the original was deleted without a result";
    }
}

TEST_F(DaemonEndToEndTest, SessionBusGoingAwayAndComingBackIsSurvived) {
    // This test's own bus, on a socket it can bring back.
    const QString address = "unix:path=" + dir_.filePath("bus");
    PrivateBus bus;
    ASSERT_TRUE(bus.start(address));
    QProcess* daemon = launch(address);
    ASSERT_TRUE(
        waitUntil([&] { return bus.connection().interface()->isServiceRegistered(kService).value(); }, kStartMs));

    bus.stop();
    QFile::remove(dir_.filePath("bus"));
    waitUntil([] { return false; }, 1500);
    ASSERT_EQ(daemon->state(), QProcess::Running) << "the daemon ended with its bus";
    ASSERT_TRUE(bus.start(address));
    EXPECT_TRUE(
        waitUntil([&] { return bus.connection().interface()->isServiceRegistered(kService).value(); }, kStartMs))
        << "the daemon did not publish itself on the bus that came back";

    // A settings change posted on the new bus reaches the tweak: screenshots
    // are no longer framed.
    notify_ = std::make_unique<linux_platform::DBusNotifyCenter>(bus.connection());
    Platform p = platform();
    p.notify = notify_.get();
    setPlatform(p);
    QDir().mkpath(QFileInfo(QString::fromStdString(fs_.realPath(kPreferencesPath))).path());
    ASSERT_TRUE(writePreference("sr_ssShellEnabled", Value::boolean(false)));
    takeScreenshot("after.png", 5);
    waitUntil([] { return false; }, kSettleMs);
    EXPECT_TRUE(results({"after.png"}).isEmpty()) << "the settings change on the new bus was not heard";
    EXPECT_EQ(daemon->state(), QProcess::Running);
}

// Many screenshots at once (PLINTHORA_LOAD_SHOTS over PLINTHORA_LOAD_SECONDS;
// bench/load.sh runs the full 200 in 10 s): every original is framed or left
// untouched, never deleted without a result, and the daemon keeps answering.
TEST_F(DaemonEndToEndTest, BurstOfScreenshotsLosesNothing) {
    const int shots = qEnvironmentVariableIntValue("PLINTHORA_LOAD_SHOTS") > 0
                          ? qEnvironmentVariableIntValue("PLINTHORA_LOAD_SHOTS")
                          : 20;
    const double seconds = qEnvironmentVariableIsSet("PLINTHORA_LOAD_SECONDS")
                               ? qEnvironmentVariable("PLINTHORA_LOAD_SECONDS").toDouble()
                               : 2.0;
    QDir().mkpath(QFileInfo(QString::fromStdString(fs_.realPath(kPreferencesPath))).path());
    ASSERT_TRUE(writePreference("sr_deleteOriginal", Value::boolean(true)));
    QProcess* daemon = launch();
    ASSERT_TRUE(daemonOnBus());

    // One screenshot written ahead, copied in under each name.
    const QString source = dir_.filePath("source.png");
    ASSERT_TRUE(host::makeSampleScreenshot(1170, 2532, 9).save(source, "PNG"));
    const auto bytes = mediatest::readFile(source);
    ASSERT_TRUE(bytes);
    QStringList names;
    QElapsedTimer clock;
    clock.start();
    qint64 slowestAnswerMs = 0;
    for (int i = 0; i < shots; ++i) {
        const QString name = QStringLiteral("burst %1.png").arg(i, 3, 10, QChar('0'));
        ASSERT_TRUE(mediatest::writeFile(QDir(shots_).filePath(name), *bytes));
        names << name;
        const qint64 due = qint64(seconds * 1000.0 * (i + 1) / shots);
        while (clock.elapsed() < due) {
            QElapsedTimer answer;
            answer.start();
            EXPECT_FALSE(status().isEmpty()) << "the daemon stopped answering";
            slowestAnswerMs = std::max(slowestAnswerMs, answer.elapsed());
            waitUntil([] { return false; }, 20);
        }
    }
    waitUntil([] { return false; }, kSettleMs + 2000);
    ASSERT_EQ(daemon->state(), QProcess::Running);

    // Originals counted before results: an original goes only after its
    // result is saved, so a save landing between the two counts cannot
    // look like a loss.
    int kept = 0, trashed = 0;
    for (const QString& n : names) {
        if (QFile::exists(QDir(shots_).filePath(n))) {
            ++kept;
            EXPECT_EQ(mediatest::readFile(QDir(shots_).filePath(n)), bytes) << n.toStdString() << " changed";
        } else {
            ++trashed;
            EXPECT_TRUE(QFile::exists(dir_.filePath("data/Trash/files/" + n))) << n.toStdString() << " is lost";
        }
    }
    const QStringList saved = results(names);
    for (const QString& r : saved) EXPECT_FALSE(QImage(r).isNull()) << r.toStdString();
    EXPECT_LE(trashed, saved.size()) << "more originals deleted than results saved";
    const long peakKb = peakRssKb(daemon);
    std::printf(
        "load: %d screenshots in %.1f s: %lld framed, %d kept, %d trashed, lost 0 unless reported above; "
        "daemon peak RSS %ld MB; slowest Status answer %lld ms\n",
        shots, seconds, static_cast<long long>(saved.size()), kept, trashed, peakKb / 1024,
        static_cast<long long>(slowestAnswerMs));
}

// Screencasts one after another (PLINTHORA_LOAD_CASTS, default 3;
// `CASTS=20 bench/load.sh` runs 20): every original is framed or left
// untouched, never deleted without a result, no result is framed again,
// and every result is a whole movie.
TEST_F(DaemonEndToEndTest, ScreencastsInARowLoseNothing) {
    const int casts = qEnvironmentVariableIntValue("PLINTHORA_LOAD_CASTS") > 0
                          ? qEnvironmentVariableIntValue("PLINTHORA_LOAD_CASTS")
                          : 3;
    QDir().mkpath(QFileInfo(QString::fromStdString(fs_.realPath(kPreferencesPath))).path());
    ASSERT_TRUE(writePreference("sr_deleteOriginal", Value::boolean(true), ""));
    QProcess* daemon = launch();
    ASSERT_TRUE(daemonOnBus());
    const QByteArray movie = recording(0.5);
    ASSERT_FALSE(movie.isEmpty()) << "cannot make a test movie";

    QStringList names;
    for (int i = 0; i < casts; ++i) {
        names << QStringLiteral("Screencast %1.mp4").arg(i, 2, 10, QChar('0'));
        ASSERT_TRUE(mediatest::writeFile(QDir(casts_).filePath(names.last()), movie));
        // The next recording starts once this capture has ended.
        ASSERT_TRUE(statusShows("captured: no")) << status().toStdString();
    }
    // Done when no export has run for longer than a discovery (and its
    // retry) takes to start one. A capture end that came while the last
    // discovery was still running is dropped: that recording stays as it is.
    do {
        ASSERT_TRUE(statusShows("exports in flight: 0", casts * 60000));
    } while (waitUntil([&] { return !status().split('\n').contains("exports in flight: 0"); }, kSettleMs));
    ASSERT_EQ(daemon->state(), QProcess::Running);

    int kept = 0, trashed = 0;
    for (const QString& n : names) {
        if (QFile::exists(QDir(casts_).filePath(n))) {
            ++kept;
            EXPECT_EQ(mediatest::readFile(QDir(casts_).filePath(n)), movie) << n.toStdString() << " changed";
        } else {
            ++trashed;
            EXPECT_TRUE(QFile::exists(dir_.filePath("data/Trash/files/" + n))) << n.toStdString() << " is lost";
        }
    }
    const QStringList results = framedMovies();
    EXPECT_EQ(QDir(dir_.filePath("data/Trash/files")).entryList(QDir::Files).size(), trashed)
        << "something besides an original went to the Trash";
    EXPECT_EQ(results.size(), trashed) << "results and deleted originals differ: one lost, or a result framed again";
    EXPECT_TRUE(halfSaved().isEmpty());
    EXPECT_EQ(temporaryFiles(), QStringList());
    const QSize shell = shellSize();
    for (const QString& r : results)
        EXPECT_EQ(
            QString::fromUtf8(runTool("ffprobe", {"-v", "error", "-select_streams", "v:0", "-show_entries",
                                                  "stream=width,height", "-of", "csv=p=0", QDir(casts_).filePath(r)}))
                .trimmed(),
            QStringLiteral("%1,%2").arg((shell.width() + 1) & ~1).arg((shell.height() + 1) & ~1))
            << r.toStdString() << " is not a whole framed movie";
    std::printf("load: %d screencasts in a row: %lld framed, %d kept, %d trashed; daemon peak RSS %ld MB\n", casts,
                static_cast<long long>(results.size()), kept, trashed, peakRssKb(daemon) / 1024);
}


TEST_F(DaemonEndToEndTest, EachResultAndAFullDiskReachTheNotificationServer) {
    FakeNotificationServer server;
    FakeFileManager files;
    serveDesktop(server, files);

    // The desktop's opener, as every desktop has it: it writes down what it
    // was asked to open.
    const QString bin = dir_.filePath("bin"), opened = dir_.filePath("opened");
    QDir().mkpath(bin);
    QFile opener(bin + "/xdg-open");
    ASSERT_TRUE(opener.open(QIODevice::WriteOnly));
    opener.write(QStringLiteral("#!/bin/sh\nprintf '%s\\n' \"$1\" >> '%1'\n").arg(opened).toUtf8());
    opener.close();
    opener.setPermissions(QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);

    // A framed screenshot: its path, its thumbnail and both actions.
    QProcess* daemon = launch(QString(), {"LC_ALL=zh_CN.UTF-8", "PATH=" + bin + ":" + qEnvironmentVariable("PATH")});
    ASSERT_TRUE(daemonOnBus());
    takeScreenshot("shot.png", 1);
    ASSERT_TRUE(waitUntil([&] { return !server.shown.empty(); }, kResultMs)) << "no notification";
    const QStringList framed = results({"shot.png"});
    ASSERT_EQ(framed.size(), 1);
    const FakeNotificationServer::Shown saved = server.shown.front();
    EXPECT_TRUE(saved.body.contains(framed.first())) << saved.body.toStdString();
    EXPECT_TRUE(saved.actions.contains("打开")) << saved.actions.join('|').toStdString();
    EXPECT_TRUE(saved.actions.contains("在文件夹中显示")) << saved.actions.join('|').toStdString();
    const QSize thumb = thumbnailSize(saved.hints);
    const QSize shell = shellSize();
    EXPECT_EQ(thumb.height(), 256) << "a thumbnail of the portrait result";
    EXPECT_NEAR(thumb.width(), 256.0 * shell.width() / shell.height(), 1.0);

    // "Show in folder" asks the file manager for exactly that file; "open"
    // hands the file itself to the desktop's opener.
    auto click = [&](const QString& label) {
        const int action = saved.actions.indexOf(label) - 1;
        ASSERT_GE(action, 0) << label.toStdString();
        QDBusMessage signal = QDBusMessage::createSignal("/org/freedesktop/Notifications",
                                                         "org.freedesktop.Notifications", "ActionInvoked");
        signal << saved.id << saved.actions.at(action);
        ASSERT_TRUE(bus_.connection().send(signal));
    };
    click("在文件夹中显示");
    ASSERT_TRUE(waitUntil([&] { return !files.shownItems.isEmpty(); }, kStartMs)) << "the file manager was not asked";
    EXPECT_EQ(files.shownItems, QStringList{QUrl::fromLocalFile(framed.first()).toString(QUrl::FullyEncoded)});
    click("打开");
    // The shell makes the file before printf writes its line: wait for the line.
    ASSERT_TRUE(waitUntil(
        [&] {
            QFile written(opened);
            return written.open(QIODevice::ReadOnly) && written.readAll().endsWith('\n');
        },
        kStartMs))
        << "nothing was opened";
    QFile openedList(opened);
    ASSERT_TRUE(openedList.open(QIODevice::ReadOnly));
    const QString target = QString::fromUtf8(openedList.readAll()).trimmed();
    EXPECT_TRUE(target == framed.first() || target == QUrl::fromLocalFile(framed.first()).toString())
        << target.toStdString();
    daemon->terminate();
    ASSERT_TRUE(daemon->waitForFinished(kStartMs));

    // A full disk: one failure notification, and the original untouched;
    // in English under another language.
    server.shown.clear();
    daemon = launch(QString(), {"LC_ALL=en_US.UTF-8"}, [] {
        // No file the daemon writes may grow past 64 KiB, the way a full
        // disk stops it (root ignores file modes).
        std::signal(SIGXFSZ, SIG_IGN);
        rlimit small{64 * 1024, 64 * 1024};
        ::setrlimit(RLIMIT_FSIZE, &small);
    });
    ASSERT_TRUE(daemonOnBus());
    takeScreenshot("full.png", 2);
    ASSERT_TRUE(waitUntil([&] { return !server.shown.empty(); }, kResultMs)) << "no failure notification";
    waitUntil([] { return false; }, kSettleMs);
    ASSERT_EQ(server.shown.size(), 1u) << "one failure, one notification";
    const FakeNotificationServer::Shown failure = server.shown.front();
    EXPECT_EQ(failure.summary, "Screenshot not saved");
    EXPECT_TRUE(failure.body.contains("The disk is full")) << failure.body.toStdString();
    EXPECT_TRUE(failure.body.contains("The original is untouched.")) << failure.body.toStdString();
    EXPECT_TRUE(failure.actions.isEmpty());
    EXPECT_EQ(results({"shot.png", "full.png"}), QStringList{framed.first()}) << "something was saved after all";
    EXPECT_TRUE(QFile::exists(QDir(shots_).filePath("full.png")));
    daemon->terminate();
    ASSERT_TRUE(daemon->waitForFinished(kStartMs));

    // Switched off, a result is saved and nothing is shown.
    server.shown.clear();
    launch(QString(), {}, {}, {"--no-notifications"});
    ASSERT_TRUE(daemonOnBus());
    takeScreenshot("quiet.png", 3);
    ASSERT_TRUE(waitUntil([&] { return results({"shot.png", "full.png", "quiet.png"}).size() == 2; }, kResultMs));
    waitUntil([] { return false; }, kSettleMs);
    EXPECT_TRUE(server.shown.empty());
}

}  // namespace
}  // namespace plinthora::testing

#include "DaemonEndToEndTest.moc"
