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

    // `pngLevel` is the libdeflate level of encodePng (see imaging/png_encode.h).
    explicit QtImaging(int pngLevel = kDefaultPngLevel);

    std::shared_ptr<Bitmap> decode(const std::string& bytes) const override;
    std::optional<std::string> encodePng(const Bitmap& image) const override;

    Bitmap perspective(const Bitmap& src, const Quad& quad, int width, int height) const override;
    Bitmap perspectiveUnder(const Bitmap& content, const Quad& quad, const Bitmap& shell,
                            const ShellOutside* outside = nullptr) const override;
    void perspectiveUnderInPlace(const Bitmap& content, const Quad& quad, Bitmap& shell,
                                 const ShellOutside* outside = nullptr) const override;
    std::shared_ptr<const PerspectivePlan> planPerspectiveUnder(
        int contentWidth, int contentHeight, const Quad& quad, Image shell,
        std::shared_ptr<const ShellOutside> outside = nullptr) const override;
    void draw(Bitmap& dst, const Bitmap& src, const Rect& rect, BlendMode mode, double alpha) const override;
    Bitmap gaussianBlur(const Bitmap& src, double radius) const override;
    Bitmap colorControls(const Bitmap& src, double contrast, double brightness, double saturation) const override;
    Bitmap multiplyAlpha(const Bitmap& src, double a) const override;
    int blurSpread(double radius) const override;

    // Measured on a framed 1350 × 2750 screenshot (2 cores): level 4 gives
    // the size of a zlib level-7 adaptive-filter PNG (within 1 %) in about
    // two thirds of level 6's time; level 1 is 8 % larger, and levels 7+
    // buy 3–8 % for 2–6 times the time.
    static constexpr int kDefaultPngLevel = 4;

private:
    int pngLevel_;
};

}  // namespace plinthora::linux_platform
