#include "platform/linux/LibrarySaves.h"

#include "platform/ports/Platform.h"

#include <chrono>
#include <cstdio>
#include <ctime>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace plinthora::linux_platform {

std::string newResultStem() {
    const auto now = std::chrono::system_clock::now();
    const std::time_t secs = std::chrono::system_clock::to_time_t(now);
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count() % 1000;
    std::tm local{};
    localtime_r(&secs, &local);
    char buf[64];
    const size_t n = std::strftime(buf, sizeof buf, "Plinthora_%Y%m%d_%H%M%S", &local);
    std::snprintf(buf + n, sizeof buf - n, "_%03d", static_cast<int>(ms));
    return buf;
}

bool isSaveTempName(const std::string& name) {
    return name.rfind(std::string(".") + kSaveTempStem, 0) == 0 && name.ends_with(kSaveTempSuffix);
}

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

}  // namespace plinthora::linux_platform
