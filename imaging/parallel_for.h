// Splitting a loop over the hardware threads: the imaging kernels, the PNG
// encoder and the colour passes share this one helper.
#pragma once

#include <functional>

namespace plinthora::imaging {

// Threads to use: PLINTHORA_THREADS when set, else one per hardware thread.
int threadCount();

// Runs body(begin, end) over [0, count) split into contiguous slices, one per
// hardware thread (at most `maxSlices`), the first slice on the calling
// thread. Small jobs run inline.
void parallelFor(int count, const std::function<void(int, int)>& body, int minPerSlice = 64, int maxSlices = 0);

// While one lives, parallelFor on this thread runs its loops inline: for
// threads that already share the cores among themselves (the frame workers
// of a movie), where more threads would only queue for the same cores.
class SerialLoops {
public:
    SerialLoops();
    ~SerialLoops();
    SerialLoops(const SerialLoops&) = delete;
    SerialLoops& operator=(const SerialLoops&) = delete;

private:
    bool was_;
};

}  // namespace plinthora::imaging
