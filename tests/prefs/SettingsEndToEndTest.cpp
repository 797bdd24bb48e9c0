// A change made in the settings window reaches a running daemon: the real
// plinthorad on a private bus, the real page, real folders.
#include "PrefsTestSupport.h"

#include "../integration/PrivateBus.h"

#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QProcess>

namespace plinthora::prefs::testing {
namespace {

constexpr int kResultMs = 30000;

using SettingsEndToEndTest = PrefsFixture;

TEST_F(SettingsEndToEndTest, SwitchingTheScreenshotShellOffInThePageReachesTheDaemon) {
    mediatest::PrivateBus bus;
    ASSERT_TRUE(bus.start()) << "cannot start a private dbus-daemon";
    linux_platform::DBusNotifyCenter notify(bus.connection());
    PrefsEnvironment::setCurrent({&fs_, &plist_, &notify, &urls_});

    const QString shots = dir_.filePath("Screenshots"), casts = dir_.filePath("Screencasts");
    QDir().mkpath(shots);
    QDir().mkpath(casts);
    QProcess daemon;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("DBUS_SESSION_BUS_ADDRESS", bus.address());
    env.insert("PLINTHORA_DEVICE_ROOT", dir_.path());
    env.insert("QT_QPA_PLATFORM", "offscreen");
    env.insert("XDG_DATA_HOME", dir_.filePath("data"));
    daemon.setProcessEnvironment(env);
    daemon.start(PLINTHORA_BINARY_DIR "/host/plinthorad",
                 {"--screenshots", shots, "--screencasts", casts, "--screen", "390x844@3"});
    auto status = [&] {
        QDBusMessage m = QDBusMessage::createMethodCall("com.ozrin.plinthora.Daemon", "/com/ozrin/plinthora/Daemon",
                                                        "com.ozrin.plinthora.Daemon", "Status");
        QDBusMessage r = bus.connection().call(m, QDBus::Block, 5000);
        return r.type() == QDBusMessage::ReplyMessage ? r.arguments().value(0).toString() : QString();
    };
    ASSERT_TRUE(waitUntil([&] { return !status().isEmpty(); }, mediatest::kStartMs))
        << "the daemon did not come up: " << daemon.readAllStandardError().toStdString();

    // As the user would: shell off, watermark on, in the window.
    click(static_cast<PSSwitchCell*>(cellFor("sr_ssShellEnabled"))->control());
    click(static_cast<PSSwitchCell*>(cellFor("sr_ssWatermarkEnabled"))->control());

    QImage shot(1170, 2532, QImage::Format_RGB32);
    shot.fill(QColor(30, 120, 200));
    ASSERT_TRUE(shot.save(dir_.filePath("shot.png"), "PNG"));
    QFile out(QDir(shots).filePath("shot.png"));
    ASSERT_TRUE(out.open(QIODevice::WriteOnly));
    out.write(*mediatest::readFile(dir_.filePath("shot.png")));
    out.close();

    QStringList results;
    ASSERT_TRUE(waitUntil(
        [&] {
            results = QDir(shots).entryList({"*.png"}, QDir::Files);
            results.removeAll("shot.png");
            return !results.isEmpty();
        },
        kResultMs))
        << "no result: " << daemon.readAllStandardError().toStdString();
    const QImage result(QDir(shots).filePath(results.first()));
    EXPECT_EQ(result.size(), shot.size()) << "the screenshot was framed after all";
    EXPECT_NE(result.convertToFormat(QImage::Format_RGB32), shot) << "the watermark switch did not reach the daemon";

    daemon.terminate();
    EXPECT_TRUE(daemon.waitForFinished(mediatest::kStartMs));
}

}  // namespace
}  // namespace plinthora::prefs::testing
