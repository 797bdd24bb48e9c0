// Finding the newest screenshot, dressing it and handing it to delivery.
// Everything here runs on the main queue; the image-data request is
// synchronous, so a run is one pass through findScreenshot and
// handleImageData (or a give-up and, once, a retry 1.5 s later).
#include "compositing/SRAssetResolver.h"
#include "compositing/SRUnifiedProcessor.h"
#include "compositing/ShellOutside.h"
#include "history/RecentCaptureTable.h"
#include "platform/ports/Platform.h"
#include "settings/SRSettings.h"
#include "util/FileMemo.h"

#include <algorithm>
#include <cmath>
#include <exception>
#include <mutex>

namespace plinthora {

namespace {

constexpr double kDebounce = 1.8;
constexpr double kSearchWindow = 60;
constexpr int kFetchLimit = 5;
constexpr double kGreatestAge = 30;
constexpr double kRetryDelay = 1.5;
constexpr double kSizeLow = 0.8, kSizeHigh = 1.2;

bool passesSizeTest(const Asset& a, Size screen, double scale) {
    const double w = screen.width * scale, h = screen.height * scale;
    return kSizeLow * w <= a.pixelWidth && a.pixelWidth <= kSizeHigh * w && kSizeLow * h <= a.pixelHeight &&
           a.pixelHeight <= kSizeHigh * h;
}

}  // namespace

std::shared_ptr<Bitmap> loadImageFile(const std::optional<std::string>& path) {
    if (!path) return nullptr;
    Platform& p = platform();
    auto bytes = p.fs->readFile(*path);
    if (!bytes) return nullptr;
    std::shared_ptr<Bitmap> image = p.imaging->decode(*bytes);
    if (!image) debugLog("%s does not decode; going on without it", path->c_str());
    return image;
}

namespace {

// Portrait and landscape shells, the watermark, and one more.
FileMemo<const Bitmap>& keptImages() {
    static FileMemo<const Bitmap> memo(4);
    return memo;
}

}  // namespace

Image keptImageFile(const std::optional<std::string>& path) {
    if (!path) return nullptr;
    const FileSystem* fs = platform().fs;
    const std::optional<FileStamp> stamp = fs->stamp(*path);
    if (!stamp) return loadImageFile(path);
    // Kept under the file's own path: an asset folder's name for it and
    // the path a user gave are one file, decoded once.
    const std::string file = fs->realPath(*path);
    if (Image kept = keptImages().find(fs, file, *stamp)) return kept;
    Image image = loadImageFile(path);
    if (image) keptImages().keep(fs, file, *stamp, image);
    return image;
}

SRUnifiedProcessor& SRUnifiedProcessor::sharedInstance() {
    static SRUnifiedProcessor instance;
    return instance;
}

void SRUnifiedProcessor::resetForTesting() {
    keptImages().clear();
    std::lock_guard g(lock_);
    screenshotProcessing_ = false;
    lastScreenshotTriggerTime_ = 0;
    hasTriggered_ = false;
}

bool SRUnifiedProcessor::screenshotProcessingForTesting() const {
    std::lock_guard g(lock_);
    return screenshotProcessing_;
}

void SRUnifiedProcessor::processScreenshotWithRetry(bool retry, std::optional<double> dueAt) {
    SRSettings& s = settings();
    if (!s.ssShellEnabled && !s.ssWatermarkEnabled) {
        // A retry holds the flag for its run; both features switched off
        // while it waited must still end that run, or no screenshot would
        // ever be processed again.
        if (retry) {
            std::lock_guard g(lock_);
            screenshotProcessing_ = false;
        }
        return;
    }
    if (!retry) {
        const double t = dueAt.value_or(platform().clock->now());
        if (hasTriggered_ && t - lastScreenshotTriggerTime_ < kDebounce) return;
        lastScreenshotTriggerTime_ = t;
        hasTriggered_ = true;
    }
    {
        std::lock_guard g(lock_);
        if (!retry) {
            if (screenshotProcessing_) return;
            screenshotProcessing_ = true;
        }
    }
    try {
        findScreenshot(retry);
    } catch (const std::exception& e) {
        debugLog("screenshot run failed: %s", e.what());
        std::lock_guard g(lock_);
        screenshotProcessing_ = false;
    }
}

void SRUnifiedProcessor::giveUp(bool retry) {
    if (retry) {
        debugLog("no screenshot found after the retry; giving up");
        std::lock_guard g(lock_);
        screenshotProcessing_ = false;
        return;
    }
    debugLog("no screenshot found yet; trying once more in %.1f s", kRetryDelay);
    platform().dispatch->after(kRetryDelay, Queue::Main, [this] { processScreenshotWithRetry(true); });
}

void SRUnifiedProcessor::findScreenshot(bool retry) {
    Platform& p = platform();
    const double wallNow = p.clock->wallNow();
    std::vector<Asset> assets = p.photos->fetchNewest(MediaType::Image, kFetchLimit, wallNow - kSearchWindow);
    if (assets.empty()) return giveUp(retry);

    const Size screen = p.screen->bounds();
    const double scale = p.screen->scale();
    const std::optional<std::string> lastSaved = lastSavedAssetIdentifier();

    const Asset* found = nullptr;
    for (const Asset& a : assets) {
        if (a.ownResult || (lastSaved && a.localIdentifier == *lastSaved)) continue;
        if (!a.localIdentifier.empty()) {
            pruneRecentAssetIdentifiers();
            if (isRecentlyHandled(a.localIdentifier)) continue;
        }
        if (!passesSizeTest(a, screen, scale)) {
            debugLog("%s is %gx%g pixels, the screen %gx%g: not a screenshot of it", a.localIdentifier.c_str(),
                     double(a.pixelWidth), double(a.pixelHeight), screen.width * scale, screen.height * scale);
            continue;
        }
        found = &a;
        break;
    }
    if (!found) return giveUp(retry);
    if (wallNow - found->creationDate > kGreatestAge) {
        debugLog("newest screenshot %s is too old", found->localIdentifier.c_str());
        return giveUp(retry);
    }
    const Asset asset = *found;
    debugLog("screenshot run takes %s", asset.localIdentifier.c_str());
    recordRecentAssetIdentifier(asset.localIdentifier);
    handleImageData(p.photos->requestImageData(asset), asset, retry);
}

void SRUnifiedProcessor::handleImageData(const std::optional<std::string>& data, const Asset& asset, bool retry) {
    if (!data) return giveUp(retry);
    Image screenshot = platform().imaging->decode(*data);
    if (!screenshot) {
        debugLog("screenshot %s does not decode", asset.localIdentifier.c_str());
        std::lock_guard g(lock_);
        screenshotProcessing_ = false;
        return;
    }
    SRSettings& s = settings();
    StillDressing dressing;
    const bool landscape = screenshot->width > screenshot->height;
    // Both look-ups run on every screenshot, whatever the switches say.
    dressing.shellPath = SRAssetResolver::resolveShellPathIsLandscape(landscape);
    if (s.ssShellEnabled) dressing.shell = keptImageFile(dressing.shellPath);
    const std::optional<std::string> watermarkPath = SRAssetResolver::resolveWatermarkPath();
    if (s.ssWatermarkEnabled) dressing.watermark = keptImageFile(watermarkPath);
    dressing.watermarkMode = s.watermarkMode;
    Image result = composeScreenshot(screenshot, dressing);
    finalizeScreenshot(result, asset);
    std::lock_guard g(lock_);
    screenshotProcessing_ = false;
}

Image SRUnifiedProcessor::composeScreenshot(const Image& screenshot, const StillDressing& dressing) const {
    Platform& p = platform();
    const Size shotSize = screenshot->size();
    const Image& shell = dressing.shell;
    const Image& watermark = dressing.watermark;
    const int32_t mode = dressing.watermarkMode;
    Image content = screenshot;
    if (watermark && mode == SRWatermarkModeContentArea) content = drawWatermark(watermark, screenshot, shotSize);

    if (!shell) {
        if (watermark && mode == SRWatermarkModeFullCanvas) return drawWatermark(watermark, content, content->size());
        return content;
    }

    const double W = shell->width, H = shell->height;
    // The template is read once and serves both the layout and the choice
    // of placement.
    const std::optional<Value> tmpl = dressing.shellTemplate ? dressing.shellTemplate
                                      : dressing.shellPath   ? readShellTemplate(*dressing.shellPath)
                                                             : std::nullopt;
    const SRShellLayout layout = layoutFromTemplate(tmpl, {W, H}, shotSize);
    const TemplateForm form = templateForm(tmpl);
    // Worked out before the canvas may take over the shell's pixels.
    const std::shared_ptr<const ShellOutside> outside = outsideOfShellFile(dressing.shellPath, *shell);

    std::shared_ptr<Bitmap> canvas;
    if (form == TemplateForm::Corner) {
        // The perspective stage works bottom-up: each layout point enters it
        // as (x, H − y).
        const FilterQuad corners{toFilterSpace(layout.lt, H), toFilterSpace(layout.rt, H), toFilterSpace(layout.lb, H),
                                 toFilterSpace(layout.rb, H)};
        const Quad quad = fromFilterSpace(corners, H);
        const std::shared_ptr<const ShellOutside> cut = outsideForPlacement(outside, quad);
        if (dressing.spareShell && dressing.spareShell == shell) {
            canvas = dressing.spareShell;
            p.imaging->perspectiveUnderInPlace(*content, quad, *canvas, cut.get());
        } else {
            canvas = std::make_shared<Bitmap>(p.imaging->perspectiveUnder(*content, quad, *shell, cut.get()));
        }
    } else {
        Rect target;
        if (form == TemplateForm::Rectangle) {
            target = {layout.lt.x, layout.lt.y, layout.rb.x - layout.lt.x, layout.rb.y - layout.lt.y};
        } else {
            const double cw = shotSize.width, ch = shotSize.height;
            const double f = std::min(W / cw, H / ch);
            target = {(W - f * cw) / 2, (H - f * ch) / 2, f * cw, f * ch};
        }
        canvas = std::make_shared<Bitmap>(shell->width, shell->height, shell->scale);
        p.imaging->draw(*canvas, *content, target, BlendMode::Normal, 1.0);
        const Quad quad{{target.x, target.y},
                        {target.x + target.width, target.y},
                        {target.x, target.y + target.height},
                        {target.x + target.width, target.y + target.height}};
        const double top = std::min(target.y, target.y + target.height);
        const double bottom = std::max(target.y, target.y + target.height);
        const auto cut = outsideForPlacement(outside, quad);
        if (cut && std::isfinite(top) && std::isfinite(bottom)) {
            // The rows the picture was drawn on, whatever the template's numbers.
            clearOutside(*canvas, *cut, int(std::clamp(std::floor(top) - 1, 0.0, H)),
                         int(std::clamp(std::ceil(bottom) + 1, 0.0, H)));
        }
        p.imaging->draw(*canvas, *shell, {0, 0, W, H}, BlendMode::Normal, 1.0);
    }
    canvas->scale = shell->scale;
    if (watermark && mode == SRWatermarkModeFullCanvas) drawWatermarkOver(*canvas, watermark, canvas->size());
    return canvas;
}

}  // namespace plinthora
