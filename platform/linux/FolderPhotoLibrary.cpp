#include "platform/linux/FolderPhotoLibrary.h"
#include "platform/linux/LinuxPlatform.h"

#include "platform/ports/Platform.h"

#include <QDir>
#include <QFileInfo>
#include <QSocketNotifier>
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

std::string lower(std::string s) {
    std::transform(s.begin(), s.end(), s.begin(), [](unsigned char c) { return char(std::tolower(c)); });
    return s;
}

std::string extensionOf(const std::string& name) {
    const auto dot = name.find_last_of('.');
    return dot == std::string::npos || dot == 0 ? std::string() : lower(name.substr(dot));
}

bool endsWith(const std::string& s, const std::string& tail) {
    return s.size() >= tail.size() && s.compare(s.size() - tail.size(), tail.size(), tail) == 0;
}

// Names that are still being written and will be renamed later: dot files
// (our own temp files among them), editor backups and partial downloads.
bool isTemporaryName(const std::string& name) {
    if (name.empty() || name[0] == '.') return true;
    const std::string l = lower(name);
    return endsWith(l, ".tmp") || endsWith(l, "~") || endsWith(l, ".part");
}

bool isImageExtension(const std::string& ext) { return ext == ".png" || ext == ".jpg" || ext == ".jpeg"; }
bool isVideoExtension(const std::string& ext) {
    return ext == ".mp4" || ext == ".mov" || ext == ".webm" || ext == ".mkv";
}

std::string cleanFolder(const QString& folder) {
    return QDir::cleanPath(QFileInfo(folder).absoluteFilePath()).toStdString();
}

