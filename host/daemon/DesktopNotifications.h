// A word to the user on the desktop: each framed result and each failure
// the user must know about becomes a notification of the session's
// notification server (org.freedesktop.Notifications), with the result's
// thumbnail and the actions "open" and "show in folder".
//
// Everything here is asynchronous and best effort: without a server, or
// with one that answers late or never, delivery goes on exactly as
// without notifications.
#pragma once

#include <QDBusConnection>
#include <QImage>
#include <QObject>
#include <QString>
#include <QThreadPool>
#include <QVariantMap>

#include <map>

namespace plinthora::host {

inline constexpr const char* kNotificationsService = "org.freedesktop.Notifications";
inline constexpr const char* kNotificationsPath = "/org/freedesktop/Notifications";
inline constexpr const char* kFileManagerService = "org.freedesktop.FileManager1";
inline constexpr const char* kFileManagerPath = "/org/freedesktop/FileManager1";
// The action keys; "default" is what a click on the notification itself sends.
inline constexpr const char* kActionOpen = "open";
inline constexpr const char* kActionShow = "show";

class DesktopNotifications : public QObject {
    Q_OBJECT
public:
    explicit DesktopNotifications(QDBusConnection bus, QObject* parent = nullptr);
    ~DesktopNotifications() override;

    // The bus came back on another connection.
    void useConnection(QDBusConnection bus);

    // A framed picture or movie was saved at `path`.
    void resultSaved(const QString& path, bool movie);
    // A framed screenshot is on the clipboard: no file to open, so no
    // actions; its thumbnail shows which.
    void copiedToClipboard(const QImage& picture);

    enum class Failure { NoRoom, SaveFailed, ExportFailed, ClipboardImpossible };
    // Something the user must know went wrong; `detail` says what, in the
    // system's words (may be empty). That the clipboard cannot be used is
    // told once a run: it stays so, and each screenshot saved instead comes
    // with its own result notification. It alone does not say the original
    // is untouched: the result is safe as a file, so it may have gone.
    void failed(Failure what, bool movie, const QString& detail);

    // The notification's image for a picture: at most 256 pixels on its
    // longer side, as the "image-data" hint carries it.
    static QVariant imageHint(const QImage& image);

private slots:
    void actionInvoked(uint id, const QString& key);
    void notificationClosed(uint id, uint reason);

private:
    void subscribe();
    // Asks the server whether it reads markup in the body.
    void askCapabilities();
    void send(const QString& summary, const QString& body, const QStringList& actions, const QVariantMap& hints,
              const QString& path);
    static bool openWithDesktop(const QString& path);
    void openResult(const QString& path);
    void showInFolder(const QString& path);

    QDBusConnection bus_;
    QThreadPool thumbnails_;
    std::map<uint, QString> shown_;  // notification id → result path
    // The server reads the body as markup: "&" and "<" in a path must be
    // written as entities there, and must not be anywhere else.
    bool bodyMarkup_ = false;
    bool clipboardTold_ = false;
};

}  // namespace plinthora::host
