#include "platform/linux/PosixFileSystem.h"

#include "platform/linux/Files.h"
#include "platform/linux/RunFolder.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <sys/stat.h>

namespace plinthora::linux_platform {

namespace {

std::string envOr(const char* name, const std::string& fallback) {
    const char* v = std::getenv(name);
    return v && *v ? std::string(v) : fallback;
}

std::string home() { return envOr("HOME", "/tmp"); }

bool startsWith(const std::string& s, const std::string& prefix) {
    return s.compare(0, prefix.size(), prefix) == 0 && (s.size() == prefix.size() || s[prefix.size()] == '/');
}

}  // namespace

std::string PosixFileSystem::realPath(const std::string& devicePath) const {
    const std::string mobile = "/var/mobile";
    if (!startsWith(devicePath, mobile)) return devicePath;
    const std::string rest = devicePath.substr(mobile.size());
    if (const char* root = std::getenv("PLINTHORA_DEVICE_ROOT"); root && *root) return std::string(root) + rest;
    const std::string prefs = "/Library/Preferences/";
    if (rest.compare(0, prefs.size(), prefs) == 0)
        return envOr("XDG_CONFIG_HOME", home() + "/.config") + "/plinthora/" + rest.substr(prefs.size());
    return home() + rest;
}

bool PosixFileSystem::exists(const std::string& path) const {
    struct stat st;
    return ::stat(realPath(path).c_str(), &st) == 0;
}

bool PosixFileSystem::isDirectory(const std::string& path) const {
    struct stat st;
    return ::stat(realPath(path).c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool PosixFileSystem::createDirectories(const std::string& path) { return makeFolders(realPath(path), 0755); }

std::optional<std::vector<std::string>> PosixFileSystem::listDirectory(const std::string& path) const {
    DIR* d = ::opendir(realPath(path).c_str());
    if (!d) return std::nullopt;
    std::vector<std::string> names;
    while (dirent* e = ::readdir(d)) {
        if (std::strcmp(e->d_name, ".") == 0 || std::strcmp(e->d_name, "..") == 0) continue;
        names.emplace_back(e->d_name);
    }
    ::closedir(d);
    return names;
}

std::optional<std::string> PosixFileSystem::readFile(const std::string& path) const {
    return readWholeFile(realPath(path));
}

std::optional<FileStamp> PosixFileSystem::stamp(const std::string& path) const {
    struct stat st;
    if (::stat(realPath(path).c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return std::nullopt;
    return FileStamp{int64_t(st.st_size), int64_t(st.st_mtim.tv_sec) * 1'000'000'000 + st.st_mtim.tv_nsec};
}

bool PosixFileSystem::writeFileAtomically(const std::string& path, const std::string& bytes) {
    return writeAtomically(realPath(path), bytes);
}

bool PosixFileSystem::removeItem(const std::string& path) { return ::remove(realPath(path).c_str()) == 0; }

std::string PosixFileSystem::temporaryDirectory() const { return privateTemporaryDirectory(); }

}  // namespace plinthora::linux_platform
