// Watermarks over stills and video frames. Both paths place the mark by the
// cover rectangle and read opacity and blend name live; they differ on
// purpose in two places: the still path brightens the mark before a soft
// light blend, and it blurs the unscaled mark (squeezing the fringe into the
// cover rectangle) where the frame path blurs after placement.
#include "compositing/SRUnifiedProcessor.h"
#include "platform/ports/Platform.h"
#include "settings/SRSettings.h"

#include <algorithm>
#include <cmath>
#include <iterator>

namespace plinthora {

// The page offers the placements by these numbers (SettingsSchema.h).
static_assert(std::size(kWatermarkModes) == 2 && kWatermarkModes[0].number == double(SRWatermarkModeFullCanvas) &&
              kWatermarkModes[1].number == double(SRWatermarkModeContentArea));

namespace {

constexpr double kBlurRadius = 10;
constexpr double kBlurAlphaFactor = 0.7;

bool degenerate(Size s) { return !(s.width > 0) || !(s.height > 0); }

}  // namespace

Rect SRUnifiedProcessor::aspectRectForSize(Size imageSize, Size inSize) {
    const double a = imageSize.width / imageSize.height;
    const double A = inSize.width / inSize.height;
    double width, height;
    if (a <= A) {
        width = inSize.width;
        height = inSize.width / a;
    } else {
        width = inSize.height * a;
        height = inSize.height;
    }
    return {(inSize.width - width) * 0.5, (inSize.height - height) * 0.5, width, height};
}

FrameRecipe SRUnifiedProcessor::applyWatermark(const Image& watermark, FrameRecipe background, Size size) const {
    // An empty mark or area has no cover rectangle.
    if (!watermark || watermark->empty() || degenerate(size)) return background;
    SRSettings& s = settings();
    const double o = static_cast<double>(s.watermarkOpacity.load());
    const std::string blend = *s.watermarkBlendMode();

    WatermarkLayer layer;
    layer.watermark = watermark;
    // The frame stage works bottom-up: the mark goes to (r.x, S.height −
    // r.y − r.height) there, which is r itself in our top-left frame.
    layer.placement = aspectRectForSize({double(watermark->width), double(watermark->height)}, size);
    if (blend == kBlendGaussian) {
        layer.blurRadius = kBlurRadius;
        layer.alpha = o * kBlurAlphaFactor;
    } else {
        layer.alpha = o;
        layer.blend = blend == kBlendScreen      ? BlendMode::Screen
                      : blend == kBlendOverlay   ? BlendMode::Overlay
                      : blend == kBlendSoftLight ? BlendMode::SoftLight
                                                 : BlendMode::Normal;
    }
    background.layers.push_back(std::move(layer));
    return background;
}

Bitmap placeWatermarkLayer(const WatermarkLayer& layer, int width, int height) {
    Imaging& img = *platform().imaging;
    Bitmap out(width, height);
    if (layer.blurRadius <= 0) {
        img.draw(out, *layer.watermark, layer.placement, BlendMode::Normal, 1.0);
        return out;
    }
    // Blur after placement: scale first, so the radius is in frame
    // pixels. Only the part of the placed mark within the blur's reach
    // of the frame can show, and a cover rectangle may be many times
    // the frame (a tall mark over a wide frame), so only that part is
    // scaled and blurred. The window is cut at whole pixels of the
    // placed mark, which samples and blurs exactly as the whole would.
    const double pw = std::max(1.0, std::round(layer.placement.width));
    const double ph = std::max(1.0, std::round(layer.placement.height));
    const int spread = img.blurSpread(layer.blurRadius);
    // Two more pixels: the blurred window is drawn at a fractional
    // offset, so a frame pixel samples its neighbour too.
    const double reach = spread + 2.0;
    const double x0 = std::clamp(std::floor(-layer.placement.x - reach), 0.0, pw);
    const double y0 = std::clamp(std::floor(-layer.placement.y - reach), 0.0, ph);
    const double x1 = std::clamp(std::ceil(width - layer.placement.x + reach), x0, pw);
    const double y1 = std::clamp(std::ceil(height - layer.placement.y + reach), y0, ph);
    if (x1 <= x0 || y1 <= y0) return out;
    Bitmap window(static_cast<int>(x1 - x0), static_cast<int>(y1 - y0));
    img.draw(window, *layer.watermark, {-x0, -y0, pw, ph}, BlendMode::Normal, 1.0);
    Bitmap blurred = img.gaussianBlur(window, layer.blurRadius);
    img.draw(out, blurred,
             {layer.placement.x + x0 - spread, layer.placement.y + y0 - spread, double(blurred.width),
              double(blurred.height)},
             BlendMode::Normal, 1.0);
    return out;
}

namespace {
// A placed layer drawn 1:1: a clear pixel of it leaves dst as it is, any
// other is the sample the stretched draw would have taken, so the blend and
// the alpha see the same source either way.
void drawPlaced(Bitmap& dst, const Bitmap& placed, const WatermarkLayer& layer) {
    platform().imaging->draw(dst, placed, {0, 0, double(placed.width), double(placed.height)}, layer.blend,
                             layer.alpha);
}
}  // namespace

Bitmap renderFrame(const FrameRecipe& recipe, int width, int height) {
    Imaging& img = *platform().imaging;
    Bitmap out(width, height);
    if (recipe.background)
        img.draw(out, *recipe.background, {0, 0, double(width), double(height)}, BlendMode::Normal, 1.0);
    for (const WatermarkLayer& layer : recipe.layers) drawPlaced(out, placeWatermarkLayer(layer, width, height), layer);
    return out;
}

std::shared_ptr<const Bitmap> WatermarkLayerCache::placed(const WatermarkLayer& layer, int width, int height) {
    const Rect& r = layer.placement;
    // A mark the grid's own size laid square on it is already its placed
    // layer (drawn 1:1 over clear pixels it comes back as it was): a movie
    // then holds no second canvas-sized copy of it, which each export would
    // draw and page in afresh.
    const Bitmap* mark = layer.watermark.get();
    if (mark && layer.blurRadius <= 0 && r.x == 0 && r.y == 0 && r.width == width && r.height == height &&
        mark->width == width && mark->height == height)
        return layer.watermark;
    const Key key{layer.watermark.get(), r.x, r.y, r.width, r.height, layer.blurRadius, width, height};
    // Made under the lock: frames racing for the first one wait for it
    // rather than blurring it twice.
    std::lock_guard g(lock_);
    auto& slot = placed_[key];
    if (!slot) slot = std::make_shared<const Bitmap>(placeWatermarkLayer(layer, width, height));
    return slot;
}

void WatermarkLayerCache::draw(Bitmap& dst, const WatermarkLayer& layer) {
    drawPlaced(dst, *placed(layer, dst.width, dst.height), layer);
}

Image SRUnifiedProcessor::drawWatermark(const Image& watermark, const Image& onImage, Size size) const {
    const double scale = onImage ? onImage->scale : 1.0;
    const int pw = static_cast<int>(std::lround(size.width * scale));
    const int ph = static_cast<int>(std::lround(size.height * scale));
    if (pw <= 0 || ph <= 0) return onImage;
    auto out = std::make_shared<Bitmap>(pw, ph, scale);
    if (onImage) platform().imaging->draw(*out, *onImage, {0, 0, double(pw), double(ph)}, BlendMode::Normal, 1.0);
    drawWatermarkOver(*out, watermark, size);
    return out;
}

void SRUnifiedProcessor::drawWatermarkOver(Bitmap& out, const Image& watermark, Size size) const {
    if (!watermark || watermark->empty()) return;
    Imaging& img = *platform().imaging;
    SRSettings& s = settings();
    const double o = static_cast<double>(s.watermarkOpacity.load());
    const std::string blend = *s.watermarkBlendMode();
    // The cover rectangle in points, drawn in pixels.
    const double scale = out.scale;
    Rect r = aspectRectForSize(watermark->size(), size);
    r = {r.x * scale, r.y * scale, r.width * scale, r.height * scale};

    if (blend == kBlendGaussian) {
        Bitmap blurred = img.gaussianBlur(*watermark, kBlurRadius);
        img.draw(out, blurred, r, BlendMode::Normal, o * kBlurAlphaFactor);
    } else if (blend == kBlendSoftLight) {
        Bitmap adjusted = img.colorControls(*watermark, 1.1, 0.05, 1.0);
        img.draw(out, adjusted, r, BlendMode::SoftLight, o);
    } else {
        const BlendMode mode = blend == kBlendScreen    ? BlendMode::Screen
                               : blend == kBlendOverlay ? BlendMode::Overlay
                                                        : BlendMode::Normal;
        img.draw(out, *watermark, r, mode, o);
    }
}

}  // namespace plinthora
