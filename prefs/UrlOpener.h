// Opening outside addresses. "Can open" means a handler is registered for
// the address's scheme; the file manager's "filza://view<path>" addresses
// show that folder through the desktop's file manager.
#pragma once

#include <QString>
#include <QUrl>

namespace plinthora {
class FileSystem;
}

namespace plinthora::prefs {

class UrlOpener {
public:
    virtual ~UrlOpener() = default;
    virtual bool canOpenURL(const QUrl& url) = 0;
    virtual void openURL(const QUrl& url) = 0;
};

// The desktop's way, with device paths mapped through `fs`.
class SystemUrlOpener : public UrlOpener {
public:
    explicit SystemUrlOpener(const FileSystem& fs) : fs_(fs) {}
    bool canOpenURL(const QUrl& url) override;
    void openURL(const QUrl& url) override;

    // The real folder a "filza://view<path>" address names, or "" for any
    // other address.
    QString folderForFileManagerUrl(const QUrl& url) const;

private:
    const FileSystem& fs_;
};

// Whether a desktop entry in the XDG data folders declares `mimeType`
// (e.g. "x-scheme-handler/https", "inode/directory").
bool hasHandlerFor(const QString& mimeType);

}  // namespace plinthora::prefs
