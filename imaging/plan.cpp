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
        workOutTileSpans();
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
        // content rows changed since the frame the receiver holds; when it
        // says which columns of them changed, only the tiles that read those.
        parallelFor(
            int(bandNeed_.size()),
            [&](int first, int last) {
                std::vector<uint32_t> scratch(handOver ? size_t(kBand) * w : 0);
                // Each run of bands samples its own window.
                Sampler bs = sampler_;
                ContentWindow window(bands, content.width, windowRows_);
                std::vector<Imaging::ColumnSpan> parts, ranges;
                std::vector<uint8_t> changed;
                std::vector<Imaging::ColumnSpan> partLive(size_t(kBand / 2));
                for (int band = first; band < last; ++band) {
                    const int begin = band * kBand, end = std::min(begin + kBand, out.height);
                    const auto [needFrom, needTo] = bandNeed_[size_t(band)];
                    // The parts of the band to make: column ranges, whole
                    // rows unless the receiver holds the still pixels.
                    parts.clear();
                    if (liveOnly && bands->changedContent &&
                        bands->changedContent(needFrom, needTo, begin, end, changed)) {
                        changedParts(band, changed, parts);
                    } else {
                        if (liveOnly && bands->holdsBand && bands->holdsBand(needFrom, needTo, begin, end)) continue;
                        parts.push_back({0, int(w)});
                    }
                    if (parts.empty()) continue;
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
                        ranges.clear();
                        for (const Imaging::ColumnSpan part : parts) {
                            const int from = std::max(live.from, part.from), to = std::min(live.to, part.to);
                            if (from < to) ranges.push_back({from, to});
                        }
                        if (!ranges.empty())
                            drawRow(bs, y, rows, begin, live, ranges.data(), ranges.data() + ranges.size(), over.get());
                    }
                    // Parts are tiles apart, so the few pixels a part's spans
                    // write beyond it do not reach another part.
                    for (const Imaging::ColumnSpan part : parts) {
                        if (!handOver) break;
                        if (!liveOnly) {
                            bands->canvasRows(begin, end, rows, nullptr);
                            continue;
                        }
                        for (int j = begin / 2; j < (end + 1) / 2; ++j) {
                            const Imaging::ColumnSpan live = pairLive_[size_t(j)];
                            const int from = std::max(live.from, part.from), to = std::min(live.to, part.to);
                            partLive[size_t(j - begin / 2)] =
                                from < to ? Imaging::ColumnSpan{from, to} : Imaging::ColumnSpan{};
                        }
                        bands->canvasRows(begin, end, rows, partLive.data());
                    }
                }
            },
            1);
    }

