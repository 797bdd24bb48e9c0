// Temporary movies live in a folder of their own per process, inside a
// private per-user folder: <TMPDIR or /tmp>/plinthora-<uid>/run-…/. A run
// holds a lock on its folder for as long as it lives, so the next program
// to start can tell the leftovers of a killed run (lock free) from the
// files of an export in flight elsewhere (lock held), and removes only the
// former.
#pragma once

#include <string>

namespace plinthora::linux_platform {

class RunFolder {
public:
    // Makes (or checks) the per-user folder under `base`, sweeps the folders
    // of dead runs and creates this run's folder. path() is empty when the
    // per-user folder is not safely ours (another owner, a link, not a
    // folder) or cannot be made.
    explicit RunFolder(const std::string& base);
    // Removes this run's folder and what is left in it.
    ~RunFolder();
    RunFolder(const RunFolder&) = delete;
    RunFolder& operator=(const RunFolder&) = delete;

    const std::string& path() const { return path_; }

private:
    std::string path_;
    int lockFd_ = -1;
};

// This process's run folder under $TMPDIR (or /tmp), made on first use.
std::string privateTemporaryDirectory();

}  // namespace plinthora::linux_platform
