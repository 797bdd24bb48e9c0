// The compositing singleton: layout, screenshot and recording pipelines,
// watermarks and delivery. Each operation lives in the file of its concern.
#pragma once

#include "compositing/SRShellLayout.h"
#include "platform/ports/Imaging.h"
#include "platform/ports/Media.h"

#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <tuple>
#include <string>
#include <vector>

namespace plinthora {

enum SRWatermarkMode : int32_t {
    SRWatermarkModeFullCanvas = 1,
    SRWatermarkModeContentArea = 2,
};

// One watermark laid over a frame, described but not rendered: the
// per-frame path builds these cheaply and renders the frame once.
struct WatermarkLayer {
    Image watermark;        // as loaded, unscaled
    Rect placement;         // cover rectangle, top-left origin, frame pixels
    double blurRadius = 0;  // > 0: blurred after placement, in frame pixels
    double alpha = 1;
    BlendMode blend = BlendMode::Normal;
};

// A frame: a background and the watermarks over it, bottom to top. The
// rendered result is cut to the frame's size.
struct FrameRecipe {
    Image background;
    std::vector<WatermarkLayer> layers;
};

// What a still is dressed with; absent members are simply not applied.
struct StillDressing {
    std::optional<std::string> shellPath;  // its template lies beside it
    // A template to use instead of the one beside the shell (one not yet
    // written, being tried out).
    std::optional<Value> shellTemplate;
    Image shell;
    // The shell's pixels when the caller has no further use for them: the
    // canvas is then made in them rather than in a copy.
    std::shared_ptr<Bitmap> spareShell;
    Image watermark;
    int32_t watermarkMode = SRWatermarkModeFullCanvas;
};

class SRUnifiedProcessor {
public:
    static SRUnifiedProcessor& sharedInstance();

    // Where the content's corners go on a canvas of `renderSize`. Throws
    // TemplateError for a template that cannot be read as numbers.
    SRShellLayout getLayoutForShell(const std::optional<std::string>& shellPath, Size renderSize,
                                    Size contentSize) const;

    // `dueAt` (steady clock): when a trigger's call was meant to run. The
    // debounce counts from then rather than from when the call got to run,
    // or the other triggers of one screenshot, held up behind a run slower
    // than the debounce, would all pass it and search again.
    void processScreenshotWithRetry(bool retry, std::optional<double> dueAt = std::nullopt);
    // The composition of a screenshot, shared with the command-line tool.
    // Throws TemplateError for a shell template that cannot be read.
    Image composeScreenshot(const Image& screenshot, const StillDressing& dressing) const;

    FrameRecipe applyWatermark(const Image& watermark, FrameRecipe background, Size size) const;
    Image drawWatermark(const Image& watermark, const Image& onImage, Size size) const;
    // The watermark step on a canvas of size `size` (points) that is the
    // caller's alone, drawn in place: a copy of the canvas would give the
    // same pixels at the price of a second canvas.
    void drawWatermarkOver(Bitmap& out, const Image& watermark, Size size) const;
    static Rect aspectRectForSize(Size imageSize, Size inSize);

    // Frames a recording into a temporary movie and hands it to delivery
    // once the export completes. Returns as soon as the export is started.
    // Throws TemplateError, as the layout does, for a shell template that
    // cannot be read; the caller ends its run.
    void processVideoWithURL(const std::string& url, std::optional<Asset> asset);

    void finalizeScreenshot(Image image, std::optional<Asset> original);
    void finalizeVideoAtURL(const std::string& videoPath, std::optional<Asset> original);

    // Tests start every case from a fresh process state.
    void resetForTesting();
    bool screenshotProcessingForTesting() const;

private:
    SRUnifiedProcessor() = default;

    // Screenshot pipeline steps.
    void giveUp(bool retry);
    void findScreenshot(bool retry);
    void handleImageData(const std::optional<std::string>& data, const Asset& asset, bool retry);
    void finalizeCommon(bool success, const std::string& createdIdentifier, const std::optional<Asset>& original,
                        const std::optional<std::string>& fileToRemove);

    mutable std::mutex lock_;
    bool screenshotProcessing_ = false;
    double lastScreenshotTriggerTime_ = 0;
    bool hasTriggered_ = false;
};

// Reads and decodes an image file; nullptr when there is no path, no file
// or no image in it (which callers take as "no shell" / "no watermark").
std::shared_ptr<Bitmap> loadImageFile(const std::optional<std::string>& path);

// The same pixels, decoded once and shared while the file keeps its path,
// size and modification time: the daemon dresses every screenshot and
// recording in the same few shells and watermark, and decoded them again
// for each. Two paths to one file (an asset folder's entry and the file it
// stands for) share the pixels. The pixels are shared, so they never
// become the canvas (no spareShell from them).
Image keptImageFile(const std::optional<std::string>& path);

// Renders a frame recipe to a width × height bitmap.
Bitmap renderFrame(const FrameRecipe& recipe, int width, int height);

// A watermark layer placed (and blurred) at full strength on a transparent
// width × height grid: drawn 1:1 with the layer's blend and alpha it gives
// the same pixels as drawing the layer itself.
Bitmap placeWatermarkLayer(const WatermarkLayer& layer, int width, int height);

// Placed layers of one export. Everything a placed layer depends on is fixed
// for the export except the blend name, so at most a few are ever made;
// opacity and blend stay live because they apply when the layer is drawn.
// Safe to use from several threads.
class WatermarkLayerCache {
public:
    // Draws the layer over dst as renderFrame would.
    void draw(Bitmap& dst, const WatermarkLayer& layer);
    // The layer placed on a transparent width × height grid, made once.
    std::shared_ptr<const Bitmap> placed(const WatermarkLayer& layer, int width, int height);

private:
    using Key = std::tuple<const Bitmap*, double, double, double, double, double, int, int>;
    std::mutex lock_;
    std::map<Key, std::shared_ptr<const Bitmap>> placed_;
};

}  // namespace plinthora
