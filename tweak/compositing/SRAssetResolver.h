// Which shell and which watermark file a composition uses.
#pragma once

#include <optional>
#include <string>

namespace plinthora {

inline constexpr const char* kAssetRoot = "/var/mobile/Ozrin";
inline constexpr const char* kShellFolder = "/var/mobile/Ozrin/套壳素材";
inline constexpr const char* kLandscapeShellFolder = "/var/mobile/Ozrin/横屏素材";
inline constexpr const char* kWatermarkFolder = "/var/mobile/Ozrin/水印素材";

class SRAssetResolver {
public:
    // A full path, or nullopt when nothing qualifies.
    static std::optional<std::string> resolveShellPathIsLandscape(bool landscape);
    static std::optional<std::string> resolveWatermarkPath();

    // Lower-cased name ends with ".png" or ".jpg".
    static bool qualifiesAsImageName(const std::string& name);
    // A single file name: no "/", not "." or "..", no NUL, not empty.
    static bool isBareName(const std::string& name);
};

}  // namespace plinthora
