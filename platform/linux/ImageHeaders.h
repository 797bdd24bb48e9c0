// Pixel sizes of PNG and JPEG files read from their headers, without
// decoding: the photo library indexes every screenshot this way.
#pragma once

#include <optional>
#include <string>

namespace plinthora::linux_platform {

struct PixelSize {
    int width = 0;
    int height = 0;
    bool operator==(const PixelSize&) const = default;
};

// Pixel size of a PNG or JPEG read from its header, without decoding. For a
// JPEG, EXIF orientations 5–8 (a quarter turn) swap width and height, so the
// size matches the decoded, upright image.
std::optional<PixelSize> readImagePixelSize(const std::string& path);
std::optional<PixelSize> imagePixelSizeFromBytes(const std::string& header);

}  // namespace plinthora::linux_platform
