// Pixels and the image operations the compositing code needs.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace plinthora {

struct Size {
    double width = 0, height = 0;
    bool operator==(const Size&) const = default;
};
struct Point {
    double x = 0, y = 0;
    bool operator==(const Point&) const = default;
};
struct Rect {
    double x = 0, y = 0, width = 0, height = 0;
    bool operator==(const Rect&) const = default;
};

// Premultiplied ARGB32 in native byte order (0xAARRGGBB per word), rows
// tightly packed, top-left origin. `scale` is pixels per point.
struct Bitmap {
    int width = 0;
    int height = 0;
    double scale = 1.0;
    std::vector<uint32_t> pixels;

    Bitmap() = default;
    Bitmap(int w, int h, double s = 1.0)
        : width(w), height(h), scale(s), pixels(static_cast<size_t>(w) * static_cast<size_t>(h), 0u) {}
    uint32_t at(int x, int y) const { return pixels[static_cast<size_t>(y) * width + x]; }
    uint32_t& at(int x, int y) { return pixels[static_cast<size_t>(y) * width + x]; }
    // Size in points.
    Size size() const { return {width / scale, height / scale}; }
    bool empty() const { return width <= 0 || height <= 0; }
};
using Image = std::shared_ptr<const Bitmap>;

enum class BlendMode { Normal, Screen, Overlay, SoftLight };

// Where a projective map sends the four corners of the source, in the
// destination's top-left-origin pixel coordinates.
struct Quad {
    Point topLeft, topRight, bottomLeft, bottomRight;
};

// The same four corners in the image-filter stage's frame: origin at the
// bottom-left corner of a canvas, y upward.
struct FilterQuad {
    Point inputTopLeft, inputTopRight, inputBottomLeft, inputBottomRight;
};

// The one conversion between the two frames, for a canvas of `height`.
inline Point toFilterSpace(Point p, double height) { return {p.x, height - p.y}; }
inline Quad fromFilterSpace(const FilterQuad& q, double height) {
    return {toFilterSpace(q.inputTopLeft, height), toFilterSpace(q.inputTopRight, height),
            toFilterSpace(q.inputBottomLeft, height), toFilterSpace(q.inputBottomRight, height)};
}

// The pixels of a shell that lie outside the device it draws: those that
// can be reached from the image's border through pixels that are not fully
// opaque (the clear surroundings, a shadow, the soft rim of the body). What
// the device encloses, its screen included, is the rest. Row by row, as
// sorted column runs [from, to).
struct ShellOutside {
    struct Run {
        int from = 0, to = 0;
    };
    int width = 0, height = 0;
    std::vector<Run> runs;
    std::vector<uint32_t> rowRuns;  // row y's: runs[rowRuns[y], rowRuns[y + 1])

    bool contains(int x, int y) const {
        if (y < 0 || y >= height || x < 0 || x >= width) return false;
        for (uint32_t i = rowRuns[size_t(y)]; i < rowRuns[size_t(y) + 1]; ++i) {
            if (x < runs[i].from) return false;
            if (x < runs[i].to) return true;
        }
        return false;
    }
    // Calls fn(a, b) for each stretch [a, b) of [from, to) on row y that is
    // not outside.
    template <class F>
    void forEachInside(int y, int from, int to, F&& fn) const {
        if (y >= 0 && y < height)
            for (uint32_t i = rowRuns[size_t(y)]; i < rowRuns[size_t(y) + 1] && from < to; ++i) {
                const Run& r = runs[i];
                if (r.to <= from) continue;
                if (r.from >= to) break;
                if (r.from > from) fn(from, r.from);
                from = r.to;
            }
        if (from < to) fn(from, to);
    }
};

class Imaging {
public:
    virtual ~Imaging() = default;
    // PNG or JPEG, EXIF orientation applied; nullptr when the bytes do not
    // decode or declare more pixels than the decoder allows. The pixels are
    // the caller's own.
    virtual std::shared_ptr<Bitmap> decode(const std::string& bytes) const = 0;
    virtual std::optional<std::string> encodePng(const Bitmap& image) const = 0;

