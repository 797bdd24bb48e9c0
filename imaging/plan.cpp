// The fused warp under a shell, planned once for the frames of a movie.
// Everything that depends only on the shell, the quad and the picture's size
// is worked out when the plan is made: the inverse map, the runs of each row
// the shell does not cover fully, how each span of those runs is sampled,
// and the seam pixels at the hole's edge.
// A frame then costs the shell's pixels outside those runs, the warp of the
// runs under the shell and the seam: the very steps warpUnder() takes, so
// the pixels are the same.
#include "imaging/plan.h"

#include "imaging/draw.h"
#include "imaging/parallel_for.h"
#include "imaging/pixel.h"
#include "imaging/sampler.h"
#include "imaging/warp.h"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <mutex>
#include <numeric>
#include <utility>
#include <vector>

namespace plinthora::imaging {

namespace {

// A band's content rows as RowBands::contentRows makes them, in a window
// of a few rows that stays in cache between being made and being sampled.
// The rows the band before read and this one reads again are moved to the
// window's top, not made again.
class ContentWindow {
public:
    ContentWindow(const Imaging::RowBands* bands, int width, int capacity)
        : bands_(bands && bands->contentRows ? bands : nullptr), width_(size_t(width)), capacity_(capacity) {}

    // Points `rows` at content rows [from, to) in the window; false when the
    // window cannot hold them or the receiver cannot make them.
    bool fill(int from, int to, SourceRows& rows) {
        if (!bands_ || to - from > capacity_ || from >= to) return false;
        if (pixels_.empty()) pixels_.resize(size_t(capacity_) * width_);
        int made = from;
        if (from >= from_ && from < to_ && to >= to_) {
            std::memmove(pixels_.data(), pixels_.data() + size_t(from - from_) * width_,
                         size_t(to_ - from) * width_ * sizeof(uint32_t));
            made = to_;
        }
        from_ = to_ = 0;
        if (made < to && !bands_->contentRows(made, to, pixels_.data() + size_t(made - from) * width_)) {
            // It will not make them for the next band either.
            bands_ = nullptr;
            return false;
        }
        from_ = from;
        to_ = to;
        // Row 0 would lie before the window: an address, not a pointer into
        // any object, through which only rows [from, to) are read.
        rows.pixels = reinterpret_cast<const uint32_t*>(reinterpret_cast<uintptr_t>(pixels_.data()) -
                                                        uintptr_t(from) * width_ * sizeof(uint32_t));
        return true;
    }

private:
    const Imaging::RowBands* bands_;
    size_t width_;
    int capacity_;
    std::vector<uint32_t> pixels_;
    int from_ = 0, to_ = 0;  // the rows the window holds
};

// Numbers for still pixels, unique in the process.
uint64_t nextStillNumber() {
    static std::atomic<uint64_t> last{0};
    return ++last;
}

class WarpUnderPlan : public Imaging::PerspectivePlan {
public:
    WarpUnderPlan(int contentWidth, int contentHeight, const Quad& quad, Image shell,
                  std::shared_ptr<const ShellOutside> outside)
        : width_(contentWidth),
          height_(contentHeight),
          quad_(quad),
          shell_(std::move(shell)),
          outside_(std::move(outside)) {
        if (!shell_ || shell_->empty()) return;
        if (outside_ && (outside_->width != shell_->width || outside_->height != shell_->height)) outside_ = nullptr;
        // The sampler needs the picture's size only; each frame brings its
        // own pixels.
        Bitmap size;
        size.width = width_;
        size.height = height_;
        mapped_ = sampler_.prepare(size, quad_, shell_->width, shell_->height);
        if (mapped_) {
            // Room for a span every 16 pixels of each row and a few at the
            // runs' ends, asked for once: grown by doubling, the spans (some
            // megabytes) would page in nearly twice their size, and a movie
            // pays for each page it touches first. Room left over is never
            // touched.
            spans_.reserve(size_t(sampler_.y1 - sampler_.y0) * size_t((sampler_.x1 - sampler_.x0) / 16 + 4));
            rowRuns_.push_back(0);
            for (int y = sampler_.y0; y < sampler_.y1; ++y) {
                const uint32_t* row = shell_->pixels.data() + size_t(y) * size_t(shell_->width);
                // Only what lies inside the device is warped; outside it the
                // shell stands alone.
                auto addRun = [&](int from, int to) {
                    Run run{spans_.size(), 0, from, to, false};
                    sampler_.spans(y, from, to, [&](const Sampler::Span& s) { spans_.push_back(s); });
                    run.lastSpan = spans_.size();
                    run.underShell = std::any_of(row + from, row + to, [](uint32_t p) { return p != 0; });
                    runs_.push_back(run);
                };
                for (int x = sampler_.x0; x < sampler_.x1;) {
                    const int runStart = skipWhile(row, x, sampler_.x1, true);
                    x = skipWhile(row, runStart, sampler_.x1, false);
                    if (runStart == x) continue;
                    if (outside_)
                        outside_->forEachInside(y, runStart, x, addRun);
                    else
                        addRun(runStart, x);
                }
                rowRuns_.push_back(runs_.size());
            }
        }
        seam_ = seamPixels(*shell_, quad_, width_, height_, outside_.get());
        // The seam is listed in pixel order, so each row's pixels follow on:
        // a row's range starts where the rows above it end.
        rowSeam_.assign(size_t(shell_->height) + 1, 0);
        for (const SeamPixel& p : seam_) ++rowSeam_[p.index / size_t(shell_->width) + 1];
        std::partial_sum(rowSeam_.begin(), rowSeam_.end(), rowSeam_.begin());
        workOutBandNeeds();
        workOutLiveColumns();
        bareStill_ = nextStillNumber();
    }

