#include "platform/linux/Files.h"

#include "platform/ports/Platform.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <vector>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace plinthora::linux_platform {

std::optional<std::string> readWholeFile(const std::string& path) {
    // Regular files only: a FIFO would block the reader for ever and a
    // device such as /dev/zero never ends (an asset folder may hold links to
    // either). O_NONBLOCK keeps the open itself from waiting on a FIFO.
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) return std::nullopt;
    struct stat st;
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        ::close(fd);
        return std::nullopt;
    }
    std::string out;
    char buf[65536];
    for (;;) {
        ssize_t n = ::read(fd, buf, sizeof buf);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            ::close(fd);
            return std::nullopt;
        }
        if (n == 0) break;
        out.append(buf, static_cast<size_t>(n));
    }
    ::close(fd);
    return out;
}

bool writeAll(int fd, const char* data, size_t size) {
    size_t done = 0;
    while (done < size) {
        const ssize_t n = ::write(fd, data + done, size - done);
        if (n < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        if (n == 0) {
            errno = EIO;
            return false;
        }
        done += static_cast<size_t>(n);
    }
    return true;
}

std::string parentFolder(const std::string& path) {
    const size_t slash = path.rfind('/');
    if (slash == std::string::npos) return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

std::string baseName(const std::string& path) { return path.substr(path.rfind('/') + 1); }

std::optional<std::string> writeTempFile(const std::string& folder, const std::string& stem, const std::string& suffix,
                                         const std::function<bool(int fd)>& fill, std::string& error) {
    std::string tmpl = folder + "/." + stem + "XXXXXX" + suffix;
    const int fd = ::mkostemps(tmpl.data(), int(suffix.size()), O_CLOEXEC);
    if (fd < 0) {
        error = "cannot create a file in " + folder + ": " + std::strerror(errno);
        return std::nullopt;
    }
    // Held while the file is written, so a scan can tell a save in progress
    // from one a killed process left behind.
    ::flock(fd, LOCK_EX);
    // errno stays the failure's, past the clean-up: callers tell a full
    // disk from other failures by it.
    auto abandon = [&](const std::string& why, int err) -> std::optional<std::string> {
        error = why;
        ::unlink(tmpl.c_str());
        errno = err;
        return std::nullopt;
    };
    if (!fill(fd)) {
        const int err = errno;
        ::close(fd);
        return abandon("cannot write " + tmpl + ": " + std::strerror(err), err);
    }
    if (::fchmod(fd, 0644) != 0 || ::fsync(fd) != 0) {
        const int err = errno;
        ::close(fd);
        return abandon("cannot sync " + tmpl + ": " + std::strerror(err), err);
    }
    if (::close(fd) != 0) {
        const int err = errno;
        return abandon("cannot close " + tmpl + ": " + std::strerror(err), err);
    }
    return tmpl;
}

bool copyAll(int from, int to) {
    std::vector<char> buf(1 << 20);
    for (;;) {
        const ssize_t n = ::read(from, buf.data(), buf.size());
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return false;
        if (n == 0) return true;
        if (!writeAll(to, buf.data(), size_t(n))) return false;
    }
}

std::optional<std::string> saveFile(const std::string& folder, const std::string& tempStem,
                                    const std::string& tempSuffix, const std::function<bool(int fd)>& fill,
                                    const SaveNames& names, std::string& error) {
    const auto temp = writeTempFile(folder, tempStem, tempSuffix, fill, error);
    if (!temp) return std::nullopt;
    auto abandon = [&](const std::string& why, int err) -> std::optional<std::string> {
        error = why;
        ::unlink(temp->c_str());
        errno = err;
        return std::nullopt;
    };
    for (int n = 1;; ++n) {
        const std::optional<std::string> path = names.nth ? names.nth(n) : std::nullopt;
        if (!path) return abandon("no free name in " + folder, EEXIST);
        const int moved = names.replace ? ::rename(temp->c_str(), path->c_str()) : renameNoReplace(*temp, *path);
        if (moved == 0) {
            // The rename itself must reach the disk before anyone is told.
            if (!syncFolder(parentFolder(*path)))
                debugLog("cannot sync folder %s (%s)", parentFolder(*path).c_str(), std::strerror(errno));
            return path;
        }
        const int err = errno;
        if (names.missed) names.missed(*path);
        if (names.replace || err != EEXIST)
            return abandon("cannot rename " + *temp + " to " + *path + ": " + std::strerror(err), err);
    }
}

bool writeAtomically(const std::string& path, const std::string& bytes) {
    SaveNames names;
    names.nth = [&](int n) { return n == 1 ? std::optional(path) : std::nullopt; };
    names.replace = true;
    std::string error;
    return saveFile(
               parentFolder(path), baseName(path) + ".", "", [&](int fd) { return writeAll(fd, bytes); }, names, error)
        .has_value();
}

int renameNoReplace(const std::string& from, const std::string& to) {
    if (::renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0) return 0;
    if (errno != EINVAL && errno != ENOSYS) return -1;
    // No RENAME_NOREPLACE here: a hard link fails on an existing name too.
    if (::link(from.c_str(), to.c_str()) != 0) return -1;
    ::unlink(from.c_str());
    return 0;
}

bool syncFolder(const std::string& folder) {
    const int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return false;
    const bool ok = ::fsync(fd) == 0;
    const int err = errno;
    ::close(fd);
    errno = err;
    return ok;
}

bool makeFolders(const std::string& path, mode_t mode) {
    struct stat st;
    if (::stat(path.c_str(), &st) == 0) return S_ISDIR(st.st_mode);
    if (path.empty() || path == "/" || path == ".") return false;
    if (!makeFolders(parentFolder(path), mode)) return false;
    if (::mkdir(path.c_str(), mode) == 0) return true;
    return errno == EEXIST && ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

std::optional<double> fileCompletionDate(const std::string& path) {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) return std::nullopt;
    return double(st.st_mtim.tv_sec) + double(st.st_mtim.tv_nsec) / 1e9;
}

}  // namespace plinthora::linux_platform
