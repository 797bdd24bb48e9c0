// Decoding (our PNG fast path, Qt's readers for the rest) and our PNG encoder.
#include "imaging/deflate_rows.h"
#include "imaging/png_decode.h"
#include "imaging/png_encode.h"
#include "platform/linux/QtImaging.h"
#include "synth/Pictures.h"

#include <QBuffer>
#include <QImage>

#include <gtest/gtest.h>
#include <libdeflate.h>
#include <zlib.h>

#include <bit>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <vector>

#include <unistd.h>

using namespace plinthora;
using namespace plinthora::imaging_test;
using plinthora::linux_platform::QtImaging;
namespace png = plinthora::imaging::png;

namespace {

std::string save(const QImage& image, const char* format, int quality = -1) {
    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    EXPECT_TRUE(image.save(&buffer, format, quality));
    return bytes.toStdString();
}

QImage load(const std::string& bytes, QImage::Format format) {
    QImage image;
    image.loadFromData(reinterpret_cast<const uchar*>(bytes.data()), int(bytes.size()), "PNG");
    return image.convertToFormat(format);
}

void putBE32(std::string& s, uint32_t v) {
    for (int shift = 24; shift >= 0; shift -= 8) s.push_back(char(v >> shift));
}

std::string chunk(const char* type, const std::string& data) {
    std::string c;
    putBE32(c, uint32_t(data.size()));
    std::string body = std::string(type, 4) + data;
    c += body;
    putBE32(c, libdeflate_crc32(0, body.data(), body.size()));
    return c;
}

// ---------------------------------------------------------------- decode

TEST(ImagingDecode, PngKeepsPixelsAndPremultiplies) {
    QtImaging img;
    QImage source(13, 7, QImage::Format_ARGB32);
    for (int y = 0; y < 7; ++y)
        for (int x = 0; x < 13; ++x) source.setPixel(x, y, qRgba(x * 19, y * 36, 200, (x * 40 + y * 13) % 256));
    const Image decoded = img.decode(save(source, "PNG"));
    ASSERT_TRUE(decoded);
    ASSERT_EQ(decoded->width, 13);
    ASSERT_EQ(decoded->height, 7);
    EXPECT_EQ(decoded->scale, 1.0);
    for (int y = 0; y < 7; ++y)
        for (int x = 0; x < 13; ++x) {
            const QRgb s = source.pixel(x, y);
            EXPECT_LE(channelDistance(decoded->at(x, y), premultiplied(qAlpha(s), qRed(s), qGreen(s), qBlue(s))), 1);
        }
}

// A JPEG with an EXIF APP1 segment carrying only the orientation tag.
std::string withOrientation(const std::string& jpeg, uint16_t orientation) {
    std::string tiff = std::string("MM\0*", 4);
    putBE32(tiff, 8);                    // IFD0 offset
    tiff += std::string("\0\1", 2);      // one entry
    tiff += std::string("\x01\x12", 2);  // Orientation
    tiff += std::string("\0\3", 2);      // SHORT
    putBE32(tiff, 1);                    // count
    tiff.push_back(char(orientation >> 8));
    tiff.push_back(char(orientation & 255));
    tiff += std::string("\0\0", 2);  // value padding
    putBE32(tiff, 0);                // no next IFD
    const std::string payload = std::string("Exif\0\0", 6) + tiff;
    std::string app1 = "\xFF\xE1";
    const size_t len = payload.size() + 2;
    app1.push_back(char(len >> 8));
    app1.push_back(char(len & 255));
    app1 += payload;
    EXPECT_EQ(jpeg.substr(0, 2), "\xFF\xD8");
    return jpeg.substr(0, 2) + app1 + jpeg.substr(2);
}

TEST(ImagingDecode, JpegAppliesExifOrientation) {
    QtImaging img;
    // Stored 64 × 32 with four flat quadrants.
    QImage stored(64, 32, QImage::Format_RGB32);
    const QRgb tl = qRgb(230, 20, 20), tr = qRgb(20, 230, 20), bl = qRgb(20, 20, 230), br = qRgb(240, 240, 240);
    for (int y = 0; y < 32; ++y)
        for (int x = 0; x < 64; ++x) stored.setPixel(x, y, y < 16 ? (x < 32 ? tl : tr) : (x < 32 ? bl : br));
    const std::string jpeg = save(stored, "JPEG", 95);
    auto near = [](uint32_t p, QRgb c) {
        return std::abs(redOf(p) - qRed(c)) < 24 && std::abs(greenOf(p) - qGreen(c)) < 24 &&
               std::abs(blueOf(p) - qBlue(c)) < 24 && alphaOf(p) == 255;
    };
    struct Case {
        uint16_t orientation;
        int w, h;
        QRgb topLeft, topRight, bottomLeft, bottomRight;  // as displayed
    };
    const Case cases[] = {
        {1, 64, 32, tl, tr, bl, br},
        {3, 64, 32, br, bl, tr, tl},  // rotated 180°
        {6, 32, 64, bl, tl, br, tr},  // rotate 90° clockwise to display
        {8, 32, 64, tr, br, tl, bl},  // rotate 90° counter-clockwise
    };
    for (const Case& c : cases) {
        const Image d = img.decode(withOrientation(jpeg, c.orientation));
        ASSERT_TRUE(d) << c.orientation;
        ASSERT_EQ(d->width, c.w) << c.orientation;
        ASSERT_EQ(d->height, c.h) << c.orientation;
        const int qx = c.w / 4, qy = c.h / 4;
        EXPECT_TRUE(near(d->at(qx, qy), c.topLeft)) << c.orientation;
        EXPECT_TRUE(near(d->at(3 * qx, qy), c.topRight)) << c.orientation;
        EXPECT_TRUE(near(d->at(qx, 3 * qy), c.bottomLeft)) << c.orientation;
        EXPECT_TRUE(near(d->at(3 * qx, 3 * qy), c.bottomRight)) << c.orientation;
    }
}

// A PNG that only declares its size: header, a token IDAT, end.
std::string declaredPng(uint32_t w, uint32_t h) {
    std::string ihdr;
    putBE32(ihdr, w);
    putBE32(ihdr, h);
    ihdr += std::string("\x08\x06\x00\x00\x00", 5);
    const std::string idat("\x78\x9c\x03\x00\x00\x00\x00\x01", 8);
    return std::string("\x89PNG\r\n\x1a\n", 8) + chunk("IHDR", ihdr) + chunk("IDAT", idat) + chunk("IEND", "");
}

int paethReference(int a, int b, int c) {
    const int p = a + b - c, pa = std::abs(p - a), pb = std::abs(p - b), pc = std::abs(p - c);
    return pa <= pb && pa <= pc ? a : pb <= pc ? b : c;
}

// PNGs whose rows cycle through all five filters, RGB and RGBA with every
// kind of alpha, image data split over several chunks: the fast PNG path
// gives exactly the pixels of Qt's reader on the same bytes.
TEST(ImagingDecode, FastPngPathMatchesQtsReaderForEveryFilter) {
    std::mt19937 rng(17);
    // A one-pixel-wide RGB picture leaves its rows no slack in the buffer
    // they are undone in.
    for (auto [colour, w] : {std::pair{2, 37}, {6, 37}, {2, 1}, {6, 1}}) {
        SCOPED_TRACE(testing::Message() << colour << " " << w);
        const int h = 41, bpp = colour == 6 ? 4 : 3;
        std::string rows;
        std::vector<int> prev(size_t(w * bpp), 0), cur(size_t(w * bpp));
        for (int y = 0; y < h; ++y) {
            for (int i = 0; i < w * bpp; ++i) {
                const int x = i / bpp;
                cur[size_t(i)] = (x * 9 + y * 5 + i % bpp * 60 + (rng() % 3 == 0 ? int(rng() % 256) : 0)) & 255;
                if (bpp == 4 && i % 4 == 3) cur[size_t(i)] = x % 5 == 0 ? 0 : x % 5 == 1 ? 255 : (x * y * 7) & 255;
            }
            const int filter = y % 5;
            rows.push_back(char(filter));
            for (int i = 0; i < w * bpp; ++i) {
                const int a = i >= bpp ? cur[size_t(i - bpp)] : 0, b = prev[size_t(i)];
                const int c = i >= bpp ? prev[size_t(i - bpp)] : 0;
                const int pred = filter == 0   ? 0
                                 : filter == 1 ? a
                                 : filter == 2 ? b
                                 : filter == 3 ? (a + b) / 2
                                               : paethReference(a, b, c);
                rows.push_back(char((cur[size_t(i)] - pred) & 255));
            }
            prev = cur;
        }
        libdeflate_compressor* z = libdeflate_alloc_compressor(6);
        std::string stream(libdeflate_zlib_compress_bound(z, rows.size()), '\0');
        stream.resize(libdeflate_zlib_compress(z, rows.data(), rows.size(), stream.data(), stream.size()));
        libdeflate_free_compressor(z);
        ASSERT_GT(stream.size(), 20u);
        std::string ihdr;
        putBE32(ihdr, w);
        putBE32(ihdr, h);
        ihdr += std::string{8, char(colour), 0, 0, 0};
        const size_t third = stream.size() / 3;
        const std::string bytes = std::string("\x89PNG\r\n\x1a\n", 8) + chunk("IHDR", ihdr) +
                                  chunk("IDAT", stream.substr(0, third)) + chunk("IDAT", stream.substr(third, third)) +
                                  chunk("IDAT", stream.substr(2 * third)) + chunk("IEND", "");

        Bitmap ours;
        ASSERT_EQ(png::decode(bytes, QtImaging::kMaxDecodePixels, ours), png::DecodeResult::Decoded);
        const QImage qt = load(bytes, QImage::Format_ARGB32_Premultiplied);
        ASSERT_EQ(qt.size(), QSize(w, h));
        ASSERT_EQ(ours.width, w);
        ASSERT_EQ(ours.height, h);
        for (int y = 0; y < h; ++y)
            for (int x = 0; x < w; ++x)
                ASSERT_EQ(ours.at(x, y), reinterpret_cast<const uint32_t*>(qt.constScanLine(y))[x]) << x << "," << y;
    }
}

TEST(ImagingDecode, RefusesWhatDoesNotLoad) {
    QtImaging img;
    std::mt19937 rng(3);
    std::string garbage(4096, '\0');
    for (char& c : garbage) c = char(rng());
    QImage noisy(64, 64, QImage::Format_ARGB32);
    for (int y = 0; y < 64; ++y)
        for (int x = 0; x < 64; ++x) noisy.setPixel(x, y, rng());
    const std::string goodPng = save(noisy, "PNG");
    // A kind the fast path leaves to the general decoder.
    const std::string palettePng = save(noisy.convertToFormat(QImage::Format_Indexed8), "PNG");
    std::string badCrc = goodPng;
    badCrc[badCrc.find("IDAT") + 8] ^= 1;  // the first image data byte
    const std::pair<const char*, std::string> cases[] = {
        {"empty", ""},
        {"garbage", garbage},
        {"png signature only", std::string("\x89PNG\r\n\x1a\n", 8)},
        {"over 100 megapixels", declaredPng(20000, 5001)},
        {"absurd size", declaredPng(0x7FFFFFFF, 0x7FFFFFFF)},
        {"truncated header", goodPng.substr(0, 20)},
        {"cut short in the pixels", goodPng.substr(0, goodPng.size() / 2)},
        {"cut short before IEND", goodPng.substr(0, goodPng.size() - 12)},
        {"palette PNG cut short", palettePng.substr(0, palettePng.size() / 2)},
        {"damaged image data", badCrc},
    };
    // A screenshot read while still being written is no error of ours to
    // print: nothing reaches stderr (the decoders' own reports included).
    std::FILE* captured = std::tmpfile();
    ASSERT_NE(captured, nullptr);
    std::fflush(stderr);
    const int savedErr = ::dup(2);
    ::dup2(::fileno(captured), 2);
    for (const auto& [name, bytes] : cases) EXPECT_EQ(img.decode(bytes), nullptr) << name;
    std::fflush(stderr);
    ::dup2(savedErr, 2);
    ::close(savedErr);
    std::rewind(captured);
    std::string said;
    for (int c; (c = std::fgetc(captured)) != EOF;) said.push_back(char(c));
    std::fclose(captured);
    EXPECT_EQ(said, "");
    EXPECT_NE(img.decode(palettePng), nullptr) << "a whole palette PNG still decodes";
}

TEST(ImagingDecode, LoadsImagesBeyondQtsDefaultAllocationLimit) {
    // 6100 × 6000 = 36.6 MP, 146 MB of pixels: over Qt's 128 MB default,
    // well within our 100 MP.
    QtImaging img;
    std::string bytes;
    {
        Bitmap big(6100, 6000);
        std::fill(big.pixels.begin(), big.pixels.end(), 0xFF336699u);
        big.at(6099, 5999) = 0xFF000000u;
        bytes = *img.encodePng(big);
    }
    const Image d = img.decode(bytes);
    ASSERT_TRUE(d);
    EXPECT_EQ(d->width, 6100);
    EXPECT_EQ(d->height, 6000);
    EXPECT_EQ(d->at(0, 0), 0xFF336699u);
    EXPECT_EQ(d->at(6099, 5999), 0xFF000000u);
}

// ---------------------------------------------------------------- encode

// Which rows are noise: `Mixed` puts smooth rows between noisy ones, so
// that every filter type gets chosen and every block is noisy enough for
// the fast level (and so the pixel matcher); `NoisyTop` fills the upper
// half with a jitter of a few bits and the lower with smooth rows, so that
// at level 6 a libdeflate stream is followed by our own writer's final one
// (smooth blocks are flat enough for it, at any level but 0); `SmoothTop`
// the other way round, so that ours is left open for libdeflate's;
// `Smooth` has no noise at all, only our writer's streams joined to each
// other; `Grain` is a photo's grain, the same jitter on all three
// channels, for our pixel matcher.
enum class Noise { Mixed, NoisyTop, SmoothTop, Smooth, Grain };

struct EncodeCase {
    int w, h, level, blocks;
    Noise noise = Noise::Mixed;
};

TEST(ImagingPngEncode, OpaqueImagesRoundTripBitExactly) {
    const EncodeCase cases[] = {{1, 1, 6, 1},
                                {37, 23, 1, 1},
                                {300, 200, 6, 3},
                                {64, 500, 12, 7},
                                {90, 60, 0, 4},
                                {400, 240, 6, 4, Noise::NoisyTop},
                                {333, 90, 6, 0, Noise::NoisyTop},
                                {333, 90, 6, 3, Noise::SmoothTop},
                                {200, 120, 6, 2, Noise::Smooth},
                                {1, 300, 4, 7, Noise::Smooth},
                                {201, 64, 0, 2, Noise::Smooth},
                                {1170, 240, 4, 3, Noise::Grain}};
    for (const EncodeCase& c : cases) {
        Bitmap b = randomBitmap(c.w, c.h, uint32_t(c.w * 31 + c.h));
        for (int y = 0; y < c.h; ++y) {
            const bool noisy = c.noise == Noise::Mixed       ? y % 3 != 0
                               : c.noise == Noise::NoisyTop  ? y < c.h / 2
                               : c.noise == Noise::SmoothTop ? y >= c.h / 2
                                                             : false;
            for (int x = 0; x < c.w; ++x) {
                const uint32_t grain = (x + y) / 16 + b.at(x, y) % 12, grey = 0x010101u * grain;
                const uint32_t jitter = c.noise == Noise::Mixed ? b.at(x, y) : b.at(x, y) & 0x070707u;
                b.at(x, y) = c.noise == Noise::Grain ? 0xFF000000u | grey
                             : noisy                 ? 0xFF000000u | jitter
                                                     : 0xFF000000u | uint32_t(x * 3 % 256) << 8 | uint32_t(y % 256);
            }
        }
        const auto bytes = png::encode(b, c.level, c.blocks);
        ASSERT_TRUE(bytes);
        const QImage back = load(*bytes, QImage::Format_ARGB32);
        ASSERT_EQ(back.width(), c.w);
        ASSERT_EQ(back.height(), c.h);
        for (int y = 0; y < c.h; ++y)
            ASSERT_EQ(std::memcmp(back.constScanLine(y), &b.pixels[size_t(y) * size_t(c.w)], size_t(c.w) * 4), 0)
                << c.w << "x" << c.h << " row " << y;
    }
}

TEST(ImagingPngEncode, TranslucentImagesRoundTripAfterPremultiplying) {
    QtImaging img;
    const EncodeCase cases[] = {{257, 130, 6, 0}, {40, 40, 6, 2}, {1170, 300, 3, 0}};
    for (const EncodeCase& c : cases) {
        const Bitmap b = randomBitmap(c.w, c.h, uint32_t(c.h));
        const auto bytes = c.blocks ? png::encode(b, c.level, c.blocks) : img.encodePng(b);
        ASSERT_TRUE(bytes);
        const Image back = img.decode(*bytes);
        ASSERT_TRUE(back);
        ASSERT_EQ(back->width, c.w);
        int worst = 0;
        for (size_t i = 0; i < b.pixels.size(); ++i) {
            ASSERT_EQ(alphaOf(back->pixels[i]), alphaOf(b.pixels[i]));
            worst = std::max(worst, channelDistance(back->pixels[i], b.pixels[i]));
        }
        EXPECT_LE(worst, 1) << c.w << "x" << c.h;
    }
}

// Parses the chunks, checks every CRC and inflates IDAT with a checking
// zlib decoder (which verifies the Adler-32).
TEST(ImagingPngEncode, ChunksAndZlibStreamAreWellFormed) {
    const Bitmap b = randomBitmap(500, 400, 77);
    const auto bytes = png::encode(b, 6, 5);
    ASSERT_TRUE(bytes);
    const std::string& s = *bytes;
    ASSERT_EQ(s.substr(0, 8), std::string("\x89PNG\r\n\x1a\n", 8));
    std::vector<std::string> types;
    std::string idat;
    for (size_t at = 8; at < s.size();) {
        ASSERT_LE(at + 12, s.size());
        const uint32_t len = uint32_t(uint8_t(s[at])) << 24 | uint32_t(uint8_t(s[at + 1])) << 16 |
                             uint32_t(uint8_t(s[at + 2])) << 8 | uint8_t(s[at + 3]);
        ASSERT_LE(at + 12 + len, s.size());
        const std::string type = s.substr(at + 4, 4);
        const uint32_t crc = libdeflate_crc32(0, s.data() + at + 4, len + 4);
        const size_t c = at + 8 + len;
        const uint32_t stored = uint32_t(uint8_t(s[c])) << 24 | uint32_t(uint8_t(s[c + 1])) << 16 |
                                uint32_t(uint8_t(s[c + 2])) << 8 | uint8_t(s[c + 3]);
        EXPECT_EQ(crc, stored) << type;
        if (type == "IDAT") idat += s.substr(at + 8, len);
        types.push_back(type);
        at = c + 4;
    }
    ASSERT_GE(types.size(), 3u);
    EXPECT_EQ(types.front(), "IHDR");
    EXPECT_EQ(types.back(), "IEND");
    const size_t raw = size_t(400) * (500 * 4 + 1);
    std::vector<uint8_t> out(raw);
    libdeflate_decompressor* d = libdeflate_alloc_decompressor();
    size_t got = 0;
    EXPECT_EQ(libdeflate_zlib_decompress(d, idat.data(), idat.size(), out.data(), out.size(), &got),
              LIBDEFLATE_SUCCESS);
    libdeflate_free_decompressor(d);
    EXPECT_EQ(got, raw);
    for (int y = 0; y < 400; ++y) EXPECT_LE(out[size_t(y) * (500 * 4 + 1)], 4) << "filter type of row " << y;
}

// Independent raw DEFLATE streams, made joinable, inflate to the
// concatenation of their inputs, whatever block types libdeflate chose.
TEST(ImagingPngEncode, JoinedDeflateStreamsInflateToTheConcatenation) {
    std::mt19937 rng(12);
    for (int level : {0, 1, 6, 12}) {
        std::vector<uint8_t> all, joined;
        for (int part = 0; part < 5; ++part) {
            // Text-like, random, constant and skewed pieces (the last with
            // codes longer than the walk's first lookup) of various sizes.
            std::vector<uint8_t> input(size_t(1 + rng() % 200000));
            const int kind = part % 4;
            for (size_t i = 0; i < input.size(); ++i)
                input[i] = kind == 0   ? uint8_t("the quick brown fox "[i % 20] + (rng() % 7 == 0))
                           : kind == 1 ? uint8_t(rng())
                           : kind == 2 ? uint8_t(42)
                                       : uint8_t(std::countr_zero(rng() | (1u << 24)) * 10 + rng() % 10);
            libdeflate_compressor* c = libdeflate_alloc_compressor(level);
            std::vector<uint8_t> stream(libdeflate_deflate_compress_bound(c, input.size()));
            stream.resize(libdeflate_deflate_compress(c, input.data(), input.size(), stream.data(), stream.size()));
            libdeflate_free_compressor(c);
            ASSERT_FALSE(stream.empty());
            if (part < 4) {
                ASSERT_TRUE(png::makeJoinable(stream)) << "level " << level << " part " << part;
            }
            joined.insert(joined.end(), stream.begin(), stream.end());
            all.insert(all.end(), input.begin(), input.end());
        }
        std::vector<uint8_t> out(all.size());
        size_t got = 0;
        libdeflate_decompressor* d = libdeflate_alloc_decompressor();
        EXPECT_EQ(libdeflate_deflate_decompress(d, joined.data(), joined.size(), out.data(), out.size(), &got),
                  LIBDEFLATE_SUCCESS)
            << "level " << level;
        libdeflate_free_decompressor(d);
        EXPECT_EQ(got, all.size());
        EXPECT_TRUE(out == all) << "level " << level;
    }
    // Malformed streams are refused, not walked off the end.
    std::vector<uint8_t> junk = {0xFF, 0xFF, 0xFF};
    EXPECT_FALSE(png::findLastBlock(junk.data(), junk.size()));
    EXPECT_FALSE(png::findLastBlock(nullptr, 0));
    std::vector<uint8_t> badStored = {0x01, 0x05, 0x00, 0x00, 0x00};  // NLEN ≠ ~LEN
    EXPECT_FALSE(png::makeJoinable(badStored));
}

// zlib's inflate, a decoder of its own, on a raw DEFLATE stream; empty
// when it refuses the stream or it does not end.
std::vector<uint8_t> zlibInflate(const std::vector<uint8_t>& stream, size_t size) {
    z_stream z{};
    if (inflateInit2(&z, -15) != Z_OK) return {};
    std::vector<uint8_t> out(size + 1);
    z.next_in = const_cast<Bytef*>(stream.data());
    z.avail_in = uInt(stream.size());
    z.next_out = out.data();
    z.avail_out = uInt(out.size());
    const int status = inflate(&z, Z_FINISH);
    out.resize(z.total_out);
    inflateEnd(&z);
    return status == Z_STREAM_END ? out : std::vector<uint8_t>{};
}

// Our two writers against two decoders: every piece boundary (a run or a
// match cut there, runs longer than one match), the stored fallback, codes
// that need the length limit, matches at the window's far end and beyond
// it, and a stream left open with another raw stream joined after it.
TEST(ImagingPngEncode, OwnWritersInflateToTheirInputInTwoDecoders) {
    enum Kind { Random, Runs, FewColours, Skewed };
    const size_t piece = png::kLiteralPieceBytes;
    std::mt19937 rng(5);
    std::vector<uint8_t> tail(3000);
    for (size_t i = 0; i < tail.size(); ++i) tail[i] = uint8_t(i * 7 % 13);
    libdeflate_compressor* c = libdeflate_alloc_compressor(6);
    std::vector<uint8_t> tailStream(libdeflate_deflate_compress_bound(c, tail.size()));
    tailStream.resize(libdeflate_deflate_compress(c, tail.data(), tail.size(), tailStream.data(), tailStream.size()));
    libdeflate_free_compressor(c);
    libdeflate_decompressor* d = libdeflate_alloc_decompressor();
    auto check = [&](std::vector<uint8_t> stream, const std::vector<uint8_t>& in, bool final) {
        std::vector<uint8_t> expected = in;
        if (!final) {
            stream.insert(stream.end(), tailStream.begin(), tailStream.end());
            expected.insert(expected.end(), tail.begin(), tail.end());
        }
        EXPECT_TRUE(zlibInflate(stream, expected.size()) == expected);
        std::vector<uint8_t> out(expected.size() + 1);
        size_t used = 0, got = 0;
        ASSERT_EQ(
            libdeflate_deflate_decompress_ex(d, stream.data(), stream.size(), out.data(), out.size(), &used, &got),
            LIBDEFLATE_SUCCESS);
        EXPECT_EQ(used, stream.size()) << "the final block ends the output";
        out.resize(got);
        EXPECT_TRUE(out == expected);
    };
    for (Kind kind : {Random, Runs, FewColours, Skewed}) {
        for (size_t size : {size_t(0), size_t(1), size_t(5), size_t(999), piece - 1, piece, piece + 1, 2 * piece + 7}) {
            std::vector<uint8_t> in(size);
            for (size_t i = 0; i < size;) {
                if (kind == Random) {
                    in[i++] = uint8_t(rng());
                } else if (kind == Skewed) {
                    // Fibonacci-like counts: an unlimited Huffman code
                    // would be over 15 bits deep.
                    in[i++] = uint8_t(std::min(std::countr_zero(uint32_t(rng()) | 1u << 27), 27) * 3);
                } else {
                    // A run (of a byte, or of a 4-byte pixel) up to 700
                    // long, across piece boundaries, then a few literals.
                    const size_t run = std::min<size_t>(size - i, rng() % 700);
                    const bool pixel = rng() % 2 != 0 && i >= 4;
                    for (size_t k = 0; k < run; ++k, ++i) in[i] = pixel ? in[i - 4] : i ? in[i - 1] : 9;
                    for (int k = int(rng() % 6); k > 0 && i < size; --k)
                        in[i++] = uint8_t(kind == Runs ? rng() : rng() % 4 * 60);
                }
            }
            for (int minRun : {0, 4, 8}) {
                for (bool final : {true, false}) {
                    SCOPED_TRACE(testing::Message() << "kind " << kind << " size " << size << " minRun " << minRun
                                                    << (final ? " final" : " open"));
                    std::vector<uint8_t> stream(png::deflateLiteralsBound(size));
                    stream.resize(png::deflateLiterals(in.data(), size, 4, minRun, final, stream.data()));
                    check(stream, in, final);
                }
            }
        }
    }
    // The pixel matcher on rows (a filter byte, then pixels) whose pixels
    // repeat 2–5 pixels from up to 40,000 bytes back, some at exactly the
    // window's 32,768, with fresh pixels between; rows of one pixel too.
    for (size_t rowBytes : {size_t(5), size_t(4097), size_t(5401)}) {
        for (size_t rows : {size_t(0), size_t(1), size_t(13), size_t(40)}) {
            const size_t size = rows * rowBytes;
            std::vector<uint8_t> in(size);
            for (size_t i = 0; i < size;) {
                if (i % rowBytes == 0) {
                    in[i++] = uint8_t(rng() % 5);
                    continue;
                }
                const size_t back = rng() % 8 == 0 ? 32768 : 4 * (1 + rng() % 10000);
                if (i >= back && rng() % 2) {
                    for (size_t k = 4 * (2 + rng() % 4); k > 0 && i < size; --k, ++i) in[i] = in[i - back];
                } else {
                    for (int k = 0; k < 4 && i < size; ++k) in[i++] = uint8_t(rng() % 6 * 40);
                }
            }
            for (bool final : {true, false}) {
                SCOPED_TRACE(testing::Message()
                             << "pixel matches, rows of " << rowBytes << " x " << rows << (final ? " final" : " open"));
                std::vector<uint8_t> stream(png::deflateLiteralsBound(size));
                stream.resize(png::deflatePixelMatches(in.data(), size, rowBytes, final, stream.data()));
                check(stream, in, final);
            }
        }
    }
    libdeflate_free_decompressor(d);
}

// The codes' lengths stay within the limit and fill the code space
// exactly (an over-full code is refused by decoders, an incomplete one by
// some), whatever the counts, the code-length code's 7 bits included.
TEST(ImagingPngEncode, HuffmanLengthsAreCompleteWithinTheLimit) {
    std::vector<uint32_t> fibonacci(30);
    fibonacci[0] = fibonacci[1] = 1;
    for (size_t i = 2; i < fibonacci.size(); ++i) fibonacci[i] = fibonacci[i - 1] + fibonacci[i - 2];
    std::vector<uint32_t> one(19), none(19), flat(286, 1000);
    one[7] = 5;
    const std::pair<const std::vector<uint32_t>*, int> cases[] = {{&fibonacci, 15}, {&fibonacci, 7}, {&one, 7},
                                                                  {&none, 7},       {&flat, 15},     {&flat, 9}};
    for (const auto& [freq, limit] : cases) {
        std::vector<uint8_t> lengths(freq->size(), 99);
        png::huffmanLengths(freq->data(), int(freq->size()), limit, lengths.data());
        uint64_t kraft = 0;
        for (size_t s = 0; s < freq->size(); ++s) {
            EXPECT_LE(lengths[s], limit);
            if ((*freq)[s]) {
                EXPECT_GE(lengths[s], 1) << "symbol " << s;
            }
            if (lengths[s]) kraft += uint64_t(1) << (limit - lengths[s]);
        }
        EXPECT_EQ(kraft, uint64_t(1) << limit) << freq->size() << " symbols, limit " << limit;
    }
}

TEST(ImagingPngEncode, EmptyBitmapHasNoPng) {
    QtImaging img;
    EXPECT_FALSE(img.encodePng(Bitmap()));
    EXPECT_FALSE(img.encodePng(Bitmap(0, 5)));
}

}  // namespace