bool writeAll(int fd, const char* data, size_t size) {
    size_t done = 0;
    while (done < size) {
        const ssize_t n = ::write(fd, data + done, size - done);
        if (n < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        done += static_cast<size_t>(n);
    }
    return true;
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

// ---- image headers ---------------------------------------------------------

using ReadAt = std::function<std::string(uint64_t offset, size_t size)>;

uint32_t be16(const std::string& b, size_t i) {
    return (uint32_t(uint8_t(b[i])) << 8) | uint8_t(b[i + 1]);
}
uint32_t be32(const std::string& b, size_t i) { return (be16(b, i) << 16) | be16(b, i + 2); }

// The EXIF orientation (1–8) in an APP1 payload, or 0.
int exifOrientation(const std::string& app1) {
    if (app1.size() < 14 || app1.compare(0, 6, std::string("Exif\0\0", 6)) != 0) return 0;
    const std::string tiff = app1.substr(6);
    const bool little = tiff.compare(0, 4, "II*\0", 4) == 0;
    if (!little && tiff.compare(0, 4, "MM\0*", 4) != 0) return 0;
    auto u16 = [&](size_t i) -> uint32_t {
        if (i + 2 > tiff.size()) return 0;
        const uint32_t a = uint8_t(tiff[i]), b = uint8_t(tiff[i + 1]);
        return little ? (a | b << 8) : (a << 8 | b);
    };
    auto u32 = [&](size_t i) -> uint32_t { return little ? (u16(i) | u16(i + 2) << 16) : (u16(i) << 16 | u16(i + 2)); };
    const uint32_t ifd = u32(4);
    if (ifd + 2 > tiff.size()) return 0;
    const uint32_t count = u16(ifd);
    for (uint32_t k = 0; k < count; ++k) {
        const size_t entry = ifd + 2 + size_t(k) * 12;
        if (entry + 12 > tiff.size()) return 0;
        if (u16(entry) == 0x0112) {
            const uint32_t value = u16(entry + 8);  // SHORT, left-justified in the value field
            return value >= 1 && value <= 8 ? int(value) : 0;
        }
    }
    return 0;
}

std::optional<PixelSize> pngSize(const ReadAt& read) {
    const std::string h = read(0, 24);
    static const char sig[] = "\x89PNG\r\n\x1a\n";
    if (h.size() < 24 || h.compare(0, 8, sig, 8) != 0 || h.compare(12, 4, "IHDR") != 0) return std::nullopt;
    const uint32_t w = be32(h, 16), hgt = be32(h, 20);
    if (w == 0 || hgt == 0 || w > 0x7fffffff || hgt > 0x7fffffff) return std::nullopt;
    return PixelSize{int(w), int(hgt)};
}

// Walks the marker segments up to the first frame header, seeking over
// segment bodies, so a large EXIF thumbnail or ICC profile costs nothing.
std::optional<PixelSize> jpegSize(const ReadAt& read) {
    if (read(0, 2) != "\xFF\xD8") return std::nullopt;
    uint64_t pos = 2;
    int orientation = 0;
    for (int guard = 0; guard < 4096; ++guard) {
        std::string m = read(pos, 2);
        if (m.size() < 2 || uint8_t(m[0]) != 0xFF) return std::nullopt;
        // Fill bytes: any number of 0xFF before a marker.
        while (uint8_t(m[1]) == 0xFF) {
            ++pos;
            m = read(pos, 2);
            if (m.size() < 2) return std::nullopt;
        }
        const uint8_t marker = uint8_t(m[1]);
        if (marker == 0x01 || (marker >= 0xD0 && marker <= 0xD8)) {  // no length
            pos += 2;
            continue;
        }
        if (marker == 0xD9 || marker == 0xDA) return std::nullopt;  // no frame header before the data
        const std::string lenBytes = read(pos + 2, 2);
        if (lenBytes.size() < 2) return std::nullopt;
        const uint32_t len = be16(lenBytes, 0);
        if (len < 2) return std::nullopt;
        const bool isFrame = marker >= 0xC0 && marker <= 0xCF && marker != 0xC4 && marker != 0xC8 && marker != 0xCC;
        if (isFrame) {
            const std::string f = read(pos + 4, 5);
            if (f.size() < 5) return std::nullopt;
            int h = int(be16(f, 1)), w = int(be16(f, 3));
            if (w == 0 || h == 0) return std::nullopt;
            if (orientation >= 5) std::swap(w, h);
            return PixelSize{w, h};
        }
        if (marker == 0xE1 && orientation == 0) orientation = exifOrientation(read(pos + 4, len - 2));
        pos += 2 + len;
    }
    return std::nullopt;
}

std::optional<PixelSize> sizeFrom(const ReadAt& read) {
    if (auto s = pngSize(read)) return s;
    return jpegSize(read);
}

}  // namespace

std::optional<PixelSize> imagePixelSizeFromBytes(const std::string& header) {
    return sizeFrom([&](uint64_t offset, size_t size) -> std::string {
        if (offset >= header.size()) return {};
        return header.substr(size_t(offset), size);
    });
}

std::optional<PixelSize> readImagePixelSize(const std::string& path) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return std::nullopt;
    auto result = sizeFrom([fd](uint64_t offset, size_t size) -> std::string {
        std::string buf(size, '\0');
        size_t got = 0;
        while (got < size) {
            const ssize_t n = ::pread(fd, buf.data() + got, size - got, off_t(offset + got));
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) break;
            got += size_t(n);
        }
        buf.resize(got);
        return buf;
    });
    ::close(fd);
    return result;
}

std::optional<double> fileCreationDate(const std::string& path) {
    struct statx stx {};
    if (::statx(AT_FDCWD, path.c_str(), AT_STATX_SYNC_AS_STAT, STATX_BTIME | STATX_MTIME, &stx) != 0)
        return std::nullopt;
    const statx_timestamp& t = (stx.stx_mask & STATX_BTIME) ? stx.stx_btime : stx.stx_mtime;
    return double(t.tv_sec) + double(t.tv_nsec) / 1e9;
}

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
    watchFolders();
    scanFolders();
}

FolderPhotoLibrary::~FolderPhotoLibrary() {
    // Workers hold `this`; let them finish before the index goes away.
    pool_.waitForDone();
    delete notifier_;
    if (inotifyFd_ >= 0) ::close(inotifyFd_);
}

void FolderPhotoLibrary::waitForPendingWork() { pool_.waitForDone(); }

void FolderPhotoLibrary::watchFolders() {
    inotifyFd_ = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    if (inotifyFd_ < 0) {
        debugLog("photo library: inotify unavailable (%s); the index follows only our own writes",
                 std::strerror(errno));
        return;
    }
    watching_ = true;
    const uint32_t mask =
        IN_CLOSE_WRITE | IN_MOVED_TO | IN_DELETE | IN_MOVED_FROM | IN_CREATE | IN_MODIFY | IN_ONLYDIR;
    for (const std::string& dir : {imageDir_, videoDir_}) {
        const int wd = ::inotify_add_watch(inotifyFd_, dir.c_str(), mask);
        if (wd < 0) {
            debugLog("photo library: cannot watch %s (%s)", dir.c_str(), std::strerror(errno));
            watching_ = false;
            continue;
        }
        watches_[wd] = dir;  // the same folder twice gives the same descriptor
    }
    notifier_ = new QSocketNotifier(inotifyFd_, QSocketNotifier::Read);
    connect(notifier_, &QSocketNotifier::activated, this, [this] { readInotify(); });
}

