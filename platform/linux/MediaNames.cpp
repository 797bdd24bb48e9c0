#include "platform/linux/MediaNames.h"

#include <algorithm>
#include <cctype>
#include <iterator>

namespace plinthora::linux_platform {

namespace {

constexpr const char* kTemporarySuffixes[] = {".part", ".tmp", "~"};

std::string lower(std::string s) {
    std::transform(s.begin(), s.end(), s.begin(), [](unsigned char c) { return char(std::tolower(c)); });
    return s;
}

}  // namespace

std::string lowerExtension(const std::string& name) {
    const auto dot = name.find_last_of('.');
    return dot == std::string::npos || dot == 0 ? std::string() : lower(name.substr(dot));
}

bool isImageExtension(const std::string& ext) { return ext == ".png" || ext == ".jpg" || ext == ".jpeg"; }

bool isVideoExtension(const std::string& ext) {
    static const char* const kVideo[] = {".mp4",  ".m4v", ".mov", ".webm", ".mkv", ".ts",
                                         ".m2ts", ".mts", ".ogv", ".ogg",  ".avi", ".flv"};
    return std::any_of(std::begin(kVideo), std::end(kVideo), [&](const char* e) { return ext == e; });
}

bool isTemporaryName(const std::string& name) {
    if (name.empty() || name[0] == '.') return true;
    const std::string l = lower(name);
    for (const char* suffix : kTemporarySuffixes)
        if (l.ends_with(suffix)) return true;
    return false;
}

std::string withoutTemporarySuffix(const std::string& name) {
    const std::string l = lower(name);
    for (const std::string suffix : kTemporarySuffixes)
        if (l.ends_with(suffix)) return name.substr(0, name.size() - suffix.size());
    return name;
}

}  // namespace plinthora::linux_platform
