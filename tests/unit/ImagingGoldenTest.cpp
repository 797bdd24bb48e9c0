// The kernels' pixels frozen: each case draws a few hundred seeded random
// pictures through one public entry point and folds every output into a
// CRC-32 that was taken from the kernels as they stood when the case was
// written. A moved file, a split SIMD tier or a faster loop must leave every
// byte where it was; a deliberate change of pixels updates the table, and
// says why in its commit.
#include "imaging/blur.h"
#include "imaging/draw.h"
#include "imaging/plan.h"
#include "imaging/png_decode.h"
#include "imaging/png_encode.h"
#include "imaging/warp.h"
#include "imaging/yuv.h"

#include <gtest/gtest.h>

#include <cstring>
#include <mutex>
#include <random>

namespace plinthora::imaging {
namespace {

class Crc32 {
public:
    void add(const void* data, size_t n) {
        static const auto table = [] {
            std::array<uint32_t, 256> t{};
            for (uint32_t i = 0; i < 256; ++i) {
                uint32_t c = i;
                for (int k = 0; k < 8; ++k) c = c & 1 ? 0xEDB88320u ^ (c >> 1) : c >> 1;
                t[i] = c;
            }
            return t;
        }();
        for (const auto* p = static_cast<const uint8_t*>(data); n--; ++p)
            crc_ = table[(crc_ ^ *p) & 0xFF] ^ (crc_ >> 8);
    }
    void add(int v) { add(&v, sizeof v); }
    void add(const Bitmap& b) {
        add(b.width);
        add(b.height);
        add(b.pixels.data(), b.pixels.size() * 4);
    }
    void add(const std::vector<uint8_t>& v) { add(v.data(), v.size()); }
    uint32_t value() const { return ~crc_; }

private:
    uint32_t crc_ = 0xFFFFFFFFu;
};

class Pick {
public:
    explicit Pick(uint32_t seed) : rng_(seed) {}
    int between(int lo, int hi) { return std::uniform_int_distribution<int>(lo, hi)(rng_); }
    double real(double lo, double hi) { return std::uniform_real_distribution<double>(lo, hi)(rng_); }

