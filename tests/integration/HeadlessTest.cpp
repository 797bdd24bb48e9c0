// The programs as a user starts them over SSH, from cron or on a server:
// no display, or one named that does not answer, and no platform chosen.
#include "../unit/CommaLocale.h"

#include <QDir>
#include <QFile>
#include <QJsonDocument>
#include <QFileInfo>
#include <QImage>
#include <QProcess>
#include <QProcessEnvironment>
#include <QRegularExpression>
#include <QTemporaryDir>

#include <gtest/gtest.h>

namespace plinthora {
namespace {

struct Outcome {
    int exitCode = -1;
    QProcess::ExitStatus status = QProcess::CrashExit;
    QString out, err;
};

// The second pass also runs under a comma-decimal locale, which Qt hands
// to the C library.
Outcome run(const QString& program, const QStringList& args, const QString& display, bool debug = true,
            const QString& deviceRoot = QString()) {
    QProcess p;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    if (!deviceRoot.isEmpty()) env.insert("PLINTHORA_DEVICE_ROOT", deviceRoot);
    for (const char* name :
         {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM", "LC_ALL", "LC_NUMERIC", "PLINTHORA_DEBUG"})
        env.remove(name);
    if (!display.isEmpty()) {
        env.insert("DISPLAY", display);
        if (const std::string dir = testing::commaLocalePath(); !dir.empty())
            env.insert("LOCPATH", QString::fromStdString(dir));
        env.insert("LC_ALL", testing::kCommaLocale);
    }
    if (debug) env.insert("PLINTHORA_DEBUG", "1");
    p.setProcessEnvironment(env);
    p.start(program, args);
    p.waitForFinished(120000);
    return {p.exitCode(), p.exitStatus(), QString::fromUtf8(p.readAllStandardOutput()),
            QString::fromUtf8(p.readAllStandardError())};
}

TEST(Headless, CommandsAndDaemonRunOffscreenWithoutADisplay) {
    const QString bin = QString(PLINTHORA_BINARY_DIR) + "/host/";
    // Nothing listens on display 4711.
    for (const QString& display : {QString(), QString(":4711")}) {
        SCOPED_TRACE(display.toStdString());
        QTemporaryDir dir;
        ASSERT_TRUE(dir.isValid());
        Outcome samples = run(bin + "plinthora", {"samples", dir.path()}, display);
        ASSERT_EQ(samples.status, QProcess::NormalExit) << samples.err.toStdString();
        ASSERT_EQ(samples.exitCode, 0) << samples.err.toStdString();
        QFile cfg(dir.filePath("shell.cfg"));
        ASSERT_TRUE(cfg.open(QIODevice::ReadOnly));
        const QJsonDocument tmpl = QJsonDocument::fromJson(cfg.readAll());
        EXPECT_GT(tmpl["left_top_x"].toDouble(), 1.0) << "not JSON numbers";
        EXPECT_GT(tmpl["right_bottom_y"].toDouble(), tmpl["left_top_y"].toDouble());

        Outcome frame = run(bin + "plinthora",
                            {"frame", dir.filePath("screenshot.png"), "--shell", dir.filePath("shell.png"), "-o",
                             dir.filePath("framed.png")},
                            display);
        ASSERT_EQ(frame.status, QProcess::NormalExit) << frame.err.toStdString();
        EXPECT_EQ(frame.exitCode, 0) << frame.err.toStdString();
        EXPECT_EQ(QImage(dir.filePath("framed.png")).size(), QImage(dir.filePath("shell.png")).size());

        // With "save to clipboard" on, the daemon says once why the
        // clipboard cannot reach other programs, and saves the framed demo
        // screenshot as a file instead: the picture is never lost.
        const QString device = dir.filePath("device");
        QDir().mkpath(device + "/Library/Preferences");
        QFile prefs(device + "/Library/Preferences/com.ozrin.plinthora.plist");
        ASSERT_TRUE(prefs.open(QIODevice::WriteOnly));
        prefs.write(
            "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\"><dict>"
            "<key>sr_saveToClipboard</key><true/></dict></plist>\n");
        prefs.close();
        Outcome daemon = run("dbus-run-session", {"--", bin + "plinthorad", "--demo"}, display, true, device);
        EXPECT_EQ(daemon.exitCode, 0) << daemon.err.toStdString();
        EXPECT_EQ(QImage(daemon.out.trimmed()).size(), QImage(dir.filePath("shell.png")).size())
            << daemon.out.toStdString() << daemon.err.toStdString();
        EXPECT_EQ(daemon.err.count("clipboard delivery is unavailable"), 1) << daemon.err.toStdString();
        const auto kept = QRegularExpression("demo files kept in (\\S+)").match(daemon.err);
        if (kept.hasMatch()) QDir(kept.captured(1)).removeRecursively();

        // Without --verbose the sound library's probes stay out of sight,
        // and a machine without sound is no fault.
        Outcome doctor = run(bin + "plinthora", {"doctor"}, display, false);
        EXPECT_TRUE(
            doctor.out.contains(QRegularExpression("WARN +display / clipboard .*clipboard delivery is "
                                                   "unavailable")))
            << doctor.out.toStdString();
        EXPECT_TRUE(doctor.out.contains(QRegularExpression("\\n(OK|NOTE) +sound "))) << doctor.out.toStdString();
        EXPECT_FALSE(doctor.err.contains("ALSA")) << doctor.err.toStdString();
    }
}

// Help and version are text: no program may need a display to print them.
TEST(Headless, EveryProgramAnswersHelpAndVersionWithoutADisplay) {
    const QString bin = QString(PLINTHORA_BINARY_DIR);
    struct Program {
        QString path, name;
    } programs[] = {{bin + "/host/plinthora", "plinthora"},
                    {bin + "/host/plinthorad", "plinthorad"},
                    {bin + "/prefs/plinthora-settings", "plinthora-settings"}};
    for (const Program& p : programs) {
        if (!QFileInfo::exists(p.path)) continue;  // the settings window is optional
        for (const QString& option : {QString("--help"), QString("--version")}) {
            SCOPED_TRACE((p.name + " " + option).toStdString());
            const Outcome o = run(p.path, {option}, QString(), false);
            ASSERT_EQ(o.status, QProcess::NormalExit) << o.err.toStdString();
            EXPECT_EQ(o.exitCode, 0) << o.err.toStdString();
            if (option == "--help")
                EXPECT_TRUE(o.out.contains("--version")) << o.out.toStdString();
            else
                EXPECT_EQ(o.out.trimmed(), p.name + " " PLINTHORA_VERSION) << o.out.toStdString();
        }
    }
}

}  // namespace
}  // namespace plinthora