void FolderPhotoLibrary::readInotify() {
    alignas(inotify_event) char buf[16384];
    for (;;) {
        const ssize_t n = ::read(inotifyFd_, buf, sizeof buf);
        if (n <= 0) {
            if (n < 0 && errno == EINTR) continue;
            return;  // EAGAIN: drained
        }
        for (ssize_t off = 0; off < n;) {
            const auto* ev = reinterpret_cast<const inotify_event*>(buf + off);
            off += ssize_t(sizeof(inotify_event) + ev->len);
            if (ev->mask & IN_Q_OVERFLOW) {
                // Events were lost: this is the one time we list again.
                debugLog("photo library: inotify queue overflowed, rescanning");
                scanFolders();
                continue;
            }
            if (ev->mask & IN_IGNORED) {
                watches_.erase(ev->wd);
                watching_ = false;
                continue;
            }
            const auto w = watches_.find(ev->wd);
            if (w == watches_.end() || ev->len == 0) continue;
            const std::string name(ev->name);
            const auto type = classify(w->second, name);
            if (!type) continue;
            const std::string path = w->second + "/" + name;
            if (ev->mask & IN_CREATE) {
                createdOnly_[path] = false;
                QTimer::singleShot(kLinkedInSettle, this, [this, path] { settleCreated(path); });
                continue;
            }
            if (ev->mask & IN_MODIFY) {
                if (auto c = createdOnly_.find(path); c != createdOnly_.end()) c->second = true;
                continue;
            }
            createdOnly_.erase(path);
            if (ev->mask & (IN_DELETE | IN_MOVED_FROM)) {
                removeFromIndex(path);
            } else if (ev->mask & (IN_CLOSE_WRITE | IN_MOVED_TO)) {
                if (auto asset = addToIndex(path)) {
                    const QString qpath = QString::fromStdString(path);
                    emit fileCompleted(qpath, asset->mediaType, wroteItself(qpath));
                }
            }
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
    const std::string ext = extensionOf(name);
    if (folder == imageDir_ && isImageExtension(ext)) return MediaType::Image;
    if (folder == videoDir_ && isVideoExtension(ext)) return MediaType::Video;
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

void FolderPhotoLibrary::scanFolders() {
    std::set<std::string> seen;
    std::vector<std::string> dirs{imageDir_};
    if (videoDir_ != imageDir_) dirs.push_back(videoDir_);
    for (const std::string& dir : dirs) {
        DIR* d = ::opendir(dir.c_str());
        if (!d) continue;
        while (const dirent* e = ::readdir(d)) {
            const std::string name = e->d_name;
            if (isOurTempName(name)) removeIfStale(dir + "/" + name);
            if (!classify(dir, name)) continue;
            const std::string path = dir + "/" + name;
            if (addToIndex(path)) seen.insert(path);
        }
        ::closedir(d);
    }
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
    const auto created = fileCreationDate(path);
    if (!created) return std::nullopt;

    Asset asset;
    asset.mediaType = *type;
    asset.localIdentifier = (*type == MediaType::Image ? kImagePrefix : kVideoPrefix) + name;
    asset.creationDate = *created;
    if (*type == MediaType::Image) {
        // A file still missing its header stays in the index as 0×0 and is
        // refreshed when its writer closes it.
        if (auto size = readImagePixelSize(path)) {
            asset.pixelWidth = size->width;
            asset.pixelHeight = size->height;
        }
    }

    std::lock_guard lock(mutex_);
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
        out.push_back(byPath_.at(it->second).asset);
    }
    return out;
}

std::optional<Asset> FolderPhotoLibrary::indexFile(const QString& path) {
    const std::string clean = QDir::cleanPath(QFileInfo(path).absoluteFilePath()).toStdString();
    return addToIndex(clean);
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
    std::string tmpl = folder + "/.plinthora-XXXXXX.tmp";
    const int fd = ::mkostemps(tmpl.data(), 4, O_CLOEXEC);
    if (fd < 0) {
        error = "cannot create a file in " + folder + ": " + std::strerror(errno);
        return std::nullopt;
    }
    // Held until the file is renamed or removed, so a start-up scan can tell
    // this save from one a killed process left behind.
    ::flock(fd, LOCK_EX);
    const std::string temp = tmpl;
    auto abandon = [&](const std::string& why) -> std::optional<std::string> {
        error = why;
        ::unlink(temp.c_str());
        return std::nullopt;
    };
    const bool filled = fill(fd);
    const int fillErr = errno;
    if (!filled) {
        ::close(fd);
        return abandon("cannot write " + temp + ": " + std::strerror(fillErr));
    }
    if (::fchmod(fd, 0644) != 0 || ::fsync(fd) != 0) {
        const int err = errno;
        ::close(fd);
        return abandon("cannot sync " + temp + ": " + std::strerror(err));
    }
    if (::close(fd) != 0) return abandon("cannot close " + temp + ": " + std::strerror(errno));

    const std::string stem = newStem();
    for (int n = 1; n < 1000; ++n) {
        const std::string path = folder + "/" + stem + (n == 1 ? "" : "_" + std::to_string(n)) + extension;
        {
            // Marked before the name appears, so the watcher's event for it
            // already finds it ours.
            std::lock_guard lock(mutex_);
            written_.insert(path);
        }
        if (renameNoReplace(temp, path) == 0) {
            const int dfd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
            if (dfd < 0 || ::fsync(dfd) != 0)
                debugLog("photo library: cannot sync folder %s (%s)", folder.c_str(), std::strerror(errno));
            if (dfd >= 0) ::close(dfd);
            return path;
        }
        const int err = errno;
        {
            // Only our own mark: another writer may be claiming the same
            // name at this moment, and its mark must survive our failure.
            std::lock_guard lock(mutex_);
            written_.erase(written_.find(path));
        }
        if (err != EEXIST) return abandon("cannot rename " + temp + " to " + path + ": " + std::strerror(err));
    }
    return abandon("no free name in " + folder);
}

void FolderPhotoLibrary::createImageAsset(Image image, ChangeCompletion completion) {
    pool_.start([this, image = std::move(image), completion = std::move(completion)] {
        std::string error;
        std::optional<std::string> path;
        std::optional<Asset> asset;
        if (!image || image->empty()) {
            error = "no image to save";
        } else if (auto png = imaging_.encodePng(*image); !png) {
            error = "PNG encoding failed";
        } else {
            const std::string& bytes = *png;
            path = writeNewFile(imageDir_, ".png", [&](int fd) { return writeAll(fd, bytes.data(), bytes.size()); },
                                error);
        }
        if (path) asset = addToIndex(*path);
        if (!asset) {
            debugLog("photo library: image not saved: %s", error.empty() ? "not indexed" : error.c_str());
            if (completion) completion(false, "");
            return;
        }
        if (completion) completion(true, asset->localIdentifier);
    });
}

void FolderPhotoLibrary::createVideoAsset(const std::string& videoPath, ChangeCompletion completion) {
    pool_.start([this, videoPath, completion = std::move(completion)] {
        std::string error;
        std::optional<std::string> path;
        std::optional<Asset> asset;
        const int src = ::open(videoPath.c_str(), O_RDONLY | O_CLOEXEC);
        if (src < 0) {
            error = "cannot open " + videoPath + ": " + std::strerror(errno);
        } else {
            std::string ext = extensionOf(videoPath);
            if (!isVideoExtension(ext)) ext = ".mp4";
            path = writeNewFile(videoDir_, ext, [src](int fd) {
                std::vector<char> buf(1 << 20);
                for (;;) {
                    const ssize_t n = ::read(src, buf.data(), buf.size());
                    if (n < 0 && errno == EINTR) continue;
                    if (n < 0) return false;
                    if (n == 0) return true;
                    if (!writeAll(fd, buf.data(), size_t(n))) return false;
                }
            }, error);
            ::close(src);
        }
        if (path) asset = addToIndex(*path);
        if (!asset) {
            debugLog("photo library: video not saved: %s", error.empty() ? "not indexed" : error.c_str());
            if (completion) completion(false, "");
            return;
        }
        if (completion) completion(true, asset->localIdentifier);
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