private:
    static constexpr int kBand = 16;
    // A band's parts that read no changed content are kept by a receiver
    // that holds them; parts are whole tiles this wide (even, for the
    // encoder's chroma).
    static constexpr int kTile = 64;

    struct LayerState;

    // Row y of the canvas over the column ranges [first, last) of its live
    // ones (in order, apart), into `rows` (which hold canvas rows from
    // `begin` on): the shell, the warped picture where the runs are with the
    // shell over it, the seam and the layer, in one sweep from left to
    // right. Spans are sampled whole, so a few pixels beyond a range may be
    // written; they are not the row's and are never handed over.
    void drawRow(const Sampler& bs, int y, uint32_t* rows, int begin, Imaging::ColumnSpan live,
                 const Imaging::ColumnSpan* first, const Imaging::ColumnSpan* last, const LayerState* over) const {
        const Bitmap& shell = *shell_;
        const size_t w = size_t(shell.width);
        uint32_t* row = rows + size_t(y - begin) * w;
        const uint32_t* shellRow = shell.pixels.data() + size_t(y) * w;
        // The shell outside the runs: whole rows from the shell, live
        // columns from the plan's own copy, which holds the pieces between
        // the runs one after another.
        const uint32_t* kept =
            live.from == 0 && live.to == int(w) ? nullptr : liveShell_.data() + liveShellStart_[size_t(y)];
        const Imaging::ColumnSpan* range = first;  // the first range that ends after the sweep
        auto shellPiece = [&](int a, int b) {
            while (range != last && range->to <= a) ++range;
            for (const Imaging::ColumnSpan* r = range; r != last && r->from < b; ++r) {
                const int c0 = std::max(a, r->from), c1 = std::min(b, r->to);
                if (c0 < c1)
                    std::memcpy(row + c0, kept ? kept + (c0 - a) : shellRow + c0, size_t(c1 - c0) * sizeof(uint32_t));
            }
            if (kept && a < b) kept += b - a;
        };
        int x = live.from;
        if (mapped_ && y >= bs.y0 && y < bs.y1) {
            const size_t r = size_t(y - bs.y0);
            for (size_t i = rowRuns_[r]; i < rowRuns_[r + 1]; ++i) {
                const Run& run = runs_[i];
                shellPiece(x, run.from);
                x = run.to;
                while (range != last && range->to <= run.from) ++range;
                const Sampler::Span* span = &spans_[run.firstSpan];
                const Sampler::Span* spansEnd = &spans_[run.lastSpan];
                for (const Imaging::ColumnSpan* rg = range; rg != last && rg->from < run.to; ++rg) {
                    const int r0 = std::max(run.from, rg->from), r1 = std::min(run.to, rg->to);
                    // The spans that reach into [r0, r1); they lie in order,
                    // and those of the tiles before need not be looked at.
                    span = std::max(span, spans_.data() + tileSpans_[r * tileStride_ + size_t(r0 / kTile)]);
                    while (span != spansEnd && span->to <= r0) ++span;
                    // A range that stops inside the run stops at a tile's
                    // edge: the spans from the one that reaches past it on
                    // are not drawn, and are not even looked at.
                    const Sampler::Span* stop = spansEnd;
                    if (r1 < run.to) {
                        stop = std::min(spansEnd, spans_.data() + tileSpans_[r * tileStride_ + size_t(r1 / kTile)]);
                        if (stop != spansEnd && stop->from < r1) ++stop;
                    }
                    if (span != stop) bs.drawRun(span, stop, y, row + span->from);
                    if (run.underShell) shellOverInPlace(row + r0, shellRow + r0, r1 - r0);
                    span = stop;
                }
            }
        }
        shellPiece(x, live.to);
        const SeamPixel* seam = seam_.data() + rowSeam_[size_t(y)];
        const SeamPixel* seamEnd = seam_.data() + rowSeam_[size_t(y) + 1];
        const size_t rowStart = size_t(y) * w;
        if (last - first == 1 && first->from == live.from && first->to == live.to) {
            applySeam(rows, size_t(begin) * w, shell, bs.src, seam, seamEnd);
        } else {
            // The row's seam pixels are in column order.
            const Imaging::ColumnSpan* rg = first;
            for (; seam != seamEnd; ++seam) {
                const int col = int(seam->index - rowStart);
                while (rg != last && rg->to <= col) ++rg;
                if (rg == last) break;
                if (col >= rg->from) applySeam(rows, size_t(begin) * w, shell, bs.src, seam, seam + 1);
            }
        }
        if (over && over->alpha != 0) over->blendRow(row, y, first, last);
    }

    // For each row of the bounding box and each tile, the first of the
    // row's spans that ends inside the tile or beyond.
    void workOutTileSpans() {
        tileStride_ = size_t((shell_->width + kTile - 1) / kTile) + 1;
        if (!mapped_) return;
        tileSpans_.assign(size_t(sampler_.y1 - sampler_.y0) * tileStride_, 0);
        for (int y = sampler_.y0; y < sampler_.y1; ++y) {
            const size_t r = size_t(y - sampler_.y0);
            size_t k = rowRuns_[r] < rowRuns_[r + 1] ? runs_[rowRuns_[r]].firstSpan : 0;
            const size_t end = rowRuns_[r] < rowRuns_[r + 1] ? runs_[rowRuns_[r + 1] - 1].lastSpan : 0;
            for (size_t t = 0; t < tileStride_; ++t) {
                while (k < end && spans_[k].to <= int(t) * kTile) ++k;
                tileSpans_[r * tileStride_ + t] = k;
            }
        }
    }

    // The tiles of `band` that read a changed column, as ranges of whole
    // tiles (adjacent ones joined).
    void changedParts(int band, const std::vector<uint8_t>& changed, std::vector<Imaging::ColumnSpan>& parts) const {
        const int w = shell_->width, tiles = (w + kTile - 1) / kTile;
        const size_t at = size_t(band) * size_t(tiles);
        const int chunks = int(changed.size());
        for (int t = 0; t < tiles; ++t) {
            const auto [c0, c1] = tileReads_[at + size_t(t)];
            bool differs = false;
            for (int c = c0 / Imaging::kChangeColumns; c < c1 && c <= (c1 - 1) / Imaging::kChangeColumns; ++c)
                if (c >= chunks || changed[size_t(c)]) {
                    differs = true;
                    break;
                }
            if (!differs) continue;
            const int from = t * kTile, to = std::min(from + kTile, w);
            if (!parts.empty() && parts.back().to == from)
                parts.back().to = to;
            else
                parts.push_back({from, to});
        }
    }
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
        // Draws the layer's row y over the column ranges [first, last) (in
        // order, apart) of `row`.
        void blendRow(uint32_t* row, int y, const Imaging::ColumnSpan* first, const Imaging::ColumnSpan* last) const {
            const Piece* piece = pieces.data() + rowPieces[size_t(y)];
            const Piece* pieceEnd = pieces.data() + rowPieces[size_t(y) + 1];
            for (const Imaging::ColumnSpan* rg = first; rg != last; ++rg) {
                while (piece != pieceEnd && piece->to <= rg->from) ++piece;
                for (const Piece* p = piece; p != pieceEnd && p->from < rg->to; ++p) {
                    const int a = std::max(p->from, rg->from), b = std::min(p->to, rg->to);
                    if (a < b) blendOver(row + a, packed.data() + p->at + size_t(a - p->from), b - a, mode, 255);
                }
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
        // And the content columns each tile of a band reads, from the spans
        // that reach into it (drawn whole) and its seam pixels.
        const int tiles = (shell_->width + kTile - 1) / kTile;
        tileReads_.assign(size_t(bandCount) * size_t(tiles), {width_, 0});
        auto takeColumns = [&](int y, int fromX, int toX, int64_t fxa, int64_t fxb) {
            const int a = int(std::clamp<int64_t>((std::min(fxa, fxb) + 256) >> 16, 0, width_ - 1));
            const int b = int(std::clamp<int64_t>((std::max(fxa, fxb) + 256) >> 16, 0, width_ - 1));
            for (int t = fromX / kTile; t <= (toX - 1) / kTile; ++t) {
                auto& [from, to] = tileReads_[size_t(y / kBand) * size_t(tiles) + size_t(t)];
                from = std::min(from, a);
                to = std::max(to, std::min(b + 2, width_));
            }
        };
        if (mapped_)
            for (int y = sampler_.y0; y < sampler_.y1; ++y) {
                const size_t r = size_t(y - sampler_.y0);
                for (size_t i = rowRuns_[r]; i < rowRuns_[r + 1]; ++i)
                    for (size_t k = runs_[i].firstSpan; k < runs_[i].lastSpan; ++k) {
                        const Sampler::Span& span = spans_[k];
                        const int n = span.to - span.from;
                        if (span.kind == Sampler::Span::Exact) {
                            bandNeed_[size_t(y / kBand)] = {0, height_};
                            takeColumns(y, span.from, span.to, 0, int64_t(width_) << 16);
                            continue;
                        }
                        take(y, span.fy);
                        take(y, span.fy + span.dfy * (n - 1));
                        takeColumns(y, span.from, span.to, span.fx, span.fx + span.dfx * (n - 1));
                    }
            }
        for (const SeamPixel& p : seam_) {
            const int y = int(p.index / size_t(shell_->width));
            const int64_t fy = int64_t(std::floor((double(p.v) - 0.5) * 65536.0));
            take(y, fy - 65536);
            take(y, fy + 65536);
            const int x = int(p.index % size_t(shell_->width));
            const int64_t fx = int64_t(std::floor((double(p.u) - 0.5) * 65536.0));
            takeColumns(y, x, x + 1, fx - 65536, fx + 65536);
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
    int windowRows_ = 0;
    // Content columns [first, second) tile t of band b reads, at
    // [b · tiles + t]; empty when first ≥ second.
    std::vector<std::pair<int, int>> tileReads_;
    // tileSpans_[r · tileStride_ + t]: see workOutTileSpans().
    std::vector<size_t> tileSpans_;
    size_t tileStride_ = 1;                      // the most rows a band that reads from a window reads
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
