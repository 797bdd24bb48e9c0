#include "imaging/png_decode.h"

#include "imaging/png_rows.h"
#include "imaging/tiers.h"

#include <libdeflate.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <utility>
#include <vector>

namespace plinthora::imaging::png {

namespace {

constexpr uint8_t kSignature[8] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1a, '\n'};

uint32_t be32(const uint8_t* p) {
    return uint32_t(p[0]) << 24 | uint32_t(p[1]) << 16 | uint32_t(p[2]) << 8 | uint32_t(p[3]);
}

bool isType(const uint8_t* t, const char* name) { return std::memcmp(t, name, 4) == 0; }

inline uint8_t paeth(int a, int b, int c) {
    const int pa = std::abs(b - c), pb = std::abs(a - c), pc = std::abs(a + b - 2 * c);
    return uint8_t(pa <= pb && pa <= pc ? a : pb <= pc ? b : c);
}

// Undoes one row's filter in place; `prev` is the row above, unfiltered
// (zeros above the first). False for an unknown filter type. The tier's
// loops take the Average and Paeth rows of four-byte pixels from the
// start, and the plain ones finish what they leave.
bool unfilter(const TierKernels& k, uint8_t type, uint8_t* row, const uint8_t* prev, size_t len, size_t bpp) {
    switch (type) {
    case 0: return true;
    case 1:
        for (size_t i = bpp; i < len; ++i) row[i] = uint8_t(row[i] + row[i - bpp]);
        return true;
    case 2:
        for (size_t i = 0; i < len; ++i) row[i] = uint8_t(row[i] + prev[i]);
        return true;
    case 3: {
        size_t i = bpp == 4 ? k.unfilterAverage4(row, prev, len) : 0;
        for (; i < bpp; ++i) row[i] = uint8_t(row[i] + (prev[i] >> 1));
        for (; i < len; ++i) row[i] = uint8_t(row[i] + ((row[i - bpp] + prev[i]) >> 1));
        return true;
    }
    case 4: {
        size_t i = bpp == 4 ? k.unfilterPaeth4(row, prev, len) : 0;
        for (; i < bpp; ++i) row[i] = uint8_t(row[i] + prev[i]);
        for (; i < len; ++i) row[i] = uint8_t(row[i] + paeth(row[i - bpp], prev[i], prev[i - bpp]));
        return true;
    }
    default: return false;
    }
}

struct DecompressorFree {
    void operator()(libdeflate_decompressor* d) const { libdeflate_free_decompressor(d); }
};

}  // namespace

