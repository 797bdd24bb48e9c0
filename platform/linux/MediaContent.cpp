#include "platform/linux/MediaContent.h"

#include <array>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <string_view>

#include <fcntl.h>
#include <unistd.h>

namespace plinthora::linux_platform {

namespace {

constexpr std::string_view kPngSignature("\x89PNG\r\n\x1a\n", 8);
constexpr std::string_view kMarkKeyword = "Software";
// A movie index larger than this is not one of ours.
constexpr uint64_t kLargestIndex = 64u << 20;

uint32_t be32(const std::string& s, size_t at) {
    return uint32_t(uint8_t(s[at])) << 24 | uint32_t(uint8_t(s[at + 1])) << 16 | uint32_t(uint8_t(s[at + 2])) << 8 |
           uint32_t(uint8_t(s[at + 3]));
}

bool at(const std::string& s, size_t offset, std::string_view magic) {
    return s.size() >= offset + magic.size() && std::string_view(s).substr(offset, magic.size()) == magic;
}

// Transport packets are 188 bytes and start with 0x47; an M2TS packet has a
// 4-byte timecode before each. Three in a row is not chance.
bool transportStream(const std::string& head, size_t first, size_t stride) {
    for (size_t i = 0; i < 3; ++i)
        if (head.size() <= first + i * stride || uint8_t(head[first + i * stride]) != 0x47) return false;
    return true;
}

// Ogg puts the first page of every stream ahead of all data pages; a video
// stream's first packet names its codec.
bool oggHasVideo(const std::string& head) {
    static constexpr std::string_view kVideoCodecs[] = {"\x80theora", "OVP80", "BBCD",
                                                        "\x80"
                                                        "daala",
                                                        "\x01video"};
    size_t page = 0;
    while (at(head, page, "OggS") && head.size() >= page + 27) {
        const uint8_t flags = uint8_t(head[page + 5]);
        if (!(flags & 0x02)) break;  // past the first pages
        const size_t segments = uint8_t(head[page + 26]);
        if (head.size() < page + 27 + segments) break;
        size_t body = 0;
        for (size_t i = 0; i < segments; ++i) body += uint8_t(head[page + 27 + i]);
        const size_t packet = page + 27 + segments;
        for (std::string_view codec : kVideoCodecs)
            if (at(head, packet, codec)) return true;
        page = packet + body;
    }
    return false;
}

// The text of a PNG tEXt chunk: keyword, a zero byte, the text.
std::string markChunkData() { return std::string(kMarkKeyword) + '\0' + kResultMark; }

uint32_t crc32(const std::string& bytes) {
    static const auto table = [] {
        std::array<uint32_t, 256> t{};
        for (uint32_t n = 0; n < 256; ++n) {
            uint32_t c = n;
            for (int k = 0; k < 8; ++k) c = c & 1 ? 0xEDB88320u ^ (c >> 1) : c >> 1;
            t[n] = c;
        }
        return t;
    }();
    uint32_t c = 0xFFFFFFFFu;
    for (unsigned char b : bytes) c = table[(c ^ b) & 0xFF] ^ (c >> 8);
    return c ^ 0xFFFFFFFFu;
}

void putBe32(std::string& out, uint32_t v) {
    for (int i = 3; i >= 0; --i) out.push_back(char(v >> (8 * i)));
}

bool pngCarriesMark(const std::string& head) {
    const std::string want = markChunkData();
    for (size_t p = kPngSignature.size(); head.size() >= p + 8;) {
        const uint32_t length = be32(head, p);
        if (at(head, p + 4, "IDAT") || at(head, p + 4, "IEND")) return false;
        if (at(head, p + 4, "tEXt") && length == want.size() && at(head, p + 8, want)) return true;
        p += 12 + size_t(length);
    }
    return false;
}

bool preadAll(int fd, char* data, size_t size, uint64_t offset) {
    while (size > 0) {
        const ssize_t n = ::pread(fd, data, size, off_t(offset));
        if (n <= 0) return false;
        data += n;
        size -= size_t(n);
        offset += uint64_t(n);
    }
    return true;
}

// The movie's index ("moov", at the front or the end) holds its tags; ours
// is a comment ("\xa9cmt") whose data is the mark.
bool movieCarriesMark(int fd) {
    std::string want(
        "\xa9"
        "cmt",
        4);
    std::string data("data\0\0\0\x01\0\0\0\0", 12);
    uint64_t offset = 0;
    for (int boxes = 0; boxes < 64; ++boxes) {
        std::string header(16, '\0');
        if (!preadAll(fd, header.data(), 8, offset)) return false;
        uint64_t size = be32(header, 0);
        uint64_t headerSize = 8;
        if (size == 1) {
            if (!preadAll(fd, header.data() + 8, 8, offset + 8)) return false;
            size = uint64_t(be32(header, 8)) << 32 | be32(header, 12);
            headerSize = 16;
        }
        if (at(header, 4, "moov")) {
            if (size < headerSize || size - headerSize > kLargestIndex) return false;
            std::string index(size_t(size - headerSize), '\0');
            if (!preadAll(fd, index.data(), index.size(), offset + headerSize)) return false;
            const size_t tagSize = want.size() + 4 + data.size() + std::strlen(kResultMark);
            for (size_t p = index.find(want); p != std::string::npos; p = index.find(want, p + 1)) {
                if (index.size() < p + tagSize) continue;
                if (be32(index, p + 4) == 4 + data.size() + std::strlen(kResultMark) &&
                    index.compare(p + 8, data.size(), data) == 0 &&
                    index.compare(p + 8 + data.size(), std::strlen(kResultMark), kResultMark) == 0)
                    return true;
            }
            return false;
        }
        if (size < headerSize) return false;  // 0: the last box runs to the end
        offset += size;
    }
    return false;
}

}  // namespace

MovieContainer movieContainer(const std::string& head) {
    if (at(head, 4, "ftyp") || at(head, 4, "moov") || at(head, 4, "mdat") || at(head, 4, "wide"))
        return MovieContainer::Mpeg4;
    if (at(head, 0, "\x1A\x45\xDF\xA3")) return MovieContainer::Matroska;
    if (at(head, 0, "RIFF") && at(head, 8, "AVI ")) return MovieContainer::Avi;
    if (at(head, 0, "FLV\x01")) return MovieContainer::Flv;
    if (at(head, 0, "OggS")) return oggHasVideo(head) ? MovieContainer::Ogg : MovieContainer::None;
    if (transportStream(head, 0, 188) || transportStream(head, 4, 192)) return MovieContainer::MpegTs;
    return MovieContainer::None;
}

std::optional<std::string> readFileHead(const std::string& path, size_t n) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return std::nullopt;
    std::string head(n, '\0');
    size_t got = 0;
    while (got < n) {
        const ssize_t r = ::read(fd, head.data() + got, n - got);
        if (r < 0 && errno == EINTR) continue;
        if (r <= 0) break;
        got += size_t(r);
    }
    ::close(fd);
    head.resize(got);
    return head;
}

std::string withResultMark(std::string png) {
    // Signature, then IHDR (length, type, 13 bytes, CRC).
    constexpr size_t kAfterHeader = 8 + 12 + 13;
    if (!at(png, 0, kPngSignature) || !at(png, 12, "IHDR") || png.size() < kAfterHeader) return png;
    const std::string body = "tEXt" + markChunkData();
    std::string chunk;
    putBe32(chunk, uint32_t(body.size() - 4));
    chunk += body;
    putBe32(chunk, crc32(body));
    png.insert(kAfterHeader, chunk);
    return png;
}

bool isOwnResult(const std::string& path) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    std::string head(256, '\0');
    const ssize_t n = ::pread(fd, head.data(), head.size(), 0);
    head.resize(n > 0 ? size_t(n) : 0);
    bool ours = false;
    if (at(head, 0, kPngSignature))
        ours = pngCarriesMark(head);
    else if (movieContainer(head) == MovieContainer::Mpeg4)
        ours = movieCarriesMark(fd);
    ::close(fd);
    return ours;
}

}  // namespace plinthora::linux_platform
