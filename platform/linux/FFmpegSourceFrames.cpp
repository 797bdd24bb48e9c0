#include "platform/linux/FFmpegSourceFrames.h"

#include <algorithm>

extern "C" {
#include <libavutil/frame.h>
}

namespace plinthora::linux_platform::ffmpeg {

std::vector<uint32_t> BufferPool::take(size_t words) {
    std::lock_guard lock(mutex_);
    for (auto it = free_.begin(); it != free_.end(); ++it)
        if (it->size() == words) {
            std::vector<uint32_t> v = std::move(*it);
            free_.erase(it);
            return v;
        }
    return std::vector<uint32_t>(words);
}

void BufferPool::give(std::vector<uint32_t>&& v) {
    if (v.empty()) return;
    std::lock_guard lock(mutex_);
    free_.push_back(std::move(v));
}

SourceFrame::SourceFrame(FramePtr frame, int turns, BufferPool& pool)
    : decoded(std::move(frame)), quarterTurns(turns), buffers(&pool) {
    const AVFrame* f = decoded.get();
    const bool sideways = quarterTurns % 2 != 0;
    upright.width = sideways ? f->height : f->width;
    upright.height = sideways ? f->width : f->height;
    banded_ = quarterTurns % 4 == 0 && Scaler::makesRows(f);
    bandCount_ = banded_ ? (f->height + kBand - 1) / kBand : 1;
    bandOnce_ = std::make_unique<std::once_flag[]>(size_t(bandCount_));
    // Its rows are kept until the frame goes (slots compare them with the
    // next frame's), not handed back once made.
    if (banded_) rows_ = std::move(decoded);
}

FramePtr SourceFrame::rowsRef() const { return FramePtr(rows_ ? av_frame_clone(rows_.get()) : nullptr); }

SourceFrame::~SourceFrame() { buffers->give(std::move(upright.pixels)); }

void SourceFrame::need(int begin, int end, Scaler& scaler) {
    std::call_once(taken_, [&] { upright.pixels = buffers->take(size_t(upright.width) * size_t(upright.height)); });
    if (!banded_) {
        std::call_once(bandOnce_[0], [&] {
            if (!scaler.toUprightArgb(decoded.get(), quarterTurns, upright)) failed_ = true;
            decoded.reset();  // hand the decoder its buffer back early
        });
        return;
    }
    begin = std::max(begin, 0);
    end = std::min(end, upright.height);
    for (int b = begin / kBand; b * kBand < end; ++b)
        std::call_once(bandOnce_[size_t(b)], [&] {
            const int from = b * kBand;
            Scaler::rowsToArgb(rows_.get(), from, std::min(from + kBand, upright.height),
                               upright.pixels.data() + size_t(from) * size_t(upright.width), size_t(upright.width));
        });
}

bool SourceFrame::rowsInto(int begin, int end, uint32_t* out) const {
    if (!banded_) return false;
    Scaler::rowsToArgb(rows_.get(), begin, end, out, size_t(upright.width));
    return true;
}

}  // namespace plinthora::linux_platform::ffmpeg
