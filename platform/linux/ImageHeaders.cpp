#include "platform/linux/ImageHeaders.h"

#include <cerrno>
#include <cstdint>
#include <functional>
#include <utility>

#include <fcntl.h>
#include <unistd.h>

namespace plinthora::linux_platform {

namespace {

using ReadAt = std::function<std::string(uint64_t offset, size_t size)>;

uint32_t be16(const std::string& b, size_t i) { return (uint32_t(uint8_t(b[i])) << 8) | uint8_t(b[i + 1]); }
uint32_t be32(const std::string& b, size_t i) { return (be16(b, i) << 16) | be16(b, i + 2); }

// The EXIF orientation (1–8) in an APP1 payload, or 0.
int exifOrientation(const std::string& app1) {
    if (app1.size() < 14 || app1.compare(0, 6, std::string("Exif\0\0", 6)) != 0) return 0;
    const std::string tiff = app1.substr(6);
    const bool little = tiff.compare(0, 4, "II*\0", 4) == 0;
    if (!little && tiff.compare(0, 4, "MM\0*", 4) != 0) return 0;
    auto u16 = [&](size_t i) -> uint32_t {
        if (i + 2 > tiff.size()) return 0;
        const uint32_t a = uint8_t(tiff[i]), b = uint8_t(tiff[i + 1]);
        return little ? (a | b << 8) : (a << 8 | b);
    };
    auto u32 = [&](size_t i) -> uint32_t { return little ? (u16(i) | u16(i + 2) << 16) : (u16(i) << 16 | u16(i + 2)); };
    const uint32_t ifd = u32(4);
    if (ifd + 2 > tiff.size()) return 0;
    const uint32_t count = u16(ifd);
    for (uint32_t k = 0; k < count; ++k) {
        const size_t entry = ifd + 2 + size_t(k) * 12;
        if (entry + 12 > tiff.size()) return 0;
        if (u16(entry) == 0x0112) {
            const uint32_t value = u16(entry + 8);  // SHORT, left-justified in the value field
            return value >= 1 && value <= 8 ? int(value) : 0;
        }
    }
    return 0;
}

std::optional<PixelSize> pngSize(const ReadAt& read) {
    const std::string h = read(0, 24);
    static const char sig[] = "\x89PNG\r\n\x1a\n";
    if (h.size() < 24 || h.compare(0, 8, sig, 8) != 0 || h.compare(12, 4, "IHDR") != 0) return std::nullopt;
    const uint32_t w = be32(h, 16), hgt = be32(h, 20);
    if (w == 0 || hgt == 0 || w > 0x7fffffff || hgt > 0x7fffffff) return std::nullopt;
    return PixelSize{int(w), int(hgt)};
}

// Walks the marker segments up to the first frame header, seeking over
// segment bodies, so a large EXIF thumbnail or ICC profile costs nothing.
std::optional<PixelSize> jpegSize(const ReadAt& read) {
    if (read(0, 2) != "\xFF\xD8") return std::nullopt;
    uint64_t pos = 2;
    int orientation = 0;
    for (int guard = 0; guard < 4096; ++guard) {
        std::string m = read(pos, 2);
        if (m.size() < 2 || uint8_t(m[0]) != 0xFF) return std::nullopt;
        // Fill bytes: any number of 0xFF before a marker.
        while (uint8_t(m[1]) == 0xFF) {
            ++pos;
            m = read(pos, 2);
            if (m.size() < 2) return std::nullopt;
        }
        const uint8_t marker = uint8_t(m[1]);
        if (marker == 0x01 || (marker >= 0xD0 && marker <= 0xD8)) {  // no length
            pos += 2;
            continue;
        }
        if (marker == 0xD9 || marker == 0xDA) return std::nullopt;  // no frame header before the data
        const std::string lenBytes = read(pos + 2, 2);
        if (lenBytes.size() < 2) return std::nullopt;
        const uint32_t len = be16(lenBytes, 0);
        if (len < 2) return std::nullopt;
        const bool isFrame = marker >= 0xC0 && marker <= 0xCF && marker != 0xC4 && marker != 0xC8 && marker != 0xCC;
        if (isFrame) {
            const std::string f = read(pos + 4, 5);
            if (f.size() < 5) return std::nullopt;
            int h = int(be16(f, 1)), w = int(be16(f, 3));
            if (w == 0 || h == 0) return std::nullopt;
            if (orientation >= 5) std::swap(w, h);
            return PixelSize{w, h};
        }
        if (marker == 0xE1 && orientation == 0) orientation = exifOrientation(read(pos + 4, len - 2));
        pos += 2 + len;
    }
    return std::nullopt;
}

std::optional<PixelSize> sizeFrom(const ReadAt& read) {
    if (auto s = pngSize(read)) return s;
    return jpegSize(read);
}

}  // namespace

std::optional<PixelSize> imagePixelSizeFromBytes(const std::string& header) {
    return sizeFrom([&](uint64_t offset, size_t size) -> std::string {
        if (offset >= header.size()) return {};
        return header.substr(size_t(offset), size);
    });
}

std::optional<PixelSize> readImagePixelSize(const std::string& path) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return std::nullopt;
    auto result = sizeFrom([fd](uint64_t offset, size_t size) -> std::string {
        std::string buf(size, '\0');
        size_t got = 0;
        while (got < size) {
            const ssize_t n = ::pread(fd, buf.data() + got, size - got, off_t(offset + got));
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) break;
            got += size_t(n);
        }
        buf.resize(got);
        return buf;
    });
    ::close(fd);
    return result;
}

}  // namespace plinthora::linux_platform
