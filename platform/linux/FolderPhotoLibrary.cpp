#include "platform/linux/FolderPhotoLibrary.h"

#include "platform/linux/Files.h"
#include "platform/linux/LibrarySaves.h"
#include "platform/linux/MediaContent.h"
#include "platform/linux/MediaNames.h"

#include "platform/ports/Platform.h"

#include <QDir>
#include <QFileInfo>
#include <QStandardPaths>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <vector>

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace plinthora::linux_platform {

namespace {

std::string cleanFolder(const QString& folder) {
    return QDir::cleanPath(QFileInfo(folder).absoluteFilePath()).toStdString();
}

}  // namespace

// ---- the library -------------------------------------------------------------

QString FolderPhotoLibrary::defaultImageFolder() {
    return QStandardPaths::writableLocation(QStandardPaths::PicturesLocation) + "/Screenshots";
}

QString FolderPhotoLibrary::defaultVideoFolder() {
    return QStandardPaths::writableLocation(QStandardPaths::MoviesLocation) + "/Screencasts";
}

FolderPhotoLibrary::FolderPhotoLibrary(Imaging& imaging, QString imageFolder, QString videoFolder, Trash trash,
                                       QObject* parent)
    : QObject(parent),
      imaging_(imaging),
      imageFolder_(std::move(imageFolder)),
      videoFolder_(std::move(videoFolder)),
      imageDir_(cleanFolder(imageFolder_)),
      videoDir_(cleanFolder(videoFolder_)),
      trash_(std::move(trash)),
      watch_({.wanted = [this](const std::string& folder,
                               const std::string& name) { return classify(folder, name).has_value(); },
              .completed = [this](const std::string& path) { completed(path); },
              .removed = [this](const std::string& path) { index_.remove(path); },
              .lost =
                  [this] {
                      // Events were lost: this is the one time we list again.
                      debugLog("photo library: inotify queue overflowed, rescanning");
                      scanFolders();
                  },
              .watchChanged =
                  [this](const std::string& folder, bool watching) {
                      // A folder back at its path may be another one, filled
                      // while no one watched: list it once, as at start.
                      if (watching) scanFolders();
                      emit watchChanged(QString::fromStdString(folder), watching);
                  }}) {
    qRegisterMetaType<plinthora::MediaType>("plinthora::MediaType");
    QDir().mkpath(QString::fromStdString(imageDir_));
    QDir().mkpath(QString::fromStdString(videoDir_));
    // Watch first, then scan: a file completed in between is seen twice,
    // which the index absorbs, rather than not at all.
    for (const std::string& dir : allFolders()) watch_.watch(dir);
    scanFolders();
}

std::vector<std::string> FolderPhotoLibrary::allFolders() const {
    std::vector<std::string> dirs{imageDir_, videoDir_};
    dirs.insert(dirs.end(), extraImageDirs_.begin(), extraImageDirs_.end());
    dirs.insert(dirs.end(), extraVideoDirs_.begin(), extraVideoDirs_.end());
    // One folder may hold both kinds: listed and watched once.
    std::vector<std::string> unique;
    for (const std::string& d : dirs)
        if (std::find(unique.begin(), unique.end(), d) == unique.end()) unique.push_back(d);
    return unique;
}

bool FolderPhotoLibrary::holds(const std::string& folder, MediaType type) const {
    const auto& extra = type == MediaType::Image ? extraImageDirs_ : extraVideoDirs_;
    return folder == (type == MediaType::Image ? imageDir_ : videoDir_) ||
           std::find(extra.begin(), extra.end(), folder) != extra.end();
}

void FolderPhotoLibrary::addFolder(const QString& folder, MediaType type) {
    const std::string dir = cleanFolder(folder);
    if (holds(dir, type)) return;
    const bool watched = [&] {
        for (const std::string& d : allFolders())
            if (d == dir) return true;
        return false;
    }();
    QDir().mkpath(QString::fromStdString(dir));
    (type == MediaType::Image ? extraImageDirs_ : extraVideoDirs_).push_back(dir);
    if (!watched) watch_.watch(dir);
    std::set<std::string> seen;
    scanFolder(dir, seen);
}

QStringList FolderPhotoLibrary::folders(MediaType type) const {
    QStringList out{type == MediaType::Image ? imageFolder_ : videoFolder_};
    for (const std::string& d : type == MediaType::Image ? extraImageDirs_ : extraVideoDirs_)
        out << QString::fromStdString(d);
    return out;
}

FolderPhotoLibrary::~FolderPhotoLibrary() {
    // Workers hold `this`; let them finish before the index goes away.
    pool_.waitForDone();
}

void FolderPhotoLibrary::waitForPendingWork() { pool_.waitForDone(); }

bool FolderPhotoLibrary::isWatching() const {
    for (const std::string& dir : allFolders())
        if (!isWatching(QString::fromStdString(dir))) return false;
    return true;
}

bool FolderPhotoLibrary::isWatching(const QString& folder) const { return watch_.isWatching(cleanFolder(folder)); }

void FolderPhotoLibrary::completed(const std::string& path) {
    if (auto asset = addToIndex(path)) {
        const QString qpath = QString::fromStdString(path);
        emit fileCompleted(qpath, asset->mediaType, wroteItself(qpath));
    }
}

std::optional<MediaType> FolderPhotoLibrary::classify(const std::string& folder, const std::string& name) const {
    if (isTemporaryName(name) || name.find('/') != std::string::npos) return std::nullopt;
    const std::string ext = lowerExtension(name);
    if (isImageExtension(ext) && holds(folder, MediaType::Image)) return MediaType::Image;
    if (isVideoExtension(ext) && holds(folder, MediaType::Video)) return MediaType::Video;
    return std::nullopt;
}

void FolderPhotoLibrary::scanFolder(const std::string& dir, std::set<std::string>& seen) {
    DIR* d = ::opendir(dir.c_str());
    if (!d) return;
    while (const dirent* e = ::readdir(d)) {
        const std::string name = e->d_name;
        if (isSaveTempName(name)) removeIfStale(dir + "/" + name);
        if (!classify(dir, name)) continue;
        const std::string path = dir + "/" + name;
        if (addToIndex(path)) seen.insert(path);
    }
    ::closedir(d);
}

void FolderPhotoLibrary::scanFolders() {
    std::set<std::string> seen;
    for (const std::string& dir : allFolders()) scanFolder(dir, seen);
    // After an overflow, drop what disappeared while we were not listening.
    for (const std::string& path : index_.paths()) {
        struct stat st;
        if (!seen.count(path) && ::stat(path.c_str(), &st) != 0) index_.remove(path);
    }
}

std::optional<Asset> FolderPhotoLibrary::addToIndex(const std::string& path) {
    const auto slash = path.find_last_of('/');
    if (slash == std::string::npos) return std::nullopt;
    const std::string folder = slash == 0 ? "/" : path.substr(0, slash);
    const std::string name = path.substr(slash + 1);
    const auto type = classify(folder, name);
    if (!type) return std::nullopt;
    struct stat st;
    if (::stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) {
        index_.remove(path);
        return std::nullopt;
    }
    // The library's date of a capture is when it became whole, so a long
    // recording is as new as its end when the capture is over.
    const auto created = fileCompletionDate(path);
    if (!created) return std::nullopt;

    Asset asset;
    asset.mediaType = *type;
    const bool first = folder == (*type == MediaType::Image ? imageDir_ : videoDir_);
    asset.localIdentifier = MediaIndex::identifierFor(*type, path, first);
    asset.creationDate = *created;
    if (*type == MediaType::Image) {
        // A file still missing its header stays in the index as 0×0 and is
        // refreshed when its writer closes it.
        if (auto size = readImagePixelSize(path)) {
            asset.pixelWidth = size->width;
            asset.pixelHeight = size->height;
        }
    } else if (lowerExtension(name) == ".ogg" && !looksLikeMovie(readFileHead(path).value_or(std::string()))) {
        // The one name recorders share with sound recorders: only an Ogg
        // with a video stream is a recording.
        index_.remove(path);
        return std::nullopt;
    }
    asset.ownResult = isOwnResult(path);

    return index_.put(path, asset);
}

std::vector<Asset> FolderPhotoLibrary::fetchNewest(MediaType type, int limit, double createdAfter) const {
    return index_.newest(type, limit, createdAfter);
}

std::optional<Asset> FolderPhotoLibrary::indexFile(const QString& path) {
    const std::string clean = QDir::cleanPath(QFileInfo(path).absoluteFilePath()).toStdString();
    return addToIndex(clean);
}

std::optional<Asset> FolderPhotoLibrary::offerAgain(const QString& path) {
    const std::string clean = QDir::cleanPath(QFileInfo(path).absoluteFilePath()).toStdString();
    std::optional<Asset> asset = addToIndex(clean);
    if (!asset) return std::nullopt;
    const double now = std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count();
    return index_.redate(clean, now);
}

bool FolderPhotoLibrary::wroteItself(const QString& path) const {
    const std::string clean = QDir::cleanPath(QFileInfo(path).absoluteFilePath()).toStdString();
    return index_.claimed(clean);
}

size_t FolderPhotoLibrary::indexedCount() const { return index_.size(); }

// Identifiers name their file, so this needs no index: a file that arrived
// a moment ago and is not indexed yet still resolves.
std::optional<std::string> FolderPhotoLibrary::pathForIdentifier(const std::string& id) const {
    const auto named = MediaIndex::parseIdentifier(id, imageDir_, videoDir_);
    if (!named) return std::nullopt;
    const auto type = classify(named->folder, named->name);
    if (!type || *type != named->type) return std::nullopt;
    const std::string path = named->folder + "/" + named->name;
    struct stat st;
    if (::stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return std::nullopt;
    return path;
}

std::optional<std::string> FolderPhotoLibrary::requestImageData(const Asset& asset) {
    const auto named = MediaIndex::parseIdentifier(asset.localIdentifier, imageDir_, videoDir_);
    if (!named || named->type != MediaType::Image) return std::nullopt;
    const auto path = pathForIdentifier(asset.localIdentifier);
    if (!path) return std::nullopt;
    lastImageFolder_ = parentFolder(*path);
    return readWholeFile(*path);
}

void FolderPhotoLibrary::requestVideoFile(const Asset& asset, std::function<void(std::optional<std::string>)> handler) {
    pool_.start([this, id = asset.localIdentifier, handler = std::move(handler)] {
        std::optional<std::string> path;
        if (const auto named = MediaIndex::parseIdentifier(id, imageDir_, videoDir_);
            named && named->type == MediaType::Video)
            path = pathForIdentifier(id);
        if (handler) handler(path);
    });
}

std::optional<std::string> FolderPhotoLibrary::writeNewFile(const std::string& folder, const std::string& extension,
                                                            const std::function<bool(int fd)>& fill,
                                                            std::string& error) {
    std::string stem;
    SaveNames names;
    names.nth = [&](int n) -> std::optional<std::string> {
        if (n >= 1000) return std::nullopt;
        // Named once the bytes are written, by the clock.
        if (stem.empty()) stem = newResultStem();
        std::string path = folder + "/" + stem;
        if (n > 1) path.append(1, '_').append(std::to_string(n));
        path += extension;
        // Marked before the name appears, so the watcher's event for it
        // already finds it ours.
        index_.claim(path);
        return path;
    };
    names.missed = [&](const std::string& path) {
        // Only our own mark: another writer may be claiming the same name
        // at this moment, and its mark must survive our failure.
        index_.unclaim(path);
    };
    return saveFile(folder, kSaveTempStem, kSaveTempSuffix, fill, names, error);
}

void FolderPhotoLibrary::createImageAsset(Image image, ChangeCompletion completion) {
    // Beside the picture it was made from: the screenshot run that read it
    // saves its result next, on the same queue.
    const std::string folder = holds(lastImageFolder_, MediaType::Image) ? lastImageFolder_ : imageDir_;
    pool_.start([this, folder, image = std::move(image), completion = std::move(completion)] {
        std::string error;
        int err = 0;
        std::optional<std::string> path;
        std::optional<Asset> asset;
        if (!image || image->empty()) {
            error = "no image to save";
        } else if (auto png = imaging_.encodePng(*image); !png) {
            error = "PNG encoding failed";
        } else {
            const std::string bytes = withResultMark(*png);
            path = writeNewFile(
                folder, ".png", [&](int fd) { return writeAll(fd, bytes.data(), bytes.size()); }, error);
            if (!path) err = errno;
        }
        if (path) asset = addToIndex(*path);
        if (!asset) {
            debugLog("photo library: image not saved: %s", error.empty() ? "not indexed" : error.c_str());
            emit saveFailed(MediaType::Image, err, QString::fromStdString(error));
            if (completion) completion(false, "");
        } else if (completion) {
            completion(true, asset->localIdentifier);
        }
        if (path) index_.saved(*path);
    });
}

void FolderPhotoLibrary::createVideoAsset(const std::string& videoPath, ChangeCompletion completion) {
    std::string folder = videoDir_;
    if (sourceOfVideo)
        if (const auto source = sourceOfVideo(videoPath); source && holds(parentFolder(*source), MediaType::Video))
            folder = parentFolder(*source);
    pool_.start([this, folder, videoPath, completion = std::move(completion)] {
        std::string error;
        int err = 0;
        std::optional<std::string> path;
        std::optional<Asset> asset;
        const int src = ::open(videoPath.c_str(), O_RDONLY | O_CLOEXEC);
        if (src < 0) {
            error = "cannot open " + videoPath + ": " + std::strerror(errno);
        } else {
            std::string ext = lowerExtension(videoPath);
            if (!isVideoExtension(ext)) ext = ".mp4";
            path = writeNewFile(
                folder, ext, [src](int fd) { return copyAll(src, fd); }, error);
            if (!path) err = errno;
            ::close(src);
        }
        if (path) asset = addToIndex(*path);
        if (!asset) {
            debugLog("photo library: video not saved: %s", error.empty() ? "not indexed" : error.c_str());
            emit saveFailed(MediaType::Video, err, QString::fromStdString(error));
            if (completion) completion(false, "");
        } else if (completion) {
            completion(true, asset->localIdentifier);
        }
        if (path) index_.saved(*path);
    });
}

void FolderPhotoLibrary::deleteAssets(const std::vector<Asset>& assets, ChangeCompletion completion) {
    pool_.start([this, assets, completion = std::move(completion)] {
        bool allMoved = true;
        for (const Asset& a : assets) {
            const auto path = pathForIdentifier(a.localIdentifier);
            if (!path) {
                debugLog("photo library: nothing to delete for %s", a.localIdentifier.c_str());
                allMoved = false;
                continue;
            }
            const TrashResult r = trash_.moveToTrash(*path);
            if (!r.ok) {
                debugLog("photo library: %s kept: %s", path->c_str(), r.error.c_str());
                allMoved = false;
                continue;
            }
            index_.remove(*path);
        }
        if (completion) completion(allMoved, "");
    });
}

}  // namespace plinthora::linux_platform
