#include "host/daemon/TweakLoader.h"

#include <dlfcn.h>
#include <unistd.h>

#include <climits>
#include <filesystem>

namespace plinthora::host {

namespace {

std::string executableDir() {
    std::error_code ec;
    auto exe = std::filesystem::read_symlink("/proc/self/exe", ec);
    return ec ? std::string() : exe.parent_path().string();
}

}  // namespace

std::vector<std::string> tweakCandidates(const std::string& explicitPath) {
    if (!explicitPath.empty()) return {explicitPath};
    std::vector<std::string> out;
    const std::string dir = executableDir();
    if (!dir.empty()) {
        out.push_back(dir + "/" + kTweakFileName);
        out.push_back(dir + "/../" PLINTHORA_INSTALL_LIBDIR "/plinthora/" + kTweakFileName);
    }
    out.push_back(std::string(PLINTHORA_BUILD_TWEAK_DIR) + "/" + kTweakFileName);
    return out;
}

bool Tweak::open(const std::vector<std::string>& candidates, std::string& error) {
    error.clear();
    for (const std::string& path : candidates) {
        if (::access(path.c_str(), F_OK) != 0) {
            error += "\n  " + path + ": not there";
            continue;
        }
        // RTLD_LOCAL: nothing of the library leaks into the global scope,
        // and RTLD_NOW: a missing symbol fails here, not on the first
        // screenshot.
        void* h = ::dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
        if (!h) {
            error += "\n  " + path + ": " + ::dlerror();
            continue;
        }
        handle_ = h;
        path_ = path;
        error.clear();
        return true;
    }
    error = "cannot find the tweak library " + std::string(kTweakFileName) + ":" + error;
    return false;
}

bool Tweak::start(const Platform& platform, std::string& error) {
    using SetPlatform = void (*)(const Platform*);
    using Init = void (*)();
    using PlatformAccessor = Platform& (*)();
    auto set = reinterpret_cast<SetPlatform>(::dlsym(handle_, "PlinthoraSetPlatform"));
    auto init = reinterpret_cast<Init>(::dlsym(handle_, "SRTweakInit"));
    if (!set || !init) {
        error = path_ + " lacks PlinthoraSetPlatform or SRTweakInit";
        return false;
    }
    set(&platform);

    // plinthora::platform() as the library resolves it.
    auto inLibrary = reinterpret_cast<PlatformAccessor>(::dlsym(handle_, "_ZN9plinthora8platformEv"));
    if (!inLibrary) {
        platformCheck_ = "not checkable (the library does not export its holder)";
    } else {
        const Platform& seen = inLibrary();
        const bool same = seen.dispatch == platform.dispatch && seen.fs == platform.fs &&
                          seen.photos == platform.photos && seen.hooks == platform.hooks;
        if (!same) {
            error = "the tweak library does not see the platform it was handed (two copies of the core's holder)";
            platformCheck_ = "FAILED";
            return false;
        }
        platformCheck_ = &seen == &plinthora::platform() ? "set (shared holder)" : "set (the library's own holder)";
    }
    init();
    return true;
}

}  // namespace plinthora::host
