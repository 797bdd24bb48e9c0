// The fused warp under a shell, planned once for the frames of a movie.
// Everything that depends only on the shell, the quad and the picture's size
// is worked out when the plan is made: the inverse map, the runs of each row
// the shell does not cover fully, how each span of those runs is sampled,
// and the seam pixels at the hole's edge.
// A frame then costs the shell's pixels outside those runs, the warp of the
// runs under the shell and the seam: the very steps warpUnder() takes, so
// the pixels are the same.
#include "platform/linux/ImagingKernels.h"
#include "platform/linux/ImagingSampler.h"

#include <cstring>
#include <vector>

namespace plinthora::linux_platform::PLINTHORA_KERNELS {

namespace {

class WarpUnderPlan : public Imaging::PerspectivePlan {
public:
    WarpUnderPlan(int contentWidth, int contentHeight, const Quad& quad, Image shell)
        : width_(contentWidth), height_(contentHeight), quad_(quad), shell_(std::move(shell)) {
        if (!shell_ || shell_->empty()) return;
        // The sampler needs the picture's size only; each frame brings its
        // own pixels.
        Bitmap size;
        size.width = width_;
        size.height = height_;
        mapped_ = sampler_.prepare(size, quad_, shell_->width, shell_->height);
        if (mapped_) {
            rowSpans_.push_back(0);
            for (int y = sampler_.y0; y < sampler_.y1; ++y) {
                const uint32_t* row = shell_->pixels.data() + size_t(y) * size_t(shell_->width);
                for (int x = sampler_.x0; x < sampler_.x1;) {
                    const int runStart = skipWhile(row, x, sampler_.x1, true);
                    x = skipWhile(row, runStart, sampler_.x1, false);
                    if (runStart < x)
                        sampler_.spans(y, runStart, x, [&](const Sampler::Span& s) { spans_.push_back(s); });
                }
                rowSpans_.push_back(spans_.size());
            }
        }
        seam_ = seamPixels(*shell_, quad_, width_, height_);
    }

    void render(const Bitmap& content, Bitmap& out) const override {
        if (!shell_) {
            out = Bitmap();
            return;
        }
        const Bitmap& shell = *shell_;
        if (content.width != width_ || content.height != height_ || content.empty()) {
            out = warpUnder(content, quad_, shell);
            return;
        }
        out.width = shell.width;
        out.height = shell.height;
        out.scale = shell.scale;
        out.pixels.resize(shell.pixels.size());
        const size_t w = size_t(out.width);
        auto copyRows = [&](int from, int to) {
            if (from < to)
                std::memcpy(out.pixels.data() + size_t(from) * w, shell.pixels.data() + size_t(from) * w,
                            size_t(to - from) * w * sizeof(uint32_t));
        };
        if (!mapped_) {
            copyRows(0, out.height);
        } else {
            Sampler s = sampler_;
            s.src = &content;
            copyRows(0, s.y0);
            copyRows(s.y1, out.height);
            // Each pixel written once: the shell where it covers, the warped
            // picture with the shell over it in the runs.
            parallelFor(s.y1 - s.y0, [&](int begin, int end) {
                for (int r = begin; r < end; ++r) {
                    const int y = s.y0 + r;
                    uint32_t* row = out.pixels.data() + size_t(y) * w;
                    const uint32_t* shellRow = shell.pixels.data() + size_t(y) * w;
                    size_t x = 0;
                    for (size_t i = rowSpans_[size_t(r)]; i < rowSpans_[size_t(r) + 1]; ++i) {
                        const Sampler::Span& span = spans_[i];
                        std::memcpy(row + x, shellRow + x, (size_t(span.from) - x) * sizeof(uint32_t));
                        s.draw(span, y, row + span.from);
                        shellOverInPlace(row + span.from, shellRow + span.from, span.to - span.from);
                        x = size_t(span.to);
                    }
                    std::memcpy(row + x, shellRow + x, (w - x) * sizeof(uint32_t));
                }
            }, 16);
        }
        applySeam(out, shell, content, seam_);
    }

private:
    int width_, height_;
    Quad quad_;
    Image shell_;
    Sampler sampler_;
    bool mapped_ = false;
    // The spans of the runs of bounding-box row r: [rowSpans_[r],
    // rowSpans_[r + 1]). A movie's frames repeat the plan's mapping, so the
    // divisions, the straightness tests and the edge tests are made once.
    std::vector<Sampler::Span> spans_;
    std::vector<size_t> rowSpans_;
    std::vector<SeamPixel> seam_;
};

}  // namespace

std::shared_ptr<const Imaging::PerspectivePlan> planWarpUnder(int contentWidth, int contentHeight, const Quad& quad,
                                                              Image shell) {
    return std::make_shared<const WarpUnderPlan>(contentWidth, contentHeight, quad, std::move(shell));
}

}  // namespace plinthora::linux_platform::PLINTHORA_KERNELS