    void render(const Bitmap& content, Bitmap& out, const Imaging::CanvasLayer* layer,
                const Imaging::RowBands* bands) const override {
        if (!shell_) {
            out = Bitmap();
            return;
        }
        const Bitmap& shell = *shell_;
        auto needAll = [&] {
            if (bands && bands->needContent) bands->needContent(0, content.height);
        };
        // The layer drawn over a canvas already made, as draw() does.
        auto drawLayerOver = [&] {
            if (layer && layer->pixels)
                draw(out, *layer->pixels, {0, 0, double(out.width), double(out.height)}, layer->mode, layer->alpha);
        };
        if (content.width != width_ || content.height != height_ || content.empty()) {
            needAll();
            out = warpUnder(content, quad_, shell, outside_.get());
            drawLayerOver();
            return;
        }
        if (layer && !(layer->pixels && layer->pixels->width == shell.width && layer->pixels->height == shell.height)) {
            needAll();
            render(content, out, nullptr, nullptr);
            drawLayerOver();
            return;
        }
        out.width = shell.width;
        out.height = shell.height;
        out.scale = shell.scale;
        out.pixels.resize(shell.pixels.size());
        const size_t w = size_t(out.width);
        const std::shared_ptr<const LayerState> over = layer ? layerFor(*layer) : nullptr;
        const bool tellNeed = bands && bands->needContent, handOver = bands && bands->canvasRows;
        const bool liveOnly = handOver && bands->holdsStill && bands->holdsStill(over ? over->still : bareStill_);
        // Band by band, each pixel written once: the shell where it covers,
        // the warped picture with the shell over it in the runs, the seam,
        // and the layer over all while the row is still in cache. Bands
        // handed over are made in a buffer of one band that stays in cache,
        // not in the canvas; when the receiver holds the still pixels, only
        // the live columns are made at all, and of those only the bands whose
        // content rows changed since the frame the receiver holds.
        parallelFor(
            int(bandNeed_.size()),
            [&](int first, int last) {
                std::vector<uint32_t> scratch(handOver ? size_t(kBand) * w : 0);
                // Each run of bands samples its own window.
                Sampler bs = sampler_;
                ContentWindow window(bands, content.width, windowRows_);
                for (int band = first; band < last; ++band) {
                    const int begin = band * kBand, end = std::min(begin + kBand, out.height);
                    const auto [needFrom, needTo] = bandNeed_[size_t(band)];
                    if (liveOnly && bands->holdsBand && bands->holdsBand(needFrom, needTo, begin, end)) continue;
                    if (!window.fill(needFrom, needTo, bs.src)) {
                        if (tellNeed && needFrom < needTo) bands->needContent(needFrom, needTo);
                        // Taken after asking: the content's buffer may come
                        // with its first rows.
                        bs.src = SourceRows::of(content);
                    }
                    uint32_t* rows = handOver ? scratch.data() : out.pixels.data() + size_t(begin) * w;
                    for (int y = begin; y < end; ++y) {
                        const Imaging::ColumnSpan live =
                            liveOnly ? pairLive_[size_t(y / 2)] : Imaging::ColumnSpan{0, int(w)};
                        if (live.from >= live.to) continue;
                        uint32_t* row = rows + size_t(y - begin) * w;
                        const uint32_t* shellRow = shell.pixels.data() + size_t(y) * w;
                        // The shell outside the runs: whole rows from the shell,
                        // live columns from the plan's own copy.
                        const uint32_t* kept = liveOnly ? liveShell_.data() + liveShellStart_[size_t(y)] : nullptr;
                        auto shellUpTo = [&](size_t from, size_t to) {
                            if (kept) {
                                std::copy(kept, kept + (to - from), row + from);
                                kept += to - from;
                            } else {
                                std::memcpy(row + from, shellRow + from, (to - from) * sizeof(uint32_t));
                            }
                        };
                        size_t x = size_t(live.from);
                        if (mapped_ && y >= bs.y0 && y < bs.y1) {
                            const size_t r = size_t(y - bs.y0);
                            for (size_t i = rowRuns_[r]; i < rowRuns_[r + 1]; ++i) {
                                const Run& run = runs_[i];
                                shellUpTo(x, size_t(run.from));
                                bs.drawRun(&spans_[run.firstSpan], &spans_[run.lastSpan], y, row + run.from);
                                if (run.underShell)
                                    shellOverInPlace(row + run.from, shellRow + run.from, run.to - run.from);
                                x = size_t(run.to);
                            }
                        }
                        shellUpTo(x, size_t(live.to));
                        const SeamPixel* seam = seam_.data();
                        applySeam(rows, size_t(begin) * w, shell, bs.src, seam + rowSeam_[size_t(y)],
                                  seam + rowSeam_[size_t(y) + 1]);
                        if (over && over->alpha != 0) over->blendRow(row, y, live.from, live.to);
                    }
                    if (handOver)
                        bands->canvasRows(begin, end, rows, liveOnly ? &pairLive_[size_t(begin / 2)] : nullptr);
                }
            },
            1);
    }

private:
    static constexpr int kBand = 16;
    // A content window holds at most this many bytes: well inside a core's
    // second-level cache beside the band and the shell's rows.
    static constexpr size_t kWindowBytes = size_t(512) * 1024;

