#include "host/daemon/ExportJournal.h"

#include "platform/linux/Files.h"
#include "platform/ports/Platform.h"

#include <cstdio>
#include <cstdlib>
#include <functional>
#include <string_view>

#include <dirent.h>
#include <unistd.h>

namespace plinthora::host {

namespace {
constexpr std::string_view kSuffix = ".export";
}

std::string ExportJournal::defaultFolder() {
    const char* state = std::getenv("XDG_STATE_HOME");
    const char* home = std::getenv("HOME");
    if (state && *state == '/') return std::string(state) + "/plinthora/exports";
    if (home && *home == '/') return std::string(home) + "/.local/state/plinthora/exports";
    return {};
}

ExportJournal::ExportJournal(std::string folder) : folder_(std::move(folder)) {
    if (folder_.empty() || !linux_platform::makeFolders(folder_, 0700)) {
        folder_.clear();
        return;
    }
    DIR* d = ::opendir(folder_.c_str());
    if (!d) return;
    while (const dirent* e = ::readdir(d)) {
        const std::string name = e->d_name;
        if (!name.ends_with(kSuffix)) continue;
        const auto text = linux_platform::readWholeFile(folder_ + "/" + name);
        // Two lines: the recording's path, the number of starts.
        const auto newline = text ? text->find('\n') : std::string::npos;
        if (newline == std::string::npos) continue;
        Entry entry{text->substr(0, newline), std::atoi(text->c_str() + newline + 1)};
        if (!entry.source.empty()) interrupted_.push_back(std::move(entry));
    }
    ::closedir(d);
}

std::string ExportJournal::fileFor(const std::string& source) const {
    char name[32];
    std::snprintf(name, sizeof name, "%016zx", std::hash<std::string>{}(source));
    return folder_ + "/" + name + std::string(kSuffix);
}

int ExportJournal::begin(const std::string& source) {
    std::lock_guard g(lock_);
    if (folder_.empty()) return 1;
    int attempts = 1;
    if (const auto text = linux_platform::readWholeFile(fileFor(source))) {
        const auto newline = text->find('\n');
        if (newline != std::string::npos && text->compare(0, newline, source) == 0)
            attempts = std::atoi(text->c_str() + newline + 1) + 1;
    }
    if (!linux_platform::writeAtomically(fileFor(source), source + "\n" + std::to_string(attempts) + "\n"))
        debugLog("export journal: cannot note %s", source.c_str());
    return attempts;
}

void ExportJournal::end(const std::string& source) {
    std::lock_guard g(lock_);
    if (!folder_.empty()) ::unlink(fileFor(source).c_str());
}

}  // namespace plinthora::host
