// A settings page over a private device folder, with its real file system,
// property lists and session-bus notifications, and a recorder of what it
// posts and opens.
#pragma once

#include "../integration/MediaTestSupport.h"

#include "platform/linux/DBusNotifyCenter.h"
#include "platform/linux/LinuxPlatform.h"
#include "prefs/PlinthoraRootListController.h"
#include "prefs/PrefsEnvironment.h"
#include "prefs/UrlOpener.h"
#include "prefs/framework/PSTableCell.h"

#include <QDBusConnection>
#include <QDialog>
#include <QImage>
#include <QMessageBox>
#include <QMouseEvent>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <memory>
#include <set>

namespace plinthora::prefs::testing {

using mediatest::waitUntil;

// Everything this process posts on the session bus's notify signal (other
// test processes share the bus), with a snapshot taken as each arrives.
class BusRecorder : public QObject {
    Q_OBJECT
public:
    BusRecorder() {
        QDBusConnection bus = QDBusConnection::sessionBus();
        bus.connect(bus.baseService(), linux_platform::kNotifyPath, linux_platform::kNotifyInterface, "Notify", this,
                    SLOT(notified(QString)));
    }
    std::function<Value()> snapshot = [] { return Value(); };
    QStringList names;
    std::vector<Value> seen;

    // Posts a marker and waits for it: everything posted before it has
    // arrived by then. Returns the names before the marker.
    QStringList drain() {
        const QString marker = QStringLiteral("test/marker/%1").arg(++markers_);
        PrefsEnvironment::current().notify->post(marker.toStdString());
        waitUntil([&] { return names.contains(marker); }, 10000);
        QStringList before = names.mid(0, names.indexOf(marker));
        names.clear();
        seen.clear();
        return before;
    }

public slots:
    void notified(const QString& name) {
        names << name;
        seen.push_back(snapshot());
    }

private:
    int markers_ = 0;
};

class RecordingUrlOpener : public UrlOpener {
public:
    std::set<QString> openableSchemes;
    QStringList opened;
    bool canOpenURL(const QUrl& url) override { return openableSchemes.count(url.scheme()) > 0; }
    void openURL(const QUrl& url) override { opened << url.toString(QUrl::FullyEncoded); }
};

class PrefsFixture : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(dir_.isValid());
        ::setenv("PLINTHORA_DEVICE_ROOT", dir_.path().toLocal8Bit().constData(), 1);
        notify_ = std::make_unique<linux_platform::DBusNotifyCenter>(QDBusConnection::sessionBus());
        ASSERT_TRUE(notify_->isConnected()) << "the tests need a session bus (dbus-run-session)";
        PrefsEnvironment::setCurrent({&fs_, &plist_, notify_.get(), &urls_});
        recorder_ = std::make_unique<BusRecorder>();
    }

    void TearDown() override {
        page_.reset();
        recorder_.reset();
        PrefsEnvironment::setCurrent({});
        ::unsetenv("PLINTHORA_DEVICE_ROOT");
    }

    QString real(const char* devicePath) { return QString::fromStdString(fs_.realPath(devicePath)); }
    QString prefsFile() { return real(kPreferencesPath); }
    Value prefs() { return readPreferencesFile(PrefsEnvironment::current()); }
    void writePrefs(const Value& dict) {
        QDir().mkpath(QFileInfo(prefsFile()).path());
        ASSERT_TRUE(linux_platform::writeAtomically(prefsFile().toStdString(), plist_.toXml(dict)));
    }
    void addImages(const char* deviceFolder, const QStringList& names) {
        QDir().mkpath(real(deviceFolder));
        for (const QString& n : names) {
            QImage img(8, 8, QImage::Format_RGB32);
            img.fill(Qt::red);
            img.save(real(deviceFolder) + "/" + n, "PNG");
        }
    }

    // The page as the settings app shows it.
    PlinthoraRootListController& page() {
        if (!page_) {
            page_ = std::make_unique<PlinthoraRootListController>();
            page_->setBundlePath(PLINTHORA_BINARY_DIR "/prefs/PlinthoraPrefs.bundle");
            page_->resize(420, 800);
            page_->show();
        }
        return *page_;
    }
    PSTableCell* cellFor(const std::string& id) { return page().cellForSpecifier(page().specifierForID(id)); }
    void tap(const std::string& id) {
        page().didSelectRowAtIndexPath(page().rowForSpecifier(page().specifierForID(id)));
    }

    static void click(QWidget* w) {
        const QPointF c = QRectF(w->rect()).center();
        QMouseEvent press(QEvent::MouseButtonPress, c, w->mapToGlobal(c), Qt::LeftButton, Qt::LeftButton,
                          Qt::NoModifier);
        QMouseEvent release(QEvent::MouseButtonRelease, c, w->mapToGlobal(c), Qt::LeftButton, Qt::NoButton,
                            Qt::NoModifier);
        QCoreApplication::sendEvent(w, &press);
        QCoreApplication::sendEvent(w, &release);
    }

    // The newest alert the page shows: {title, text}; empty when none.
    std::pair<QString, QString> alert() {
        QCoreApplication::processEvents();
        const auto boxes = page().findChildren<QMessageBox*>();
        for (auto it = boxes.rbegin(); it != boxes.rend(); ++it)
            if ((*it)->isVisible()) return {(*it)->windowTitle(), (*it)->text()};
        return {};
    }
    void closeAlerts() {
        for (QMessageBox* b : page().findChildren<QMessageBox*>()) b->close();
        QCoreApplication::processEvents();
    }

    QTemporaryDir dir_;
    linux_platform::PosixFileSystem fs_;
    linux_platform::LibplistPropertyLists plist_;
    std::unique_ptr<linux_platform::DBusNotifyCenter> notify_;
    RecordingUrlOpener urls_;
    std::unique_ptr<BusRecorder> recorder_;
    std::unique_ptr<PlinthoraRootListController> page_;
};

}  // namespace plinthora::prefs::testing
