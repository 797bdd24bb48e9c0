// The export's decoded frames on their way to the frame handler: each made
// upright as the workers ask for its rows, its pixels in buffers that are
// recycled from frame to frame. Internal to platform/linux.
#pragma once

#include "platform/linux/FFmpegMovie.h"

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

namespace plinthora::linux_platform::ffmpeg {

// Recycles the pixel buffers of upright source frames.
class BufferPool {
public:
    std::vector<uint32_t> take(size_t words);
    void give(std::vector<uint32_t>&& v);

private:
    std::mutex mutex_;
    std::vector<std::vector<uint32_t>> free_;
};

// A decoded frame, turned into an upright bitmap as the workers ask for its
// rows; several output frames may show the same source frame. An 8-bit
// 4:2:0 frame stored upright is made a band of rows at a time, each band
// once and just before a frame handler samples it, so that its pixels are
// still in that core's cache; any other frame is made whole at the first
// request.
struct SourceFrame {
    static constexpr int kBand = 16;
    FramePtr decoded;
    int quarterTurns = 0;
    BufferPool* buffers = nullptr;
    Bitmap upright;

    SourceFrame(FramePtr frame, int turns, BufferPool& pool);
    ~SourceFrame();

    // Makes rows [begin, end) of `upright` if they are not made yet. Its
    // buffer is taken at the first request, not when the frame is decoded:
    // frames waiting in the queue, and those whose rows all go straight to
    // a frame handler's window (below), hold no pixels.
    void need(int begin, int end, Scaler& scaler);
    // Rows [begin, end) of an 8-bit 4:2:0 frame stored upright, made into
    // `out` (rows of the frame's width one after another) and not kept;
    // false for any other frame, which need() makes whole.
    bool rowsInto(int begin, int end, uint32_t* out) const;
    bool failed() const { return failed_.load(); }
    // The decoded frame whose rows are the upright rows, for the life of
    // this one; null when it is made whole (turned, or another format).
    const AVFrame* rows() const { return rows_.get(); }
    // Another reference to it, for a slot that keeps what it was made from.
    FramePtr rowsRef() const;

private:
    FramePtr rows_;
    std::once_flag taken_;
    bool banded_ = false;
    int bandCount_ = 0;
    std::unique_ptr<std::once_flag[]> bandOnce_;
    std::atomic<bool> failed_{false};
};

}  // namespace plinthora::linux_platform::ffmpeg
