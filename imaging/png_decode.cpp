#include "imaging/png_decode.h"

#include "imaging/tiers.h"

#include <libdeflate.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <utility>
#include <vector>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

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

#if defined(__SSE2__)
inline __m128i load4(const uint8_t* p) {
    int v;
    std::memcpy(&v, p, 4);
    return _mm_unpacklo_epi8(_mm_cvtsi32_si128(v), _mm_setzero_si128());
}
inline void store4(uint8_t* p, __m128i v) {
    const int w = _mm_cvtsi128_si32(_mm_packus_epi16(_mm_and_si128(v, _mm_set1_epi16(0xFF)), _mm_setzero_si128()));
    std::memcpy(p, &w, 4);
}
inline __m128i abs16(__m128i x) { return _mm_max_epi16(x, _mm_sub_epi16(_mm_setzero_si128(), x)); }
inline __m128i select(__m128i mask, __m128i yes, __m128i no) {
    return _mm_or_si128(_mm_and_si128(mask, yes), _mm_andnot_si128(mask, no));
}

// Paeth on four-byte pixels, one pixel per step in 16-bit lanes.
void paeth4(uint8_t* row, const uint8_t* prev, size_t len) {
    __m128i a = _mm_setzero_si128(), c = _mm_setzero_si128();
    for (size_t i = 0; i + 4 <= len; i += 4) {
        const __m128i b = load4(prev + i);
        const __m128i pa = _mm_sub_epi16(b, c), pb = _mm_sub_epi16(a, c);
        const __m128i absA = abs16(pa), absB = abs16(pb), absC = abs16(_mm_add_epi16(pa, pb));
        const __m128i smallest = _mm_min_epi16(absC, _mm_min_epi16(absA, absB));
        const __m128i pred = select(_mm_cmpeq_epi16(absA, smallest), a, select(_mm_cmpeq_epi16(absB, smallest), b, c));
        a = _mm_and_si128(_mm_add_epi16(load4(row + i), pred), _mm_set1_epi16(0xFF));
        store4(row + i, a);
        c = b;
    }
}

void average4(uint8_t* row, const uint8_t* prev, size_t len) {
    __m128i a = _mm_setzero_si128();
    for (size_t i = 0; i + 4 <= len; i += 4) {
        const __m128i avg = _mm_srli_epi16(_mm_add_epi16(a, load4(prev + i)), 1);
        a = _mm_and_si128(_mm_add_epi16(load4(row + i), avg), _mm_set1_epi16(0xFF));
        store4(row + i, a);
    }
}
#endif

// Undoes one row's filter in place; `prev` is the row above, unfiltered
// (zeros above the first). False for an unknown filter type.
bool unfilter(uint8_t type, uint8_t* row, const uint8_t* prev, size_t len, size_t bpp) {
    switch (type) {
    case 0: return true;
    case 1:
        for (size_t i = bpp; i < len; ++i) row[i] = uint8_t(row[i] + row[i - bpp]);
        return true;
    case 2:
        for (size_t i = 0; i < len; ++i) row[i] = uint8_t(row[i] + prev[i]);
        return true;
    case 3:
#if defined(__SSE2__)
        if (bpp == 4) {
            average4(row, prev, len);
            return true;
        }
#endif
        for (size_t i = 0; i < bpp; ++i) row[i] = uint8_t(row[i] + (prev[i] >> 1));
        for (size_t i = bpp; i < len; ++i) row[i] = uint8_t(row[i] + ((row[i - bpp] + prev[i]) >> 1));
        return true;
    case 4:
#if defined(__SSE2__)
        if (bpp == 4) {
            paeth4(row, prev, len);
            return true;
        }
#endif
        for (size_t i = 0; i < bpp; ++i) row[i] = uint8_t(row[i] + prev[i]);
        for (size_t i = bpp; i < len; ++i) row[i] = uint8_t(row[i] + paeth(row[i - bpp], prev[i], prev[i - bpp]));
        return true;
    default: return false;
    }
}

// c · a / 255 with the general decoder's rounding, so both paths give the
// same pixels.
inline uint32_t premultiply(uint32_t c, uint32_t a) {
    const uint32_t t = c * a;
    return (t + (t >> 8) + 0x80) >> 8;
}

// Straight RGB(A) bytes to premultiplied 0xAARRGGBB words. Branch-free
// (premultiplying by 255 or 0 gives the colour or 0 anyway) so that the
// compiler can widen the loop.
__attribute__((always_inline)) inline void toPixelsBody(const uint8_t* src, uint32_t* dst, int width, size_t bpp) {
    if (bpp == 3) {
        for (int x = 0; x < width; ++x, src += 3)
            dst[x] = 0xFF000000u | uint32_t(src[0]) << 16 | uint32_t(src[1]) << 8 | src[2];
        return;
    }
    for (int x = 0; x < width; ++x) {
        const uint8_t* p = src + 4 * size_t(x);
        const uint32_t a = p[3];
        dst[x] = a << 24 | premultiply(p[0], a) << 16 | premultiply(p[1], a) << 8 | premultiply(p[2], a);
    }
}

void toPixelsPlain(const uint8_t* src, uint32_t* dst, int width, size_t bpp) { toPixelsBody(src, dst, width, bpp); }
#if PLINTHORA_AVX2
__attribute__((target("avx2"))) void toPixelsAvx2(const uint8_t* src, uint32_t* dst, int width, size_t bpp) {
    toPixelsBody(src, dst, width, bpp);
}
#endif

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
#if PLINTHORA_AVX2
    const auto toPixels = hasAvx2() ? toPixelsAvx2 : toPixelsPlain;
#else
    const auto toPixels = toPixelsPlain;
#endif
    for (uint32_t y = 0; y < height; ++y) {
        const uint8_t* row = raw + size_t(y) * (stride + 1);
        std::memcpy(cur, row + 1, stride);
        if (!unfilter(row[0], cur, prev, stride, bpp)) return DecodeResult::NotHandled;
        toPixels(cur, image.pixels.data() + size_t(y) * width, int(width), bpp);
        std::swap(cur, prev);
    }
    image.pixels.resize(pixelWords);
    out = std::move(image);
    return DecodeResult::Decoded;
}

}  // namespace plinthora::imaging::png