    // A layer as the bands draw it: only the stretches of each row where it
    // is not clear, packed one after another so that they stream from
    // memory, and already times its alpha, which is what each pixel of the
    // blend starts with, so the same bytes.
    struct LayerState {
        Image source;
        BlendMode mode;
        uint32_t alpha;
        uint64_t still;  // names the still pixels with this layer over them
        struct Piece {
            int from, to;  // columns of the row
            size_t at;     // where its pixels start in `packed`
        };
        std::vector<uint32_t> packed;
        std::vector<Piece> pieces;
        std::vector<size_t> rowPieces;  // row y's: pieces[rowPieces[y], rowPieces[y + 1])

        // Draws the layer's row y over columns [from, to) of `row`.
        void blendRow(uint32_t* row, int y, int from, int to) const {
            for (size_t i = rowPieces[size_t(y)]; i < rowPieces[size_t(y) + 1]; ++i) {
                const Piece& p = pieces[i];
                const int a = std::max(p.from, from), b = std::min(p.to, to);
                if (a < b) blendOver(row + a, packed.data() + p.at + size_t(a - p.from), b - a, mode, 255);
            }
        }
    };

    // The same state for as long as the same layer comes, made once.
    std::shared_ptr<const LayerState> layerFor(const Imaging::CanvasLayer& layer) const {
        const uint32_t a8 = alpha8(layer.alpha);
        std::lock_guard lock(layerMutex_);
        if (layerState_ && layerState_->source == layer.pixels && layerState_->mode == layer.mode &&
            layerState_->alpha == a8)
            return layerState_;
        auto state =
            std::make_shared<LayerState>(LayerState{layer.pixels, layer.mode, a8, nextStillNumber(), {}, {}, {}});
        // Clear gaps shorter than this stay in a piece: blending them
        // changes nothing and costs less than another piece.
        constexpr int kGap = 16;
        const Bitmap& b = *layer.pixels;
        state->rowPieces.push_back(0);
        for (int y = 0; y < b.height; ++y) {
            const uint32_t* row = b.pixels.data() + size_t(y) * size_t(b.width);
            for (int x = 0; x < b.width;) {
                while (x < b.width && row[x] == 0) ++x;
                if (x == b.width) break;
                int end = x, clear = 0;
                for (int i = x; i < b.width && clear < kGap; ++i) {
                    clear = row[i] == 0 ? clear + 1 : 0;
                    if (row[i] != 0) end = i + 1;
                }
                state->pieces.push_back({x, end, state->packed.size()});
                for (int i = x; i < end; ++i) state->packed.push_back(a8 == 255 ? row[i] : scalePixel(row[i], a8));
                x = end;
            }
            state->rowPieces.push_back(state->pieces.size());
        }
        layerState_ = std::move(state);
        return layerState_;
    }

