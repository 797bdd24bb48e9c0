// Re-encoding a recording with its shell and watermark. Preparation runs
// once, on the library's thread; the frame handler runs for every output
// frame on the export's workers, several at a time, and reads the switches
// that shape a frame live, so a settings change reaches the next frame.
//
// Frames are laid out as the filter stage does it, bottom-up: a picture
// smaller than the canvas it lands on sits at the canvas's bottom-left
// corner, and one larger is cut to its bottom-left part. In the usual case
// sizes agree and this is a plain copy; it matters only when the shell is
// switched off during an export, leaving a frame on a shell-sized canvas.
#include "compositing/SRAssetResolver.h"
#include "compositing/SRUnifiedProcessor.h"
#include "compositing/ShellOutside.h"
#include "platform/ports/Platform.h"
#include "settings/SRSettings.h"
#include "util/Numbers.h"

#include <algorithm>
#include <cmath>
#include <cstring>

namespace plinthora {

namespace {

constexpr int kFramesPerSecond = 30;

// dst = src aligned at their bottom-left corners; dst pixels src does not
// reach are cleared.
void placeBottomLeft(const Bitmap& src, Bitmap& dst) {
    const int dy = dst.height - src.height;
    const int w = std::min(src.width, dst.width);
    for (int y = 0; y < dst.height; ++y) {
        uint32_t* row = dst.pixels.data() + size_t(y) * size_t(dst.width);
        const int sy = y - dy;
        if (sy < 0 || sy >= src.height || w <= 0) {
            std::fill(row, row + dst.width, 0u);
            continue;
        }
        std::memcpy(row, src.pixels.data() + size_t(sy) * size_t(src.width), size_t(w) * 4);
        std::fill(row + w, row + dst.width, 0u);
    }
}

void resize(Bitmap& b, int width, int height) {
    b.width = width;
    b.height = height;
    b.scale = 1.0;
    b.pixels.resize(size_t(width) * size_t(height));
}

// What the frame handler holds for the life of one export.
struct RecordingFrames {
    Image shell;
    Image watermark;
    Size videoSize;
    int videoWidth = 0, videoHeight = 0, renderWidth = 0, renderHeight = 0;
    // The layout is fixed for the export, so its projective map and the
    // shell's coverage are worked out once.
    std::shared_ptr<const Imaging::PerspectivePlan> plan;
    WatermarkLayerCache layers;

    // The watermark as applyWatermark lays it over an area of `size`, with
    // the opacity and blend of this moment.
    std::optional<WatermarkLayer> watermarkLayer(Size size) const {
        FrameRecipe r = SRUnifiedProcessor::sharedInstance().applyWatermark(watermark, FrameRecipe{}, size);
        if (r.layers.empty()) return std::nullopt;
        return r.layers.back();
    }

