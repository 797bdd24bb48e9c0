// The imaging port on Linux: Qt's readers for decoding, our own kernels for
// the pixel work the compositing code does per screenshot (projective map,
// blend, blur, colour controls) and our own parallel PNG encoder.
#pragma once

#include "platform/ports/Imaging.h"

namespace plinthora::linux_platform {

class QtImaging : public Imaging {
public:
    // Images declaring more pixels than this do not load.
    static constexpr long long kMaxDecodePixels = 100'000'000;

    // `pngLevel` is the libdeflate level of encodePng (see PngEncoder.h).
    explicit QtImaging(int pngLevel = kDefaultPngLevel);

    Image decode(const std::string& bytes) const override;
    std::optional<std::string> encodePng(const Bitmap& image) const override;

    Bitmap perspective(const Bitmap& src, const Quad& quad, int width, int height) const override;
    Bitmap perspectiveUnder(const Bitmap& content, const Quad& quad, const Bitmap& shell) const override;
    void draw(Bitmap& dst, const Bitmap& src, const Rect& rect, BlendMode mode, double alpha) const override;
    Bitmap gaussianBlur(const Bitmap& src, double radius) const override;
    Bitmap colorControls(const Bitmap& src, double contrast, double brightness, double saturation) const override;
    Bitmap multiplyAlpha(const Bitmap& src, double a) const override;
    int blurSpread(double radius) const override;

    static constexpr int kDefaultPngLevel = 6;

private:
    int pngLevel_;
};

}  // namespace plinthora::linux_platform