    // The columns of each pair of canvas rows that can differ from frame to
    // frame: the runs and the seam, widened to even columns for the
    // encoder's chroma. Everything else is the shell, or nothing.
    void workOutLiveColumns() {
        const int w = shell_->width, h = shell_->height;
        pairLive_.assign(size_t((h + 1) / 2), {w, 0});
        auto take = [&](int y, int from, int to) {
            Imaging::ColumnSpan& span = pairLive_[size_t(y / 2)];
            span.from = std::min(span.from, from);
            span.to = std::max(span.to, to);
        };
        if (mapped_)
            for (int y = sampler_.y0; y < sampler_.y1; ++y) {
                const size_t r = size_t(y - sampler_.y0);
                for (size_t i = rowRuns_[r]; i < rowRuns_[r + 1]; ++i) take(y, runs_[i].from, runs_[i].to);
            }
        for (const SeamPixel& p : seam_) {
            const int x = int(p.index % size_t(w));
            take(int(p.index / size_t(w)), x, x + 1);
        }
        for (Imaging::ColumnSpan& span : pairLive_)
            if (span.from < span.to)
                span = {span.from & ~1, std::min((span.to + 1) & ~1, w)};
            else
                span = {0, 0};
        // The shell's pixels in the live columns but outside the runs, in
        // the order a row is made: a few at each end of most rows, which
        // read from the shell itself would each be a miss in the cache.
        liveShellStart_.assign(size_t(h) + 1, 0);
        for (int y = 0; y < h; ++y) {
            liveShellStart_[size_t(y)] = liveShell_.size();
            const Imaging::ColumnSpan live = pairLive_[size_t(y / 2)];
            if (live.from >= live.to) continue;
            const uint32_t* row = shell_->pixels.data() + size_t(y) * size_t(w);
            int x = live.from;
            if (mapped_ && y >= sampler_.y0 && y < sampler_.y1) {
                const size_t r = size_t(y - sampler_.y0);
                for (size_t i = rowRuns_[r]; i < rowRuns_[r + 1]; ++i) {
                    liveShell_.insert(liveShell_.end(), row + x, row + runs_[i].from);
                    x = runs_[i].to;
                }
            }
            liveShell_.insert(liveShell_.end(), row + x, row + live.to);
        }
        liveShellStart_[size_t(h)] = liveShell_.size();
    }