    // The source's rows are made as the plan asks for them; any other use
    // of the source asks for all of them first.
    void render(const Bitmap& source, Bitmap& out, const Imaging::RowBands& bands) {
        SRSettings& s = settings();
        const int32_t mode = s.watermarkMode;
        const bool shellOn = s.recShellEnabled && shell;
        const bool contentMark = watermark && mode == SRWatermarkModeContentArea;
        const bool canvasMark = watermark && mode == SRWatermarkModeFullCanvas;

        // The frame at the video size; the platform delivers it so already.
        const Bitmap* frame = &source;
        Bitmap cropped;
        const bool planned = shellOn && !contentMark && source.width == videoWidth && source.height == videoHeight;
        if (!planned && bands.needContent) bands.needContent(0, source.height);
        if (source.width != videoWidth || source.height != videoHeight) {
            resize(cropped, videoWidth, videoHeight);
            placeBottomLeft(source, cropped);
            frame = &cropped;
        }

        if (shellOn) {
            const Bitmap* content = frame;
            Bitmap marked;
            if (contentMark) {
                // Drawn on a frame-sized copy: what overflows the frame is
                // cut before it goes into the shell.
                marked = *frame;
                if (auto layer = watermarkLayer(videoSize)) layers.draw(marked, *layer);
                content = &marked;
            }
            // The canvas's watermark goes in with the warp, drawn row by row
            // as each row is made, rather than over the whole canvas after.
            const std::optional<WatermarkLayer> layer =
                canvasMark ? watermarkLayer({double(renderWidth), double(renderHeight)}) : std::nullopt;
            // The export knows the rows of the source it gave, not those of
            // a copy made from it here.
            const Imaging::RowBands* told = &bands;
            Imaging::RowBands ownContent;
            if (content != &source && (bands.holdsBand || bands.contentRows)) {
                ownContent = bands;
                ownContent.holdsBand = nullptr;
                ownContent.contentRows = nullptr;
                told = &ownContent;
            }
            if (layer) {
                const std::shared_ptr<const Bitmap> placed = layers.placed(*layer, renderWidth, renderHeight);
                const Imaging::CanvasLayer over{placed, layer->blend, layer->alpha};
                plan->render(*content, out, &over, told);
            } else {
                plan->render(*content, out, nullptr, told);
            }
            return;
        }
        resize(out, renderWidth, renderHeight);
        placeBottomLeft(*frame, out);
        if (contentMark) {
            if (auto layer = watermarkLayer(videoSize)) {
                layer->placement.y += renderHeight - videoHeight;
                layers.draw(out, *layer);
            }
        }
        if (canvasMark) {
            if (auto layer = watermarkLayer({double(renderWidth), double(renderHeight)})) layers.draw(out, *layer);
        }
    }
};

std::string temporaryMoviePath(const std::string& folder, double wallNow) {
    // "SR_%f.mp4" as the C locale writes it: a comma-decimal desktop
    // locale must not change the name.
    const std::string name = "SR_" + fixedDecimal(wallNow, 6) + ".mp4";
    return folder + (folder.empty() || folder.back() != '/' ? "/" : "") + name;
}

}  // namespace

void SRUnifiedProcessor::processVideoWithURL(const std::string& url, std::optional<Asset> asset) {
    Platform& p = platform();
    SRSettings& s = settings();
    if (!s.recShellEnabled && !s.recWatermarkEnabled) return;

    const std::optional<MovieInfo> info = p.video->open(url);
    if (!info || !info->hasVideo) {
        debugLog("%s has no video track; left as it is", url.c_str());
        return;
    }
    const AffineTransform& t = info->preferredTransform;
    const double w = info->naturalSize.width, h = info->naturalSize.height;
    const Size videoSize{std::abs(t.a * w + t.c * h), std::abs(t.b * w + t.d * h)};

    auto frames = std::make_shared<RecordingFrames>();
    frames->videoSize = videoSize;
    frames->videoWidth = static_cast<int>(std::lround(videoSize.width));
    frames->videoHeight = static_cast<int>(std::lround(videoSize.height));
    if (frames->videoWidth <= 0 || frames->videoHeight <= 0) {
        debugLog("%s has an empty picture; left as it is", url.c_str());
        return;
    }

    std::optional<std::string> shellPath;
    if (s.recShellEnabled) {
        const bool landscape = videoSize.width > videoSize.height;
        shellPath = SRAssetResolver::resolveShellPathIsLandscape(landscape);
        frames->shell = keptImageFile(shellPath);
        if (!frames->shell) {
            // Without the frame the user asked for, the recording stays as
            // it was, watermark switch or not.
            debugLog("no shell for this recording; left as it is");
            return;
        }
    }
    const Image& shell = frames->shell;
    frames->renderWidth = shell ? shell->width : frames->videoWidth;
    frames->renderHeight = shell ? shell->height : frames->videoHeight;
    const double W = frames->renderWidth, H = frames->renderHeight;
    const SRShellLayout layout = getLayoutForShell(shell ? shellPath : std::nullopt, {W, H}, videoSize);

    if (shell) {
        // The perspective stage works bottom-up: each layout point enters it
        // as (x, H − y).
        const FilterQuad corners{toFilterSpace(layout.lt, H), toFilterSpace(layout.rt, H), toFilterSpace(layout.lb, H),
                                 toFilterSpace(layout.rb, H)};
        // What lies outside the device is worked out once for the export;
        // the plan leaves it to the shell alone in every frame.
        const Quad quad = fromFilterSpace(corners, H);
        frames->plan =
            p.imaging->planPerspectiveUnder(frames->videoWidth, frames->videoHeight, quad, shell,
                                            outsideForPlacement(outsideOfShellFile(shellPath, *shell), quad));
    }
    const std::optional<std::string> watermarkPath = SRAssetResolver::resolveWatermarkPath();
    if (s.recWatermarkEnabled && watermarkPath) frames->watermark = keptImageFile(watermarkPath);

    const std::string folder = p.fs->temporaryDirectory();
    if (folder.empty()) {
        debugLog("no private temporary folder; recording left as it is");
        return;
    }
    ExportRequest request;
    request.sourcePath = url;
    request.outputPath = temporaryMoviePath(folder, p.clock->wallNow());
    request.renderWidth = frames->renderWidth;
    request.renderHeight = frames->renderHeight;
    request.framesPerSecond = kFramesPerSecond;
    request.frameHandler = [frames](const Bitmap& source, Bitmap& output, int64_t, const Imaging::RowBands& bands) {
        frames->render(source, output, bands);
    };

    const std::string outputPath = request.outputPath;
    auto session = p.video->exportAsynchronously(std::move(request), [this, outputPath, asset](ExportStatus status) {
        if (status == ExportStatus::Completed) {
            finalizeVideoAtURL(outputPath, asset);
            return;
        }
        // A failed or cancelled export must not leave a partial movie.
        debugLog("export of %s ended with status %d", outputPath.c_str(), static_cast<int>(status));
        platform().fs->removeItem(outputPath);
    });
    if (!session) debugLog("no export session for %s", url.c_str());
}

}  // namespace plinthora
