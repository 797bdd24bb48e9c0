#include "compositing/SRAssetResolver.h"

#include "platform/ports/Platform.h"
#include "settings/SRSettings.h"

#include <algorithm>
#include <cctype>
#include <vector>

namespace plinthora {

namespace {

std::vector<std::string> qualifyingNames(const std::string& folder) {
    auto names = platform().fs->listDirectory(folder).value_or(std::vector<std::string>{});
    std::erase_if(names, [](const std::string& n) { return !SRAssetResolver::qualifiesAsImageName(n); });
    return names;
}

// Steps shared by both look-ups once the folder is chosen: random choice,
// then the selected name, then the first qualifying entry.
std::optional<std::string> resolveIn(const std::string& folder, bool random, const SharedString& selected) {
    Platform& p = platform();
    if (random) {
        std::vector<std::string> names = qualifyingNames(folder);
        if (!names.empty()) {
            uint32_t i = p.random->uniform(static_cast<uint32_t>(names.size()));
            return folder + "/" + names[i];
        }
    } else if (selected) {
        // The name comes from a user-editable file: anything but a bare name
        // would reach outside the folder, so it counts as no selection.
        if (SRAssetResolver::isBareName(*selected)) {
            std::string path = folder + "/" + *selected;
            if (p.fs->exists(path)) return path;
        } else {
            debugLog("ignoring selected asset name that is not a bare file name");
        }
    }
    std::vector<std::string> names = qualifyingNames(folder);
    if (names.empty()) return std::nullopt;
    return folder + "/" + names.front();
}

}  // namespace

bool SRAssetResolver::qualifiesAsImageName(const std::string& name) {
    std::string lower(name);
    std::transform(lower.begin(), lower.end(), lower.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return lower.ends_with(".png") || lower.ends_with(".jpg");
}

bool SRAssetResolver::isBareName(const std::string& name) {
    return !name.empty() && name != "." && name != ".." && name.find('/') == std::string::npos &&
           name.find('\0') == std::string::npos;
}

std::optional<std::string> SRAssetResolver::resolveShellPathIsLandscape(bool landscape) {
    const std::string folder = landscape ? kLandscapeShellFolder : kShellFolder;
    platform().fs->createDirectories(folder);
    SRSettings& s = settings();
    return resolveIn(folder, s.randomShell, s.selectedShell());
}

std::optional<std::string> SRAssetResolver::resolveWatermarkPath() {
    SRSettings& s = settings();
    return resolveIn(kWatermarkFolder, s.randomWatermark, s.selectedWatermark());
}

}  // namespace plinthora
