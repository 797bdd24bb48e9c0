#include "prefs/UrlOpener.h"

#include "platform/ports/Platform.h"

#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDesktopServices>
#include <QDir>
#include <QSettings>
#include <QStandardPaths>

namespace plinthora::prefs {

namespace {

constexpr const char* kFileManagerService = "org.freedesktop.FileManager1";
constexpr const char* kFileManagerPath = "/org/freedesktop/FileManager1";

bool fileManagerOnBus() {
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (!bus.isConnected()) return false;
    QDBusConnectionInterface* iface = bus.interface();
    if (iface->isServiceRegistered(kFileManagerService).value()) return true;
    return iface->activatableServiceNames().value().contains(kFileManagerService);
}

}  // namespace

bool hasHandlerFor(const QString& mimeType) {
    const QStringList dirs = QStandardPaths::standardLocations(QStandardPaths::GenericDataLocation);
    for (const QString& dir : dirs) {
        QDir apps(dir + "/applications");
        for (const QString& name : apps.entryList({"*.desktop"}, QDir::Files)) {
            QSettings entry(apps.filePath(name), QSettings::IniFormat);
            const QString types = entry.value("Desktop Entry/MimeType").toStringList().join(';');
            if (types.split(';', Qt::SkipEmptyParts).contains(mimeType)) return true;
        }
    }
    return false;
}

QString SystemUrlOpener::folderForFileManagerUrl(const QUrl& url) const {
    if (url.scheme() != "filza") return {};
    // "filza://view/var/mobile/Ozrin": the host is the verb, the path the folder.
    if (url.host() != "view") return {};
    const QString devicePath = url.path(QUrl::FullyDecoded);
    return QString::fromStdString(fs_.realPath(devicePath.toStdString()));
}

bool SystemUrlOpener::canOpenURL(const QUrl& url) {
    if (!url.isValid()) return false;
    const QString scheme = url.scheme();
    if (scheme == "filza")
        return !folderForFileManagerUrl(url).isEmpty() && (fileManagerOnBus() || hasHandlerFor("inode/directory"));
    if (scheme == "file") return QFileInfo::exists(url.toLocalFile());
    return hasHandlerFor("x-scheme-handler/" + scheme);
}

void SystemUrlOpener::openURL(const QUrl& url) {
    const QString folder = folderForFileManagerUrl(url);
    if (folder.isEmpty()) {
        QDesktopServices::openUrl(url);
        return;
    }
    const QUrl folderUrl = QUrl::fromLocalFile(folder);
    QDBusMessage call =
        QDBusMessage::createMethodCall(kFileManagerService, kFileManagerPath, kFileManagerService, "ShowFolders");
    call << QStringList{folderUrl.toString(QUrl::FullyEncoded)} << QString();
    QDBusConnection bus = QDBusConnection::sessionBus();
    const QDBusMessage reply = bus.isConnected() ? bus.call(call, QDBus::Block, 5000) : QDBusMessage();
    if (reply.type() == QDBusMessage::ReplyMessage) return;
    debugLog("the file manager did not answer (%s); opening the folder with its default handler",
             qPrintable(reply.errorMessage()));
    QDesktopServices::openUrl(folderUrl);
}

}  // namespace plinthora::prefs
