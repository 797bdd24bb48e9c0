#include "platform/linux/FolderPhotoLibrary.h"

#include "platform/linux/Files.h"
#include "platform/linux/MediaContent.h"
#include "platform/linux/MediaNames.h"

#include "platform/ports/Platform.h"

#include <QDir>
#include <QFileInfo>
#include <QStandardPaths>
#include <QTimer>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <ctime>
#include <vector>

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

namespace plinthora::linux_platform {

namespace {
// How long a name that appeared without a write waits before it counts
// as a complete file linked in whole.
constexpr int kLinkedInSettle = 1000;  // ms
}  // namespace

namespace {

constexpr const char* kImagePrefix = "img:";
constexpr const char* kVideoPrefix = "vid:";

bool endsWith(const std::string& s, const std::string& tail) {
    return s.size() >= tail.size() && s.compare(s.size() - tail.size(), tail.size(), tail) == 0;
}

std::string cleanFolder(const QString& folder) {
    return QDir::cleanPath(QFileInfo(folder).absoluteFilePath()).toStdString();
}

// "Plinthora_20240131_142501_042": local time to the millisecond, so names
// sort in the order they were made.
std::string newStem() {
    const auto now = std::chrono::system_clock::now();
    const std::time_t secs = std::chrono::system_clock::to_time_t(now);
    const auto ms =
        std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count() % 1000;
    std::tm local{};
    localtime_r(&secs, &local);
    char buf[64];
    const size_t n = std::strftime(buf, sizeof buf, "Plinthora_%Y%m%d_%H%M%S", &local);
    std::snprintf(buf + n, sizeof buf - n, "_%03d", static_cast<int>(ms));
    return buf;
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
      trash_(std::move(trash)) {
    qRegisterMetaType<plinthora::MediaType>("plinthora::MediaType");
    QDir().mkpath(QString::fromStdString(imageDir_));
    QDir().mkpath(QString::fromStdString(videoDir_));
    // Watch first, then scan: a file completed in between is seen twice,
    // which the index absorbs, rather than not at all.
    for (const std::string& dir : allFolders()) watchFolder(dir);
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
    if (!watched) watchFolder(dir);
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
    for (int id : subscriptions_) FolderEvents::shared().unsubscribe(id);
}

void FolderPhotoLibrary::waitForPendingWork() { pool_.waitForDone(); }

bool FolderPhotoLibrary::isWatching() const {
    for (const std::string& dir : allFolders())
        if (!isWatching(QString::fromStdString(dir))) return false;
    return true;
}

bool FolderPhotoLibrary::isWatching(const QString& folder) const {
    return !subscriptions_.empty() && FolderEvents::shared().isWatching(cleanFolder(folder));
}

void FolderPhotoLibrary::watchFolder(const std::string& dir) {
    const uint32_t mask = IN_CLOSE_WRITE | IN_MOVED_TO | IN_DELETE | IN_MOVED_FROM | IN_CREATE | IN_MODIFY;
    const int id =
        FolderEvents::shared().subscribe(dir, mask, [this, dir](const FolderEvents::Event& e) { folderChanged(dir, e); });
    if (id >= 0) subscriptions_.push_back(id);
}

void FolderPhotoLibrary::folderChanged(const std::string& dir, const FolderEvents::Event& e) {
    if (e.overflow) {
        // Reported to each of our subscriptions; one listing covers them all.
        if (dir != allFolders().front()) return;
        // Events were lost: this is the one time we list again.
        debugLog("photo library: inotify queue overflowed, rescanning");
        scanFolders();
        return;
    }
    if (e.gone || e.back) {
        // A folder back at its path may be another one, filled while no
        // one watched: list it once, as at start.
        if (e.back) scanFolders();
        emit watchChanged(QString::fromStdString(dir), e.back);
        return;
    }
    if (e.name.empty()) return;
    const auto type = classify(dir, e.name);
    if (!type) return;
    const std::string path = dir + "/" + e.name;
    if (e.mask & IN_CREATE) {
        createdOnly_[path] = false;
        QTimer::singleShot(kLinkedInSettle, this, [this, path] { settleCreated(path); });
        return;
    }
    if (e.mask & IN_MODIFY) {
        if (auto c = createdOnly_.find(path); c != createdOnly_.end()) c->second = true;
        return;
    }
    createdOnly_.erase(path);
    if (e.mask & (IN_DELETE | IN_MOVED_FROM)) {
        removeFromIndex(path);
    } else if (e.mask & (IN_CLOSE_WRITE | IN_MOVED_TO)) {
        if (auto asset = addToIndex(path)) {
            const QString qpath = QString::fromStdString(path);
            emit fileCompleted(qpath, asset->mediaType, wroteItself(qpath));
        }
    }
}

void FolderPhotoLibrary::settleCreated(const std::string& path) {
    const auto c = createdOnly_.find(path);
    if (c == createdOnly_.end()) return;  // closed, renamed or deleted meanwhile
    const bool beingWritten = c->second;
    createdOnly_.erase(c);
    // An empty file is one whose writer has not started yet; its close
    // after writing will report it.
    struct stat st;
    if (beingWritten || ::stat(path.c_str(), &st) != 0 || st.st_size == 0) return;
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

namespace {

bool isOurTempName(const std::string& name) {
    return name.rfind(".plinthora-", 0) == 0 && endsWith(name, ".tmp");
}

// A save in progress holds a lock on its temp file; one that nobody holds
// was left by a process that died mid-save, and is never going to become a
// result.
void removeIfStale(const std::string& path) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
    if (fd < 0) return;
    struct stat st;
    if (::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && ::flock(fd, LOCK_EX | LOCK_NB) == 0) {
        debugLog("photo library: removing %s, left by an interrupted save", path.c_str());
        ::unlink(path.c_str());
    }
    ::close(fd);
}

}  // namespace

void FolderPhotoLibrary::scanFolder(const std::string& dir, std::set<std::string>& seen) {
    DIR* d = ::opendir(dir.c_str());
    if (!d) return;
    while (const dirent* e = ::readdir(d)) {
        const std::string name = e->d_name;
        if (isOurTempName(name)) removeIfStale(dir + "/" + name);
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
    std::vector<std::string> gone;
    {
        std::lock_guard lock(mutex_);
        for (const auto& [path, entry] : byPath_)
            if (!seen.count(path)) gone.push_back(path);
    }
    for (const auto& path : gone) {
        struct stat st;
        if (::stat(path.c_str(), &st) != 0) removeFromIndex(path);
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
        removeFromIndex(path);
        return std::nullopt;
    }
    // The library's date of a capture is when it became whole, so a long
    // recording is as new as its end when the capture is over.
    const auto created = fileCompletionDate(path);
    if (!created) return std::nullopt;

    Asset asset;
    asset.mediaType = *type;
    // Files of the first folders are known by name alone, as they always
    // were; the others' names need their folder.
    const bool first = folder == (*type == MediaType::Image ? imageDir_ : videoDir_);
    asset.localIdentifier = (*type == MediaType::Image ? kImagePrefix : kVideoPrefix) + (first ? name : path);
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
        removeFromIndex(path);
        return std::nullopt;
    }
    asset.ownResult = isOwnResult(path);

    std::lock_guard lock(mutex_);
    // Ours from the moment the name appeared, before the bytes are read.
    if (written_.count(path)) asset.ownResult = true;
    auto& order = *type == MediaType::Image ? imagesByDate_ : videosByDate_;
    auto it = byPath_.find(path);
    if (it != byPath_.end()) {
        order.erase(it->second.order);
        it->second.asset = asset;
        it->second.order = order.emplace(asset.creationDate, path);
    } else {
        Entry e{asset, path, order.emplace(asset.creationDate, path)};
        byPath_.emplace(path, std::move(e));
    }
    return asset;
}

void FolderPhotoLibrary::removeFromIndex(const std::string& path) {
    std::lock_guard lock(mutex_);
    written_.erase(path);
    auto it = byPath_.find(path);
    if (it == byPath_.end()) return;
    auto& order = it->second.asset.mediaType == MediaType::Image ? imagesByDate_ : videosByDate_;
    order.erase(it->second.order);
    byPath_.erase(it);
}

std::vector<Asset> FolderPhotoLibrary::fetchNewest(MediaType type, int limit, double createdAfter) const {
    std::vector<Asset> out;
    if (limit <= 0) return out;
    std::lock_guard lock(mutex_);
    const auto& order = type == MediaType::Image ? imagesByDate_ : videosByDate_;
    for (auto it = order.rbegin(); it != order.rend() && int(out.size()) < limit; ++it) {
        if (!(it->first > createdAfter)) break;
        if (saving_.count(it->second)) continue;
        out.push_back(byPath_.at(it->second).asset);
    }
    return out;
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
    std::lock_guard lock(mutex_);
    auto it = byPath_.find(clean);
    if (it == byPath_.end()) return std::nullopt;
    auto& order = asset->mediaType == MediaType::Image ? imagesByDate_ : videosByDate_;
    order.erase(it->second.order);
    it->second.asset.creationDate = now;
    it->second.order = order.emplace(now, clean);
    return it->second.asset;
}

bool FolderPhotoLibrary::wroteItself(const QString& path) const {
    const std::string clean = QDir::cleanPath(QFileInfo(path).absoluteFilePath()).toStdString();
    std::lock_guard lock(mutex_);
    return written_.count(clean) != 0;
}

size_t FolderPhotoLibrary::indexedCount() const {
    std::lock_guard lock(mutex_);
    return byPath_.size();
}

// Identifiers name their file, so this needs no index: a file that arrived
// a moment ago and is not indexed yet still resolves.
std::optional<std::string> FolderPhotoLibrary::pathForIdentifier(const std::string& id) const {
    std::string folder, name;
    if (id.rfind(kImagePrefix, 0) == 0) {
        folder = imageDir_;
        name = id.substr(std::strlen(kImagePrefix));
    } else if (id.rfind(kVideoPrefix, 0) == 0) {
        folder = videoDir_;
        name = id.substr(std::strlen(kVideoPrefix));
    } else {
        return std::nullopt;
    }
    if (!name.empty() && name[0] == '/') {
        folder = parentFolder(name);
        name = name.substr(folder.size() + 1);
    }
    const auto type = classify(folder, name);
    if (!type || (*type == MediaType::Image) != (id.rfind(kImagePrefix, 0) == 0)) return std::nullopt;
    const std::string path = folder + "/" + name;
    struct stat st;
    if (::stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return std::nullopt;
    return path;
}

std::optional<std::string> FolderPhotoLibrary::requestImageData(const Asset& asset) {
    if (asset.localIdentifier.rfind(kImagePrefix, 0) != 0) return std::nullopt;
    const auto path = pathForIdentifier(asset.localIdentifier);
    if (!path) return std::nullopt;
    lastImageFolder_ = parentFolder(*path);
    return readWholeFile(*path);
}

void FolderPhotoLibrary::requestVideoFile(const Asset& asset,
                                          std::function<void(std::optional<std::string>)> handler) {
    pool_.start([this, id = asset.localIdentifier, handler = std::move(handler)] {
        std::optional<std::string> path;
        if (id.rfind(kVideoPrefix, 0) == 0) path = pathForIdentifier(id);
        if (handler) handler(path);
    });
}

std::optional<std::string> FolderPhotoLibrary::writeNewFile(const std::string& folder, const std::string& extension,
                                                            const std::function<bool(int fd)>& fill,
                                                            std::string& error) {
    const auto written = writeTempFile(folder, "plinthora-", ".tmp", fill, error);
    if (!written) return std::nullopt;
    const std::string& temp = *written;
    auto abandon = [&](const std::string& why) -> std::optional<std::string> {
        error = why;
        ::unlink(temp.c_str());
        return std::nullopt;
    };

    const std::string stem = newStem();
    for (int n = 1; n < 1000; ++n) {
        std::string path = folder + "/" + stem;
        if (n > 1) path.append(1, '_').append(std::to_string(n));
        path += extension;
        {
            // Marked before the name appears, so the watcher's event for it
            // already finds it ours.
            std::lock_guard lock(mutex_);
            written_.insert(path);
            saving_.insert(path);
        }
        if (renameNoReplace(temp, path) == 0) {
            if (!syncFolder(folder))
                debugLog("photo library: cannot sync folder %s (%s)", folder.c_str(), std::strerror(errno));
            return path;
        }
        const int err = errno;
        {
            // Only our own mark: another writer may be claiming the same
            // name at this moment, and its mark must survive our failure.
            std::lock_guard lock(mutex_);
            written_.erase(written_.find(path));
            saving_.erase(saving_.find(path));
        }
        if (err != EEXIST) return abandon("cannot rename " + temp + " to " + path + ": " + std::strerror(err));
    }
    return abandon("no free name in " + folder);
}

void FolderPhotoLibrary::doneSaving(const std::string& path) {
    std::lock_guard lock(mutex_);
    if (auto it = saving_.find(path); it != saving_.end()) saving_.erase(it);
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
            path = writeNewFile(folder, ".png", [&](int fd) { return writeAll(fd, bytes.data(), bytes.size()); },
                                error);
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
        if (path) doneSaving(*path);
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
            path = writeNewFile(folder, ext, [src](int fd) {
                std::vector<char> buf(1 << 20);
                for (;;) {
                    const ssize_t n = ::read(src, buf.data(), buf.size());
                    if (n < 0 && errno == EINTR) continue;
                    if (n < 0) return false;
                    if (n == 0) return true;
                    if (!writeAll(fd, buf.data(), size_t(n))) return false;
                }
            }, error);
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
        if (path) doneSaving(*path);
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
            removeFromIndex(*path);
        }
        if (completion) completion(allMoved, "");
    });
}

}  // namespace plinthora::linux_platform
