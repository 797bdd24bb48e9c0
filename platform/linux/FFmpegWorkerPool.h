// The export's frame workers: a fixed set of threads, as many as the cores,
// each making one output frame at a time in a slot of the export's fixed
// set. Internal to platform/linux.
#pragma once

#include "platform/linux/FFmpegMovie.h"
#include "platform/linux/FFmpegSourceFrames.h"

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace plinthora::linux_platform::ffmpeg {

// What a frame in the making needs only while a worker is on it: the
// output in ARGB and the converters. One per worker, not per slot.
struct Workspace {
    Bitmap output;
    Scaler scaler;
};

struct Slot {
    int64_t frameIndex = -1;
    std::shared_ptr<SourceFrame> source;
    FramePtr yuv;
    std::vector<uint8_t> pairsDone;  // output row pairs already in `yuv`
    uint64_t still = 0;              // the still pixels `yuv` holds from an earlier frame; 0: none
    FramePtr madeFrom;               // the decoded frame whose rows the rest of `yuv` was made from; null: unknown
    bool busy = false;
    bool done = false;
    std::string error;  // set by the worker when the frame could not be made
};

// Fixed worker threads taking slots from a queue; the queue never holds
// more than the number of slots.
class WorkerPool {
public:
    WorkerPool(int threads, std::function<void(Slot&, Workspace&)> work);
    ~WorkerPool();
    WorkerPool(const WorkerPool&) = delete;
    WorkerPool& operator=(const WorkerPool&) = delete;

    void submit(Slot& s);
    void wait(Slot& s);

private:
    void loop();

    std::function<void(Slot&, Workspace&)> work_;
    std::mutex mutex_;
    std::condition_variable wake_, finished_;
    std::deque<Slot*> queue_;
    bool stop_ = false;
    std::vector<std::thread> threads_;
};

}  // namespace plinthora::linux_platform::ffmpeg
