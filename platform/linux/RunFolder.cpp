#include "platform/linux/RunFolder.h"

#include "platform/ports/Platform.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <random>
#include <vector>

namespace plinthora::linux_platform {

namespace {

constexpr const char* kLockName = ".lock";
constexpr const char* kRunPrefix = "run-";

// The per-user folder, made 0700 when missing; refused unless it is a real
// folder of ours that no one else can enter.
bool ownPrivateFolder(const std::string& path) {
    if (::mkdir(path.c_str(), 0700) != 0 && errno != EEXIST) return false;
    const int fd = ::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) return false;
    struct stat st {};
    bool ok = ::fstat(fd, &st) == 0 && S_ISDIR(st.st_mode) && st.st_uid == ::geteuid();
    if (ok && (st.st_mode & 077) != 0) ok = ::fchmod(fd, 0700) == 0;
    ::close(fd);
    return ok;
}

// Removes the files in a folder, then the folder; nothing below it is
// followed, and only plain files are expected.
void removeFolder(const std::string& path) {
    if (DIR* d = ::opendir(path.c_str())) {
        std::vector<std::string> names;
        while (dirent* e = ::readdir(d)) {
            const std::string n = e->d_name;
            if (n != "." && n != "..") names.push_back(n);
        }
        ::closedir(d);
        for (const std::string& n : names) ::unlink((path + "/" + n).c_str());
    }
    ::rmdir(path.c_str());
}

// Run folders whose lock no one holds belong to runs that ended without
// cleaning up (killed, crashed).
void sweepDeadRuns(const std::string& userFolder) {
    DIR* d = ::opendir(userFolder.c_str());
    if (!d) return;
    std::vector<std::string> runs;
    while (dirent* e = ::readdir(d)) {
        const std::string n = e->d_name;
        if (n.rfind(kRunPrefix, 0) == 0) runs.push_back(userFolder + "/" + n);
    }
    ::closedir(d);
    for (const std::string& run : runs) {
        const int fd = ::open((run + "/" + kLockName).c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
        if (fd < 0) continue;  // not one of ours, or being removed right now
        if (::flock(fd, LOCK_EX | LOCK_NB) == 0) {
            debugLog("removing the leftovers of an ended run in %s", run.c_str());
            removeFolder(run);
        }
        ::close(fd);
    }
}

}  // namespace

RunFolder::RunFolder(const std::string& base) {
    const std::string user = base + "/plinthora-" + std::to_string(::geteuid());
    if (!ownPrivateFolder(user)) {
        debugLog("%s is not a private folder of ours; no temporary movies", user.c_str());
        return;
    }
    sweepDeadRuns(user);
    // Made under another name and locked before it is given a run name, so
    // a sweep never sees a run folder without its held lock.
    std::random_device rd;
    const std::string tag = std::to_string(::getpid()) + "-" + std::to_string(rd());
    const std::string making = user + "/new-" + tag;
    if (::mkdir(making.c_str(), 0700) != 0) return;
    lockFd_ = ::open((making + "/" + kLockName).c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (lockFd_ < 0 || ::flock(lockFd_, LOCK_EX) != 0) {
        removeFolder(making);
        return;
    }
    const std::string run = user + "/" + kRunPrefix + tag;
    if (::rename(making.c_str(), run.c_str()) != 0) {
        removeFolder(making);
        return;
    }
    path_ = run;
}

RunFolder::~RunFolder() {
    if (!path_.empty()) removeFolder(path_);
    if (lockFd_ >= 0) ::close(lockFd_);
}

std::string privateTemporaryDirectory() {
    static const RunFolder folder([] {
        const char* t = std::getenv("TMPDIR");
        return std::string(t && *t ? t : "/tmp");
    }());
    return folder.path();
}

}  // namespace plinthora::linux_platform