    // Premultiplied pixels in runs of clear, opaque, one colour and noise:
    // the stretches the fast paths skip or take whole, and their edges.
    Bitmap bitmap(int w, int h) {
        Bitmap b(w, h);
        for (size_t i = 0; i < b.pixels.size();) {
            const size_t end = std::min(b.pixels.size(), i + size_t(between(1, 40)));
            const int kind = between(0, 3);
            const uint32_t one = pixel(kind == 0 ? 0 : 255);
            for (; i < end; ++i) b.pixels[i] = kind == 3 ? pixel(between(0, 2) ? between(0, 255) : 255) : one;
        }
        return b;
    }
    // A device: an opaque body, a soft rim, a clear hole with specks.
    Bitmap shell(int w, int h) {
        Bitmap s = bitmap(w, h);
        const int bx = between(1, w / 4), by = between(1, h / 4);
        for (int y = 0; y < h; ++y)
            for (int x = 0; x < w; ++x) {
                const int in = std::min({x - bx, w - 1 - bx - x, y - by, h - 1 - by - y});
                uint32_t& p = s.at(x, y);
                if (in >= 3)
                    p = between(0, 40) ? 0 : p;
                else if (in >= 1)
                    p = pixel(between(1, 254));
                else if (in >= -6)
                    p = pixel(255);
            }
        return s;
    }
    // The shell's outside: a stretch from each side of some rows.
    ShellOutside outside(int w, int h) {
        ShellOutside o{w, h, {}, {0}};
        for (int y = 0; y < h; ++y) {
            const int left = between(0, w / 3), right = w - between(0, w / 3);
            if (left > 0) o.runs.push_back({0, left});
            if (right < w) o.runs.push_back({right, w});
            o.rowRuns.push_back(uint32_t(o.runs.size()));
        }
        return o;
    }
    // Leaning, off the grid, sometimes spilling past the canvas.
    Quad quad(double w, double h) {
        const double m = between(0, 3) ? 0.0 : 0.3;
        auto at = [&](double lo, double hi, double size) { return real(lo * size - m * size, hi * size + m * size); };
        return {{at(0, .3, w), at(0, .3, h)},
                {at(.7, 1, w), at(0, .3, h)},
                {at(0, .3, w), at(.7, 1, h)},
                {at(.7, 1, w), at(.7, 1, h)}};
    }
    BlendMode mode() { return BlendMode(between(0, 3)); }

private:
    uint32_t pixel(int a) {
        auto c = [&] { return uint32_t(between(0, a)); };
        return uint32_t(a) << 24 | c() << 16 | c() << 8 | c();
    }
    std::mt19937 rng_;
};

struct Golden {
    const char* name;
    int rounds;
    void (*run)(Pick&, Crc32&);
    uint32_t crc;
};

const Golden kGolden[] = {
    {"warp", 300,
     [](Pick& p, Crc32& crc) {
         const Bitmap src = p.bitmap(p.between(1, 60), p.between(1, 60));
         const int w = p.between(1, 90), h = p.between(1, 90);
         crc.add(imaging::warp(src, p.quad(w, h), w, h));
     },
     0x369b1211},
    {"warpUnder", 300,
     [](Pick& p, Crc32& crc) {
         const Bitmap src = p.bitmap(p.between(1, 60), p.between(1, 60));
         Bitmap shell = p.shell(p.between(8, 90), p.between(8, 90));
         const ShellOutside outside = p.outside(shell.width, shell.height);
         const ShellOutside* o = p.between(0, 1) ? &outside : nullptr;
         const Quad q = p.quad(shell.width, shell.height);
         crc.add(imaging::warpUnder(src, q, shell, o));
         imaging::warpUnderInPlace(src, q, shell, o);
         crc.add(shell);
     },
     0x4a98afa3},
    // Two frames through one plan, the second handed over as live columns
    // onto the first.
    {"plan", 150,
     [](Pick& p, Crc32& crc) {
         const int cw = p.between(1, 60), ch = p.between(1, 60);
         const Image shell = std::make_shared<const Bitmap>(p.shell(p.between(8, 90), p.between(8, 90)));
         const int w = shell->width, h = shell->height;
         auto outside = std::make_shared<const ShellOutside>(p.outside(w, h));
         const auto plan = imaging::planWarpUnder(cw, ch, p.quad(w, h), shell, p.between(0, 1) ? outside : nullptr);
         const Imaging::CanvasLayer layer{std::make_shared<const Bitmap>(p.bitmap(w, h)), p.mode(), p.real(0, 1)};
         const bool layered = p.between(0, 1);
         std::vector<uint32_t> canvas(size_t(w) * size_t(h));
         std::mutex m;
         bool hold = false;
         using Span = Imaging::ColumnSpan;
         const Imaging::RowBands bands{{},
                                       [&](int begin, int end, const uint32_t* px, const Span* live) {
                                           std::lock_guard lock(m);
                                           for (int y = begin; y < end; ++y) {
                                               const Span span = live ? live[(y - begin) / 2] : Span{0, w};
                                               const uint32_t* row = px + size_t(y - begin) * size_t(w);
                                               std::copy(row + span.from, row + span.to,
                                                         canvas.begin() + ptrdiff_t(y) * w + span.from);
                                           }
                                       },
                                       [&](uint64_t) { return hold; },
                                       {},
                                       {}};
         Bitmap out;
         const Bitmap first = p.bitmap(cw, ch), second = p.bitmap(cw, ch);
         plan->render(first, out, layered ? &layer : nullptr);
         crc.add(out);
         plan->render(first, out, layered ? &layer : nullptr, &bands);
         hold = true;
         plan->render(second, out, layered ? &layer : nullptr, &bands);
         crc.add(canvas.data(), canvas.size() * 4);
     },
     0x645cd27f},
    {"draw", 300,
     [](Pick& p, Crc32& crc) {
         const Bitmap src = p.bitmap(p.between(1, 70), p.between(1, 70));
         Bitmap dst = p.bitmap(p.between(1, 90), p.between(1, 90));
         const Rect whole{double(p.between(-8, dst.width)), double(p.between(-8, dst.height)), double(src.width),
                          double(src.height)};
         const Rect stretched{p.real(-8, 20), p.real(-8, 20), p.real(1, 120), p.real(1, 120)};
         imaging::draw(dst, src, p.between(0, 1) ? whole : stretched, p.mode(), p.between(0, 2) ? p.real(0, 1) : 1.0);
         crc.add(dst);
     },
     0xd078e58a},
    {"blur", 60,
     [](Pick& p, Crc32& crc) {
         crc.add(imaging::gaussianBlur(p.bitmap(p.between(1, 50), p.between(1, 50)), p.real(0, 12)));
     },
     0xba287e64},
    {"yuv420ToArgb", 200,
     [](Pick& p, Crc32& crc) {
         const int w = p.between(1, 70), h = p.between(1, 70), cw = (w + 1) / 2, ch = (h + 1) / 2;
         const int stride[3] = {w + p.between(0, 9), cw + p.between(0, 9), cw + p.between(0, 9)};
         std::vector<uint8_t> planes[3];
         for (int i = 0; i < 3; ++i) {
             planes[i].resize(size_t(stride[i]) * size_t(i ? ch : h));
             for (uint8_t& v : planes[i]) v = uint8_t(p.between(0, 255));
         }
         const YuvMatrix m = p.between(0, 1) ? YuvMatrix{0.2126, 0.0722, p.between(0, 1) == 1}
                                             : YuvMatrix{0.299, 0.114, p.between(0, 1) == 1};
         std::vector<uint32_t> out(size_t(w) * size_t(h));
         const PlanesIn in{{planes[0].data(), planes[1].data(), planes[2].data()}, {stride[0], stride[1], stride[2]}};
         imaging::yuv420ToArgb(in, w, h, m, out.data(), size_t(w));
         crc.add(out.data(), out.size() * 4);
     },
     0xefbe48fa},
    {"argbToYuv420", 200,
     [](Pick& p, Crc32& crc) {
         const Bitmap src = p.bitmap(p.between(1, 70), p.between(1, 70));
         const int w = (src.width + 1) & ~1, h = (src.height + 1) & ~1;
         const int stride[3] = {w + p.between(0, 9), w / 2 + p.between(0, 9), w / 2 + p.between(0, 9)};
         std::vector<uint8_t> planes[3];
         for (int i = 0; i < 3; ++i) planes[i].assign(size_t(stride[i]) * size_t(i ? h / 2 : h), 0);
         const PlanesOut out{{planes[0].data(), planes[1].data(), planes[2].data()}, {stride[0], stride[1], stride[2]}};
         imaging::argbToYuv420(src, out, w, h);
         for (const auto& plane : planes) crc.add(plane);
     },
     0x0c95d784},
    // The pixels a PNG brings back: the encoder's filters and straight
    // alpha, the decoder's unfiltering and premultiplying (the compressed
    // bytes themselves are libdeflate's business).
    {"png", 150,
     [](Pick& p, Crc32& crc) {
         const Bitmap src = p.bitmap(p.between(1, 90), p.between(1, 90));
         const auto bytes = png::encode(src, p.between(0, 12), p.between(0, 3));
         ASSERT_TRUE(bytes);
         Bitmap back;
         ASSERT_EQ(png::decode(*bytes, 1 << 20, back), png::DecodeResult::Decoded);
         crc.add(back);
     },
     0x0ad96d1d},
};

TEST(ImagingGolden, KernelsGiveTheFrozenPixels) {
    for (const Golden& g : kGolden) {
        Pick pick(20261209);
        Crc32 crc;
        for (int round = 0; round < g.rounds; ++round) g.run(pick, crc);
        EXPECT_EQ(crc.value(), g.crc) << g.name << ": 0x" << std::hex << crc.value();
    }
}

}  // namespace
}  // namespace plinthora::imaging