    // The content rows each band of kBand canvas rows reads: its spans'
    // ends (positions along a span lie on a line) and its seam pixels, each
    // with the row below for the bilinear sample. A span mapped pixel by
    // pixel may read anywhere.
    void workOutBandNeeds() {
        const int bandCount = (shell_->height + kBand - 1) / kBand;
        bandNeed_.assign(size_t(bandCount), {height_, 0});
        auto take = [&](int y, int64_t fy) {
            const int row = int(std::clamp<int64_t>((fy + 256) >> 16, 0, height_ - 1));
            auto& [from, to] = bandNeed_[size_t(y / kBand)];
            from = std::min(from, row);
            to = std::max(to, std::min(row + 2, height_));
        };
        if (mapped_)
            for (int y = sampler_.y0; y < sampler_.y1; ++y) {
                const size_t r = size_t(y - sampler_.y0);
                for (size_t i = rowRuns_[r]; i < rowRuns_[r + 1]; ++i)
                    for (size_t k = runs_[i].firstSpan; k < runs_[i].lastSpan; ++k) {
                        const Sampler::Span& span = spans_[k];
                        if (span.kind == Sampler::Span::Exact) {
                            bandNeed_[size_t(y / kBand)] = {0, height_};
                            continue;
                        }
                        take(y, span.fy);
                        take(y, span.fy + span.dfy * (span.to - span.from - 1));
                    }
            }
        for (const SeamPixel& p : seam_) {
            const int y = int(p.index / size_t(shell_->width));
            const int64_t fy = int64_t(std::floor((double(p.v) - 0.5) * 65536.0));
            take(y, fy - 65536);
            take(y, fy + 65536);
        }
        // Bands that read more rows than a window holds (a picture shrunk
        // a lot, or spans mapped pixel by pixel, which may read any row) are
        // read from the content itself.
        const int fits = int(std::max<size_t>(kWindowBytes / (size_t(std::max(width_, 1)) * sizeof(uint32_t)), 2));
        windowRows_ = 0;
        for (const auto& [from, to] : bandNeed_)
            if (to - from <= fits) windowRows_ = std::max(windowRows_, to - from);
    }

    int width_, height_;
    Quad quad_;
    Image shell_;
    std::shared_ptr<const ShellOutside> outside_;
    Sampler sampler_;
    bool mapped_ = false;
    // A stretch [from, to) of a row that the shell does not cover fully,
    // drawn as spans_[firstSpan, lastSpan). Where the shell is clear over
    // all of it (most of a screen's hole), its pixels need not be read.
    struct Run {
        size_t firstSpan, lastSpan;
        int from, to;
        bool underShell;
    };
    // The runs of bounding-box row r: runs_[rowRuns_[r], rowRuns_[r + 1]).
    // A movie's frames repeat the plan's mapping, so the divisions, the
    // straightness tests and the edge tests are made once.
    std::vector<Sampler::Span> spans_;
    std::vector<Run> runs_;
    std::vector<size_t> rowRuns_;
    std::vector<SeamPixel> seam_;
    std::vector<size_t> rowSeam_;                // seam pixels of row y: [rowSeam_[y], rowSeam_[y + 1])
    std::vector<std::pair<int, int>> bandNeed_;  // content rows [first, second) band b reads; empty when first ≥ second
    int windowRows_ = 0;                         // the most rows a band that reads from a window reads
    std::vector<Imaging::ColumnSpan> pairLive_;  // live columns of canvas rows 2j and 2j + 1; empty when none
    std::vector<uint32_t> liveShell_;            // the shell in the live columns outside the runs, row by row
    std::vector<size_t> liveShellStart_;         // row y's: liveShell_[liveShellStart_[y], liveShellStart_[y + 1])
    uint64_t bareStill_ = 0;                     // names the still pixels without a layer
    mutable std::mutex layerMutex_;
    mutable std::shared_ptr<const LayerState> layerState_;
};

}  // namespace

std::shared_ptr<const Imaging::PerspectivePlan> planWarpUnder(int contentWidth, int contentHeight, const Quad& quad,
                                                              Image shell,
                                                              std::shared_ptr<const ShellOutside> outside) {
    return std::make_shared<const WarpUnderPlan>(contentWidth, contentHeight, quad, std::move(shell),
                                                 std::move(outside));
}

}  // namespace plinthora::imaging
