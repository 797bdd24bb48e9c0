#include "imaging/parallel_for.h"

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <thread>
#include <vector>

namespace plinthora::imaging {

int threadCount() {
    // PLINTHORA_THREADS caps the threads (benchmarks compare one core with
    // one core); otherwise one per hardware thread.
    static const int n = [] {
        const char* env = std::getenv("PLINTHORA_THREADS");
        const int forced = env ? std::atoi(env) : 0;
        return forced > 0 ? forced : int(std::max(1u, std::thread::hardware_concurrency()));
    }();
    return n;
}

namespace {
thread_local bool tlSerial = false;
}

SerialLoops::SerialLoops() : was_(tlSerial) { tlSerial = true; }
SerialLoops::~SerialLoops() { tlSerial = was_; }

void parallelFor(int count, const std::function<void(int, int)>& body, int minPerSlice, int maxSlices) {
    if (count <= 0) return;
    int slices = tlSerial ? 1 : threadCount();
    if (maxSlices > 0) slices = std::min(slices, maxSlices);
    slices = std::min(slices, std::max(1, count / std::max(1, minPerSlice)));
    if (slices <= 1) {
        body(0, count);
        return;
    }
    std::vector<std::thread> threads;
    threads.reserve(size_t(slices - 1));
    auto bound = [&](int i) { return int(int64_t(count) * i / slices); };
    for (int i = 1; i < slices; ++i) threads.emplace_back(body, bound(i), bound(i + 1));
    body(0, bound(1));
    for (auto& t : threads) t.join();
}

}  // namespace plinthora::imaging