    // A width × height bitmap of `src` mapped projectively onto `quad`,
    // sampled bilinearly, fully transparent outside the quad.
    virtual Bitmap perspective(const Bitmap& src, const Quad& quad, int width, int height) const = 0;
    // The shell drawn over `content` mapped onto `quad`, at the shell's size
    // and scale: perspective() followed by draw() of the shell, which an
    // implementation may fuse (it need not warp where the shell is opaque).
    // One difference keeps the hole's edge free of a see-through hairline:
    // where the shell is partly drawn (0 < alpha < 255) within 2 pixels
    // outside the quad (or less than one inside it), the content reaches
    // there with its edge pixels repeated. Where the shell is clear or
    // opaque the pixels are exactly those of warp then draw.
    // With `outside` (of this shell), the content shows only inside the
    // device: on the pixels outside the result is the shell alone.
    virtual Bitmap perspectiveUnder(const Bitmap& content, const Quad& quad, const Bitmap& shell,
                                    const ShellOutside* outside = nullptr) const = 0;
    // perspectiveUnder drawn in the shell's own pixels, for a caller done
    // with the shell: the same canvas without a second one to fill.
    virtual void perspectiveUnderInPlace(const Bitmap& content, const Quad& quad, Bitmap& shell,
                                         const ShellOutside* outside = nullptr) const {
        shell = perspectiveUnder(content, quad, shell, outside);
    }
    // perspectiveUnder for many contents of one size on one shell and quad
    // (the frames of a movie): whatever depends only on those is worked out
    // once, when the plan is made. render() may run on several threads at
    // once; `out` is set to the shell's size and every pixel written.
    // With a layer, render() also draws it over the whole canvas (draw()
    // at whole pixels, the layer at the canvas's size), which an
    // implementation may fuse with the warp: a movie's full-canvas
    // watermark.
    struct CanvasLayer {
        Image pixels;  // held, so that a plan knows the same layer again
        BlendMode mode = BlendMode::Normal;
        double alpha = 1.0;
    };
    // A movie's frame can come from its decoder and go to its encoder a
    // band of rows at a time, while the band is still in cache. render()
    // tells `needContent` which rows of the content it is about to read
    // (they need not be there before), and hands finished rows [begin, end)
    // of the canvas to `canvasRows`, one after another from `pixels`; rows
    // handed over need not be written to `out` at all. Either may be empty;
    // rows may come in any order and, when render() splits its work, from
    // several threads.
    // Much of a framed movie's canvas is the same in every frame: the shell
    // where nothing shows through it, with the layer over it. render() gives
    // those still pixels a number, the same as long as they stay the same,
    // and asks `holdsStill` once whether the receiver of the bands holds
    // them from an earlier frame. If so, it may hand over only the live
    // columns of each pair of rows: `live` then has one span per row pair
    // of the band, each starting at an even column and ending at one or at
    // the canvas's width, and `pixels` holds nothing outside them. Bands
    // handed over in part are whole row pairs (begin even, end even or the
    // canvas's height). Without `live` the rows are whole.
    // A band is made from the still pixels and the content rows it reads
    // alone. When the receiver holds the still pixels, render() first asks
    // `holdsBand` whether it also holds canvas rows [begin, end) as made
    // from content whose rows [contentBegin, contentEnd) were the same as
    // this content's (an empty range: none read); if so, that band is
    // neither made nor handed over, and its content rows are not asked for.
    struct ColumnSpan {
        int from = 0, to = 0;
    };
    // Instead of reading a band's content rows from `content` after
    // needContent, render() may ask for them band by band: `contentRows`
    // writes content rows [begin, end) to `rows`, one after another, each
    // the content's width, and returns false if it cannot, render() then
    // reading them from `content` as before. The rows stay in cache between
    // being made and read, and `content`'s own rows are not written at all.
    struct RowBands {
        std::function<void(int begin, int end)> needContent;
        std::function<void(int begin, int end, const uint32_t* pixels, const ColumnSpan* live)> canvasRows;
        std::function<bool(uint64_t still)> holdsStill;
        std::function<bool(int contentBegin, int contentEnd, int begin, int end)> holdsBand;
        std::function<bool(int begin, int end, uint32_t* rows)> contentRows;
    };
    class PerspectivePlan {
    public:
        virtual ~PerspectivePlan() = default;
        virtual void render(const Bitmap& content, Bitmap& out, const CanvasLayer* layer = nullptr,
                            const RowBands* bands = nullptr) const = 0;
    };
    virtual std::shared_ptr<const PerspectivePlan> planPerspectiveUnder(
        int contentWidth, int contentHeight, const Quad& quad, Image shell,
        std::shared_ptr<const ShellOutside> outside = nullptr) const {
        struct Plain : PerspectivePlan {
            const Imaging* img;
            Quad quad;
            Image shell;
            std::shared_ptr<const ShellOutside> outside;
            void render(const Bitmap& content, Bitmap& out, const CanvasLayer* layer,
                        const RowBands* bands) const override {
                if (bands && bands->needContent) bands->needContent(0, content.height);
                out = img->perspectiveUnder(content, quad, *shell, outside.get());
                if (layer && layer->pixels)
                    img->draw(out, *layer->pixels, {0, 0, double(out.width), double(out.height)}, layer->mode,
                              layer->alpha);
            }
        };
        (void)contentWidth;
        (void)contentHeight;
        auto plan = std::make_shared<Plain>();
        plan->img = this;
        plan->quad = quad;
        plan->shell = std::move(shell);
        plan->outside = std::move(outside);
        return plan;
    }
    // Draws `src` stretched into `rect` (pixels of dst) with the blend mode
    // and a constant alpha; areas outside dst are cut off.
    virtual void draw(Bitmap& dst, const Bitmap& src, const Rect& rect, BlendMode mode, double alpha) const = 0;
    // Gaussian blur; the output is larger than the input by the blur's
    // spread on every side.
    virtual Bitmap gaussianBlur(const Bitmap& src, double radius) const = 0;
    // Contrast, brightness and saturation adjustment.
    virtual Bitmap colorControls(const Bitmap& src, double contrast, double brightness, double saturation) const = 0;
    // Colour unchanged, alpha multiplied by `a`.
    virtual Bitmap multiplyAlpha(const Bitmap& src, double a) const = 0;
    // How many pixels gaussianBlur adds on each side for a radius.
    virtual int blurSpread(double radius) const = 0;
};

}  // namespace plinthora
