// The photo library on Linux: the user's screenshot folder (images) and
// screencast folder (videos), indexed in memory.
//
// One scan at start-up fills the index (MediaIndex); inotify keeps it
// current from then on (FolderWatch: a file counts once it is closed after
// writing or renamed into the folder). A fetch walks the index from the
// newest entry and never lists a folder, so its cost does not grow with the
// library.
//
// Identifiers are "img:" or "vid:" followed by the file name inside its
// folder (see MediaIndex). They are stable across restarts and between processes, need no
// database, and stay unique because a folder holds a name once. A file
// renamed by the user becomes a new asset, which is what a user who renamed
// it expects to see.
//
// Files the library writes go in under new names, atomically (saveFile: a
// dot-named temp file in the same folder, fsync, rename without replacing,
// fsync of the folder), so a watcher never sees half a file and nothing is ever
// overwritten. Deleting moves originals to the freedesktop Trash.
#pragma once

#include "platform/ports/Imaging.h"
#include "platform/ports/Media.h"
#include "platform/linux/Files.h"
#include "platform/linux/FolderWatch.h"
#include "platform/linux/ImageHeaders.h"
#include "platform/linux/MediaIndex.h"
#include "platform/linux/Trash.h"

#include <QObject>
#include <QString>
#include <QStringList>
#include <QThreadPool>

#include <functional>
#include <optional>
#include <set>
#include <string>
#include <vector>

namespace plinthora::linux_platform {

class FolderPhotoLibrary : public QObject, public PhotoLibrary {
    Q_OBJECT
public:
    // Both folders are created when missing. The object must live on a
    // thread with an event loop (the main thread) for inotify to be read.
    FolderPhotoLibrary(Imaging& imaging, QString imageFolder = defaultImageFolder(),
                       QString videoFolder = defaultVideoFolder(), Trash trash = Trash(), QObject* parent = nullptr);
    ~FolderPhotoLibrary() override;

    static QString defaultImageFolder();  // XDG Pictures/Screenshots
    static QString defaultVideoFolder();  // XDG Videos/Screencasts

    QString imageFolder() const { return imageFolder_; }
    QString videoFolder() const { return videoFolder_; }
    // Watches one more folder for pictures or recordings (created when
    // missing): recorders and screenshot tools write into many places.
    // Its files' identifiers carry their whole path; their results are
    // saved beside them.
    void addFolder(const QString& folder, MediaType type);
    // Every folder watched for the type, the first one first.
    QStringList folders(MediaType type) const;
    // Where the movie behind a saved video came from (the export's
    // source), so its result lands beside it; unset: the first folder.
    std::function<std::optional<std::string>(const std::string& videoPath)> sourceOfVideo;
    // False while a folder has no watch: inotify is unavailable, or the
    // folder is missing (removed, replaced, covered by a mount) and waited
    // for. The index then only changes through indexFile and the library's
    // own writes.
    bool isWatching() const;
    bool isWatching(const QString& folder) const;

    std::vector<Asset> fetchNewest(MediaType type, int limit, double createdAfter) const override;
    std::optional<std::string> requestImageData(const Asset& asset) override;
    void requestVideoFile(const Asset& asset, std::function<void(std::optional<std::string>)> handler) override;
    void createImageAsset(Image image, ChangeCompletion completion) override;
    void createVideoAsset(const std::string& videoPath, ChangeCompletion completion) override;
    void deleteAssets(const std::vector<Asset>& assets, ChangeCompletion completion) override;

    // Adds or refreshes the entry of a file the host has seen appear. Safe
    // to call more than once. Returns the asset, or nullopt when the path is
    // not a media file of one of the two folders (or is gone).
    std::optional<Asset> indexFile(const QString& path);
    // Indexes the file as new this moment, whatever its date: a recording
    // whose framing was cut short is offered to the next search again.
    std::optional<Asset> offerAgain(const QString& path);
    // True for a path this library wrote itself (createImageAsset,
    // createVideoAsset), so the host does not take its own results for new
    // screenshots.
    bool wroteItself(const QString& path) const;
    // The file behind an identifier, when it is in the index.
    std::optional<std::string> pathForIdentifier(const std::string& localIdentifier) const;
    // Number of assets in the index.
    size_t indexedCount() const;
    // Waits until every change and request started so far has completed.
    void waitForPendingWork();

signals:
    // A media file was completed in one of the folders: closed after
    // writing or renamed into it. A writer that reopens a file closes it
    // more than once, so one file can be reported more than once.
    void fileCompleted(const QString& path, plinthora::MediaType type, bool wroteItself);
    // A result could not be saved; `error` is the errno of the failed
    // write (0 when it was not the file system), `detail` the debug text.
    // Sent from a worker thread.
    void saveFailed(plinthora::MediaType type, int error, const QString& detail);
    // A folder lost its watch (`watching` false) or is watched again.
    void watchChanged(const QString& folder, bool watching);

private:
    void scanFolders();
    void scanFolder(const std::string& dir, std::set<std::string>& seen);
    std::vector<std::string> allFolders() const;
    bool holds(const std::string& folder, MediaType type) const;
    void completed(const std::string& path);
    std::optional<MediaType> classify(const std::string& folder, const std::string& name) const;
    std::optional<Asset> addToIndex(const std::string& path);
    std::optional<std::string> writeNewFile(const std::string& folder, const std::string& extension,
                                            const std::function<bool(int fd)>& fill, std::string& error);

    Imaging& imaging_;
    QString imageFolder_;
    QString videoFolder_;
    std::string imageDir_;
    std::string videoDir_;
    std::vector<std::string> extraImageDirs_, extraVideoDirs_;
    // The folder of the picture a run read last: its result goes there.
    std::string lastImageFolder_;
    Trash trash_;
    MediaIndex index_;
    QThreadPool pool_;
    // Last, so it is gone, its handlers with it, before anything they use.
    FolderWatch watch_;
};

}  // namespace plinthora::linux_platform