DecodeResult decode(const std::string& bytes, long long maxPixels, Bitmap& out) {
    const auto* d = reinterpret_cast<const uint8_t*>(bytes.data());
    const size_t n = bytes.size();
    if (n < 8 || std::memcmp(d, kSignature, 8) != 0) return DecodeResult::NotHandled;
    uint32_t width = 0, height = 0;
    size_t bpp = 0;
    bool ended = false;
    // A kind this path leaves to the general decoder is still scanned to
    // the end: a file cut short or damaged is told as such here, and never
    // reaches a decoder that reports it on stderr.
    bool handled = true;
    std::vector<std::pair<const uint8_t*, size_t>> idat;
    size_t idatBytes = 0;
    for (size_t pos = 8; pos + 12 <= n;) {
        const size_t len = be32(d + pos);
        const uint8_t* type = d + pos + 4;
        const uint8_t* data = d + pos + 8;
        if (len > n - pos - 12) return DecodeResult::Damaged;
        const bool critical = (type[0] & 0x20) == 0;
        if (critical && libdeflate_crc32(0, type, len + 4) != be32(data + len)) return DecodeResult::Damaged;
        if (pos == 8 && !isType(type, "IHDR")) return DecodeResult::Damaged;
        if (isType(type, "IHDR")) {
            if (pos != 8 || len != 13) return DecodeResult::Damaged;
            width = be32(data);
            height = be32(data + 4);
            if (width == 0 || height == 0 || width > 0x7FFFFFFFu || height > 0x7FFFFFFFu)
                return DecodeResult::NotHandled;
            if (static_cast<long long>(width) * static_cast<long long>(height) > maxPixels)
                return DecodeResult::TooLarge;
            // 8 bits per channel, RGB or RGBA, standard compression and
            // filters, not interlaced.
            if (data[8] != 8 || (data[9] != 2 && data[9] != 6) || data[10] || data[11] || data[12]) handled = false;
            bpp = data[9] == 6 ? 4 : 3;
        } else if (isType(type, "IDAT")) {
            idat.emplace_back(data, len);
            idatBytes += len;
        } else if (isType(type, "IEND")) {
            ended = true;
            break;
        } else if (isType(type, "tRNS") || isType(type, "eXIf") || (critical && !isType(type, "PLTE"))) {
            // A colour key, an orientation or an unknown critical chunk:
            // the general decoder knows what to do with them.
            handled = false;
        }
        pos += 12 + len;
    }
    if (!ended || bpp == 0 || idat.empty()) return DecodeResult::Damaged;
    if (!handled) return DecodeResult::NotHandled;

    std::string joined;
    const uint8_t* in = idat[0].first;
    if (idat.size() > 1) {
        joined.reserve(idatBytes);
        for (const auto& [p, len] : idat) joined.append(reinterpret_cast<const char*>(p), len);
        in = reinterpret_cast<const uint8_t*>(joined.data());
    }
    // The rows inflate into the end of the picture's own buffer and become
    // pixels front to back: row y's pixels end no later than where row
    // y + 1's filtered bytes begin (a filtered row is one byte longer than
    // an RGBA row, and an RGB row is shorter still), so no row is
    // overwritten before it is read, and no second buffer of the picture's
    // size is touched. Fresh pages are what a run of the command line pays
    // for most.
    const size_t stride = size_t(width) * bpp;
    const size_t rawBytes = size_t(height) * (stride + 1);
    const size_t pixelWords = size_t(width) * size_t(height);
    Bitmap image;
    image.width = int(width);
    image.height = int(height);
    image.pixels.resize(std::max(pixelWords, (rawBytes + 3) / 4));
    auto* const buffer = reinterpret_cast<uint8_t*>(image.pixels.data());
    uint8_t* const raw = buffer + image.pixels.size() * 4 - rawBytes;
    static thread_local std::unique_ptr<libdeflate_decompressor, DecompressorFree> inflater(
        libdeflate_alloc_decompressor());
    if (!inflater) return DecodeResult::NotHandled;
    // Exactly the rows' bytes, no more and no less.
    if (libdeflate_zlib_decompress(inflater.get(), in, idatBytes, raw, rawBytes, nullptr) != LIBDEFLATE_SUCCESS)
        return DecodeResult::NotHandled;

    // The row being undone and the one above it, unfiltered, live apart.
    std::vector<uint8_t> rows(2 * stride, 0);
    uint8_t* cur = rows.data();
    uint8_t* prev = rows.data() + stride;
    const TierKernels& k = tier();
    for (uint32_t y = 0; y < height; ++y) {
        const uint8_t* row = raw + size_t(y) * (stride + 1);
        std::memcpy(cur, row + 1, stride);
        if (!unfilter(k, row[0], cur, prev, stride, bpp)) return DecodeResult::NotHandled;
        uint32_t* const pixels = image.pixels.data() + size_t(y) * width;
        const int done = k.pngRowToPixels(cur, pixels, int(width), bpp);
        rowToPixels(cur + size_t(done) * bpp, pixels + done, int(width) - done, bpp);
        std::swap(cur, prev);
    }
    image.pixels.resize(pixelWords);
    out = std::move(image);
    return DecodeResult::Decoded;
}

}  // namespace plinthora::imaging::png
