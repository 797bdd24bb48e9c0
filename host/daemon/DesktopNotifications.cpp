#include "host/daemon/DesktopNotifications.h"

#include "platform/linux/FFmpegMovie.h"
#include "platform/ports/Platform.h"

#include <QCoreApplication>
#include <QDBusArgument>
#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDesktopServices>
#include <QFileInfo>
#include <QImageReader>
#include <QPointer>
#include <QProcess>
#include <QStandardPaths>
#include <QUrl>

namespace plinthora::host {

namespace {

constexpr int kThumbnailSide = 256;
// Milliseconds; -1 lets the server decide.
constexpr int kExpireDefault = -1;

QString said(const char* text) { return QCoreApplication::translate("Notifications", text); }

// The thumbnail, read scaled: the full picture is never decoded for it.
QImage thumbnailOf(const QString& path) {
    QImageReader reader(path);
    QSize size = reader.size();
    if (size.isEmpty()) return {};
    size.scale(kThumbnailSide, kThumbnailSide, Qt::KeepAspectRatio);
    reader.setScaledSize(size.expandedTo(QSize(1, 1)));
    return reader.read();
}

// A movie's first frame, scaled down.
QImage movieThumbnailOf(const QString& path) {
    const std::optional<Bitmap> frame = linux_platform::ffmpeg::firstFrame(path.toStdString());
    if (!frame) return {};
    const QImage whole(reinterpret_cast<const uchar*>(frame->pixels.data()), frame->width, frame->height,
                       QImage::Format_ARGB32);
    return whole.scaled(kThumbnailSide, kThumbnailSide, Qt::KeepAspectRatio, Qt::SmoothTransformation);
}

}  // namespace

DesktopNotifications::DesktopNotifications(QDBusConnection bus, QObject* parent)
    : QObject(parent), bus_(std::move(bus)) {
    thumbnails_.setMaxThreadCount(1);
    subscribe();
    askCapabilities();
}

DesktopNotifications::~DesktopNotifications() { thumbnails_.waitForDone(); }

void DesktopNotifications::useConnection(QDBusConnection bus) {
    bus_ = std::move(bus);
    // Ids of the old connection's server may mean nothing to the new one.
    shown_.clear();
    subscribe();
    askCapabilities();
}

void DesktopNotifications::askCapabilities() {
    if (!bus_.isConnected()) return;
    const QDBusMessage call = QDBusMessage::createMethodCall(kNotificationsService, kNotificationsPath,
                                                             kNotificationsService, "GetCapabilities");
    auto* watcher = new QDBusPendingCallWatcher(bus_.asyncCall(call), this);
    connect(watcher, &QDBusPendingCallWatcher::finished, this, [this](QDBusPendingCallWatcher* w) {
        w->deleteLater();
        const QDBusMessage reply = w->reply();
        if (reply.type() == QDBusMessage::ReplyMessage && !reply.arguments().isEmpty())
            bodyMarkup_ = reply.arguments().first().toStringList().contains(QStringLiteral("body-markup"));
    });
}

void DesktopNotifications::subscribe() {
    if (!bus_.isConnected()) return;
    bus_.connect(kNotificationsService, kNotificationsPath, kNotificationsService, "ActionInvoked", this,
                 SLOT(actionInvoked(uint, QString)));
    bus_.connect(kNotificationsService, kNotificationsPath, kNotificationsService, "NotificationClosed", this,
                 SLOT(notificationClosed(uint, uint)));
}

QVariant DesktopNotifications::imageHint(const QImage& image) {
    QImage rgba = image;
    if (rgba.width() > kThumbnailSide || rgba.height() > kThumbnailSide)
        rgba = rgba.scaled(kThumbnailSide, kThumbnailSide, Qt::KeepAspectRatio, Qt::SmoothTransformation);
    rgba = rgba.convertToFormat(QImage::Format_RGBA8888);
    QDBusArgument arg;
    arg.beginStructure();
    arg << rgba.width() << rgba.height() << int(rgba.bytesPerLine()) << true << 8 << 4
        << QByteArray(reinterpret_cast<const char*>(rgba.constBits()), int(rgba.sizeInBytes()));
    arg.endStructure();
    return QVariant::fromValue(arg);
}

void DesktopNotifications::resultSaved(const QString& path, bool movie) {
    const QString summary = movie ? said("录屏已套壳") : said("截图已套壳");
    const QString body = said("已保存到 %1").arg(path);
    const QStringList actions{"default", said("打开"), kActionOpen, said("打开"), kActionShow, said("在文件夹中显示")};
    QVariantMap hints{{"category", "transfer.complete"}, {"desktop-entry", "plinthora-settings"}};
    // The thumbnail is read off the main thread; the notification follows
    // on the main thread once it is there.
    QPointer<DesktopNotifications> self(this);
    thumbnails_.start([self, path, movie, summary, body, actions, hints]() mutable {
        const QImage thumb = movie ? movieThumbnailOf(path) : thumbnailOf(path);
        if (thumb.isNull() && movie) hints.insert("image-path", "video-x-generic");
        QMetaObject::invokeMethod(
            QCoreApplication::instance(),
            [self, path, summary, body, actions, hints, thumb]() mutable {
                if (!self) return;
                if (!thumb.isNull()) hints.insert("image-data", imageHint(thumb));
                self->send(summary, body, actions, hints, path);
            },
            Qt::QueuedConnection);
    });
}

void DesktopNotifications::copiedToClipboard(const QImage& picture) {
    QVariantMap hints{{"category", "transfer.complete"}, {"desktop-entry", "plinthora-settings"}};
    // Scaled here: the picture is in memory, and small once scaled.
    if (!picture.isNull()) hints.insert("image-data", imageHint(picture));
    send(said("截图已套壳"), said("已复制到剪贴板。"), {}, hints, QString());
}

void DesktopNotifications::failed(Failure what, bool movie, const QString& detail) {
    if (what == Failure::ClipboardImpossible) {
        if (clipboardTold_) return;
        clipboardTold_ = true;
    }
    QString summary, body;
    switch (what) {
    case Failure::NoRoom:
        summary = movie ? said("录屏未能保存") : said("截图未能保存");
        body = said("磁盘空间不足，套壳后的结果没有保存。");
        break;
    case Failure::SaveFailed:
        summary = movie ? said("录屏未能保存") : said("截图未能保存");
        body = said("套壳后的结果没有保存。");
        break;
    case Failure::ExportFailed:
        summary = said("录屏导出失败");
        body = said("录屏未能重新编码，没有生成套壳后的视频。");
        break;
    case Failure::ClipboardImpossible:
        summary = said("无法使用剪贴板");
        body = said("此桌面不允许后台程序设置剪贴板，结果已保存为文件。");
        break;
    }
    if (!detail.isEmpty()) body += QLatin1Char('\n') + detail;
    if (what != Failure::ClipboardImpossible) body += QLatin1Char('\n') + said("原图未被改动。");
    send(summary, body, {}, {{"category", "transfer.error"}, {"urgency", QVariant::fromValue<uchar>(2)}}, QString());
}

void DesktopNotifications::send(const QString& summary, const QString& body, const QStringList& actions,
                                const QVariantMap& hints, const QString& path) {
    if (!bus_.isConnected()) return;
    QDBusMessage call =
        QDBusMessage::createMethodCall(kNotificationsService, kNotificationsPath, kNotificationsService, "Notify");
    call << QStringLiteral("Plinthora") << 0u << QStringLiteral("plinthora-settings") << summary
         << (bodyMarkup_ ? body.toHtmlEscaped() : body) << actions << hints << kExpireDefault;
    auto* watcher = new QDBusPendingCallWatcher(bus_.asyncCall(call), this);
    connect(watcher, &QDBusPendingCallWatcher::finished, this, [this, path](QDBusPendingCallWatcher* w) {
        w->deleteLater();
        // Only the message itself: asking a call that never left (the bus
        // went away meanwhile) for its value would wait on nothing.
        const QDBusMessage reply = w->reply();
        if (reply.type() != QDBusMessage::ReplyMessage || reply.arguments().isEmpty()) {
            debugLog("host: no notification shown: %s", qPrintable(reply.errorMessage()));
            return;
        }
        if (!path.isEmpty()) shown_[reply.arguments().first().toUInt()] = path;
    });
}

void DesktopNotifications::actionInvoked(uint id, const QString& key) {
    const auto it = shown_.find(id);
    if (it == shown_.end()) return;  // another program's notification
    if (key == kActionShow)
        showInFolder(it->second);
    else if (key == kActionOpen || key == QLatin1String("default"))
        openResult(it->second);
}

void DesktopNotifications::notificationClosed(uint id, uint) { shown_.erase(id); }

// The desktop's own opener where there is one: it knows the user's choice of
// viewer whatever platform Qt runs on here (the daemon may have none).
bool DesktopNotifications::openWithDesktop(const QString& path) {
    const QString opener = QStandardPaths::findExecutable(QStringLiteral("xdg-open"));
    if (!opener.isEmpty() && QProcess::startDetached(opener, {path})) return true;
    return QDesktopServices::openUrl(QUrl::fromLocalFile(path));
}

void DesktopNotifications::openResult(const QString& path) {
    if (!openWithDesktop(path)) debugLog("host: no viewer opened %s", qPrintable(path));
}

void DesktopNotifications::showInFolder(const QString& path) {
    QDBusMessage call =
        QDBusMessage::createMethodCall(kFileManagerService, kFileManagerPath, kFileManagerService, "ShowItems");
    call << QStringList{QUrl::fromLocalFile(path).toString(QUrl::FullyEncoded)} << QString();
    auto* watcher = new QDBusPendingCallWatcher(bus_.asyncCall(call), this);
    connect(watcher, &QDBusPendingCallWatcher::finished, this, [path](QDBusPendingCallWatcher* w) {
        w->deleteLater();
        if (!w->isError()) return;
        // No file manager on the bus: the folder's own handler at least.
        debugLog("host: no file manager on the bus (%s); opening the folder", qPrintable(w->error().message()));
        if (!openWithDesktop(QFileInfo(path).path()))
            debugLog("host: the folder of %s could not be opened", qPrintable(path));
    });
}

}  // namespace plinthora::host
