#include "platform/linux/FFmpegWorkerPool.h"

#include "imaging/parallel_for.h"

namespace plinthora::linux_platform::ffmpeg {

WorkerPool::WorkerPool(int threads, std::function<void(Slot&, Workspace&)> work) : work_(std::move(work)) {
    for (int i = 0; i < threads; ++i) threads_.emplace_back([this] { loop(); });
}

WorkerPool::~WorkerPool() {
    {
        std::lock_guard lock(mutex_);
        stop_ = true;
    }
    wake_.notify_all();
    for (auto& t : threads_) t.join();
}

void WorkerPool::submit(Slot& s) {
    {
        std::lock_guard lock(mutex_);
        s.busy = true;
        s.done = false;
        queue_.push_back(&s);
    }
    wake_.notify_one();
}

void WorkerPool::wait(Slot& s) {
    std::unique_lock lock(mutex_);
    finished_.wait(lock, [&] { return s.done; });
}

void WorkerPool::loop() {
    // The workers are as many as the cores, each on a frame of its own.
    const imaging::SerialLoops serial;
    Workspace workspace;
    std::unique_lock lock(mutex_);
    for (;;) {
        wake_.wait(lock, [&] { return stop_ || !queue_.empty(); });
        if (queue_.empty()) return;
        Slot* s = queue_.front();
        queue_.pop_front();
        lock.unlock();
        work_(*s, workspace);
        lock.lock();
        s->done = true;
        finished_.notify_all();
    }
}

}  // namespace plinthora::linux_platform::ffmpeg
