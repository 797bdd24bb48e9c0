#include "platform/linux/QtImaging.h"

#include "imaging/blur.h"
#include "imaging/draw.h"
#include "imaging/parallel_for.h"
#include "imaging/pixel.h"
#include "imaging/plan.h"
#include "imaging/png_decode.h"
#include "imaging/png_encode.h"
#include "imaging/warp.h"
#include "platform/ports/Platform.h"

#include <QBuffer>
#include <QByteArray>
#include <QImage>
#include <QImageReader>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <mutex>

namespace plinthora::linux_platform {

namespace {

// Qt refuses images whose decoded size exceeds a process-wide limit (128 MB
// by default, about 5790 × 5790). We allow up to kMaxDecodePixels ourselves,
// so the limit must cover that many 32-bit pixels plus headroom for the
// reader's intermediate buffers; the pixel count is checked before reading.
void raiseAllocationLimit() {
    static std::once_flag once;
    std::call_once(once, [] {
        const int needMb = int(QtImaging::kMaxDecodePixels * 4 / (1024LL * 1024)) + 64;
        if (QImageReader::allocationLimit() < needMb) QImageReader::setAllocationLimit(needMb);
    });
}

inline uint8_t clampByte(double v) { return uint8_t(std::lround(std::clamp(v, 0.0, 255.0))); }

}  // namespace

QtImaging::QtImaging(int pngLevel) : pngLevel_(std::clamp(pngLevel, 0, 12)) { raiseAllocationLimit(); }

std::shared_ptr<Bitmap> QtImaging::decode(const std::string& bytes) const {
    if (bytes.empty()) return nullptr;
    Bitmap fast;
    switch (imaging::png::decode(bytes, kMaxDecodePixels, fast)) {
    case imaging::png::DecodeResult::Decoded: return std::make_shared<Bitmap>(std::move(fast));
    case imaging::png::DecodeResult::TooLarge: return nullptr;
    case imaging::png::DecodeResult::Damaged:
        debugLog("png: the picture is cut short or damaged; not decoded");
        return nullptr;
    case imaging::png::DecodeResult::NotHandled: break;
    }
    raiseAllocationLimit();
    QByteArray data = QByteArray::fromRawData(bytes.data(), qsizetype(bytes.size()));
    QBuffer buffer(&data);
    if (!buffer.open(QIODevice::ReadOnly)) return nullptr;
    QImageReader reader(&buffer);
    reader.setAutoTransform(true);
    // The header's declared size decides "too large" before any pixel
    // memory is allocated.
    const QSize declared = reader.size();
    if (!declared.isValid() || declared.isEmpty()) return nullptr;
    if (qint64(declared.width()) * qint64(declared.height()) > kMaxDecodePixels) return nullptr;
    QImage image;
    if (!reader.read(&image) || image.isNull()) return nullptr;
    // RGB32 and ARGB32 convert in place (same depth); others are copied once.
    image.convertTo(QImage::Format_ARGB32_Premultiplied);
    if (image.format() != QImage::Format_ARGB32_Premultiplied) return nullptr;
    auto out = std::make_shared<Bitmap>(image.width(), image.height(), 1.0);
    const size_t rowBytes = size_t(image.width()) * 4;
    if (size_t(image.bytesPerLine()) == rowBytes) {
        std::memcpy(out->pixels.data(), image.constBits(), rowBytes * size_t(image.height()));
    } else {
        for (int y = 0; y < image.height(); ++y)
            std::memcpy(out->pixels.data() + size_t(y) * size_t(image.width()), image.constScanLine(y), rowBytes);
    }
    return out;
}

std::optional<std::string> QtImaging::encodePng(const Bitmap& image) const {
    return imaging::png::encode(image, pngLevel_);
}

Bitmap QtImaging::perspective(const Bitmap& src, const Quad& quad, int width, int height) const {
    Bitmap out = imaging::warp(src, quad, width, height);
    out.scale = src.scale;
    return out;
}

Bitmap QtImaging::perspectiveUnder(const Bitmap& content, const Quad& quad, const Bitmap& shell,
                                   const ShellOutside* outside) const {
    return imaging::warpUnder(content, quad, shell, outside);
}

void QtImaging::perspectiveUnderInPlace(const Bitmap& content, const Quad& quad, Bitmap& shell,
                                        const ShellOutside* outside) const {
    imaging::warpUnderInPlace(content, quad, shell, outside);
}

std::shared_ptr<const Imaging::PerspectivePlan> QtImaging::planPerspectiveUnder(
    int contentWidth, int contentHeight, const Quad& quad, Image shell,
    std::shared_ptr<const ShellOutside> outside) const {
    return imaging::planWarpUnder(contentWidth, contentHeight, quad, std::move(shell), std::move(outside));
}

void QtImaging::draw(Bitmap& dst, const Bitmap& src, const Rect& rect, BlendMode mode, double alpha) const {
    imaging::draw(dst, src, rect, mode, alpha);
}

Bitmap QtImaging::gaussianBlur(const Bitmap& src, double radius) const { return imaging::gaussianBlur(src, radius); }

int QtImaging::blurSpread(double radius) const { return imaging::blurSpread(radius); }

// Colour controls on straight (unpremultiplied) colour, c in [0, 1]:
//   saturation: c ← L + (c − L)·saturation, L = Rec. 709 luma
//               (0.2126 R + 0.7152 G + 0.0722 B)
//   brightness: c ← c + brightness
//   contrast:   c ← (c − ½)·contrast + ½
// then clamped to [0, 1] and premultiplied again; alpha is kept.
Bitmap QtImaging::colorControls(const Bitmap& src, double contrast, double brightness, double saturation) const {
    Bitmap out(src.width, src.height, src.scale);
    if (src.empty()) return out;
    const double sat = std::isfinite(saturation) ? saturation : 1.0;
    const double bri = std::isfinite(brightness) ? brightness : 0.0;
    const double con = std::isfinite(contrast) ? contrast : 1.0;
    imaging::parallelFor(
        int(src.pixels.size()),
        [&](int begin, int end) {
            for (int i = begin; i < end; ++i) {
                const uint32_t p = src.pixels[size_t(i)];
                const uint32_t a = p >> 24;
                if (a == 0) {
                    out.pixels[size_t(i)] = 0;
                    continue;
                }
                const double inv = 1.0 / a;
                const double r = std::min(1.0, ((p >> 16) & 255) * inv), g = std::min(1.0, ((p >> 8) & 255) * inv),
                             b = std::min(1.0, (p & 255) * inv);
                const double l = 0.2126 * r + 0.7152 * g + 0.0722 * b;
                auto adjust = [&](double c) {
                    c = l + (c - l) * sat;
                    c += bri;
                    c = (c - 0.5) * con + 0.5;
                    return clampByte(std::clamp(c, 0.0, 1.0) * a);
                };
                out.pixels[size_t(i)] =
                    (a << 24) | (uint32_t(adjust(r)) << 16) | (uint32_t(adjust(g)) << 8) | adjust(b);
            }
        },
        1 << 16);
    return out;
}

// Premultiplied, so scaling alpha scales all four channels alike.
Bitmap QtImaging::multiplyAlpha(const Bitmap& src, double a) const {
    Bitmap out(src.width, src.height, src.scale);
    const double k = std::isnan(a) ? 0.0 : std::clamp(a, 0.0, 1.0);
    const uint32_t k8 = uint32_t(std::lround(k * 255.0));
    if (k8 == 255) {
        out.pixels = src.pixels;
        return out;
    }
    if (k8 == 0) return out;
    imaging::parallelFor(
        int(src.pixels.size()),
        [&](int begin, int end) {
            for (int i = begin; i < end; ++i) out.pixels[size_t(i)] = imaging::scalePixel(src.pixels[size_t(i)], k8);
        },
        1 << 16);
    return out;
}

}  // namespace plinthora::linux_platform
