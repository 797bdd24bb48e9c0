#include "platform/linux/Trash.h"

#include "platform/linux/Files.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>

#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

namespace plinthora::linux_platform {

namespace {

std::string errnoText(const std::string& what, int err) { return what + ": " + std::strerror(err); }

std::string deletionDate(std::time_t when) {
    std::tm local{};
    localtime_r(&when, &local);
    char buf[32];
    std::strftime(buf, sizeof buf, "%Y-%m-%dT%H:%M:%S", &local);
    return buf;
}

enum class Outcome { Moved, CrossDevice, Failed };

// One attempt at one trash folder. `pathValue` is what Path= records.
Outcome trashInto(const std::string& trashDir, const std::string& source, const std::string& pathValue,
                  std::time_t when, TrashResult& result) {
    const std::string filesDir = trashDir + "/files";
    const std::string infoDir = trashDir + "/info";
    if (!makeFolders(filesDir, 0700) || !makeFolders(infoDir, 0700)) {
        result.error = errnoText("cannot create " + trashDir, errno);
        return Outcome::Failed;
    }
    const std::string info =
        "[Trash Info]\nPath=" + percentEncodeTrashPath(pathValue) + "\nDeletionDate=" + deletionDate(when) + "\n";
    const std::string base = baseName(source);
    for (int n = 1; n < 10000; ++n) {
        const std::string name = n == 1 ? base : base + "." + std::to_string(n);
        const std::string infoPath = infoDir + "/" + name + ".trashinfo";
        const std::string target = filesDir + "/" + name;
        // The info file is the lock on NAME among all trashing programs.
        const int fd = ::open(infoPath.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
        if (fd < 0) {
            if (errno == EEXIST) continue;
            result.error = errnoText("cannot reserve " + infoPath, errno);
            return Outcome::Failed;
        }
        struct stat st;
        if (::lstat(target.c_str(), &st) == 0) {
            // A stray file without its info: leave it, take the next name.
            ::close(fd);
            ::unlink(infoPath.c_str());
            continue;
        }
        const bool written = writeAll(fd, info) && ::fsync(fd) == 0;
        const int writeErr = errno;
        ::close(fd);
        if (!written) {
            ::unlink(infoPath.c_str());
            result.error = errnoText("cannot write " + infoPath, writeErr);
            return Outcome::Failed;
        }
        if (renameNoReplace(source, target) != 0) {
            const int err = errno;
            ::unlink(infoPath.c_str());
            if (err == EEXIST) continue;
            result.error = errnoText("cannot move " + source + " to " + target, err);
            return err == EXDEV ? Outcome::CrossDevice : Outcome::Failed;
        }
        result.ok = true;
        result.trashedPath = target;
        result.infoPath = infoPath;
        result.error.clear();
        return Outcome::Moved;
    }
    result.error = "no free name in " + trashDir;
    return Outcome::Failed;
}

// A trash folder we may use on a shared mount: a real directory, not a
// symlink someone planted, and ours.
bool isPrivateDir(const std::string& path) {
    struct stat st;
    return ::lstat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode) && st.st_uid == ::getuid();
}

}  // namespace

Trash::Trash(std::string homeTrash) : homeTrash_(std::move(homeTrash)) {}

std::string Trash::defaultHomeTrash() {
    const char* xdg = std::getenv("XDG_DATA_HOME");
    if (xdg && xdg[0] == '/') return std::string(xdg) + "/Trash";
    const char* home = std::getenv("HOME");
    std::string h = home && *home ? home : "";
    if (h.empty()) {
        if (const passwd* pw = ::getpwuid(::getuid())) h = pw->pw_dir;
    }
    return h + "/.local/share/Trash";
}

TrashResult Trash::moveToTrash(const std::string& absolutePath, std::time_t when) const {
    TrashResult result;
    struct stat st;
    if (absolutePath.empty() || absolutePath[0] != '/') {
        result.error = "not an absolute path: " + absolutePath;
        return result;
    }
    if (::lstat(absolutePath.c_str(), &st) != 0) {
        result.error = errnoText(absolutePath, errno);
        return result;
    }

    if (trashInto(homeTrash_, absolutePath, absolutePath, when, result) != Outcome::CrossDevice) return result;

    // Another file system: its own trash, with Path= relative to its top.
    const std::string top = mountTopDir(absolutePath);
    const std::string relative = top == "/" ? absolutePath.substr(1) : absolutePath.substr(top.size() + 1);
    const std::string uid = std::to_string(::getuid());
    const std::string base = top == "/" ? "" : top;

    const std::string shared = base + "/.Trash";
    struct stat sh;
    if (::lstat(shared.c_str(), &sh) == 0 && S_ISDIR(sh.st_mode) && (sh.st_mode & S_ISVTX)) {
        const std::string mine = shared + "/" + uid;
        if (::mkdir(mine.c_str(), 0700) == 0 || errno == EEXIST) {
            if (isPrivateDir(mine) && trashInto(mine, absolutePath, relative, when, result) == Outcome::Moved)
                return result;
        }
    }
    const std::string own = base + "/.Trash-" + uid;
    if (::mkdir(own.c_str(), 0700) != 0 && errno != EEXIST) {
        result.error = errnoText("no trash on the file system of " + absolutePath + ": " + own, errno);
        return result;
    }
    if (!isPrivateDir(own)) {
        result.error = own + " is not a private directory";
        return result;
    }
    trashInto(own, absolutePath, relative, when, result);
    return result;
}

std::string percentEncodeTrashPath(const std::string& path) {
    static const char hex[] = "0123456789ABCDEF";
    std::string out;
    out.reserve(path.size());
    for (unsigned char c : path) {
        const bool keep = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
                          std::strchr("-_.!~*'()/", c) != nullptr;
        if (keep && c != '\0') {
            out += static_cast<char>(c);
        } else {
            out += '%';
            out += hex[c >> 4];
            out += hex[c & 15];
        }
    }
    return out;
}

std::string mountTopDir(const std::string& path) {
    struct stat st;
    if (::lstat(path.c_str(), &st) != 0) return "/";
    const dev_t dev = st.st_dev;
    std::string cur = S_ISDIR(st.st_mode) ? path : parentFolder(path);
    while (cur != "/") {
        const std::string up = parentFolder(cur);
        if (::stat(up.c_str(), &st) != 0 || st.st_dev != dev) return cur;
        cur = up;
    }
    return "/";
}

}  // namespace plinthora::linux_platform
