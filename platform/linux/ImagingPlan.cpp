// The fused warp under a shell, planned once for the frames of a movie.
// Everything that depends only on the shell, the quad and the picture's size
// is worked out when the plan is made: the inverse map, the runs of each row
// the shell does not cover fully, and the seam pixels at the hole's edge.
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
            rowRuns_.push_back(0);
            for (int y = sampler_.y0; y < sampler_.y1; ++y) {
                const uint32_t* row = shell_->pixels.data() + size_t(y) * size_t(shell_->width);
                for (int x = sampler_.x0; x < sampler_.x1;) {
                    const int runStart = skipWhile(row, x, sampler_.x1, true);
                    x = skipWhile(row, runStart, sampler_.x1, false);
                    if (runStart < x) runs_.push_back({runStart, x});
                }
                rowRuns_.push_back(runs_.size());
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
                    for (size_t i = rowRuns_[size_t(r)]; i < rowRuns_[size_t(r) + 1]; ++i) {
                        const Run& run = runs_[i];
                        std::memcpy(row + x, shellRow + x, (size_t(run.begin) - x) * sizeof(uint32_t));
                        s.row(y, run.begin, run.end, row + run.begin);
                        shellOverInPlace(row + run.begin, shellRow + run.begin, run.end - run.begin);
                        x = size_t(run.end);
                    }
                    std::memcpy(row + x, shellRow + x, (w - x) * sizeof(uint32_t));
                }
            }, 16);
        }
        applySeam(out, shell, content, seam_);
    }

private:
    struct Run {
        int begin, end;
    };
    int width_, height_;
    Quad quad_;
    Image shell_;
    Sampler sampler_;
    bool mapped_ = false;
    std::vector<Run> runs_;
    std::vector<size_t> rowRuns_;  // runs of bounding-box row r: [rowRuns_[r], rowRuns_[r + 1])
    std::vector<SeamPixel> seam_;
};

}  // namespace

std::shared_ptr<const Imaging::PerspectivePlan> planWarpUnder(int contentWidth, int contentHeight, const Quad& quad,
                                                              Image shell) {
    return std::make_shared<const WarpUnderPlan>(contentWidth, contentHeight, quad, std::move(shell));
}

}  // namespace plinthora::linux_platform::PLINTHORA_KERNELS
