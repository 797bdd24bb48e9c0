// How the process asks the kernel for its memory and its share of the
// cores: the command line's heap for stills, huge pages off while movies
// are exported, and the lower priority of the threads that feed an encoder.
#pragma once

#include <cstddef>

namespace plinthora::linux_platform {

// Every picture lands in fresh memory, and on a virtual machine the first
// touch of each 4 KiB page is a costly fault: a framed screenshot touches
// some 40 000 of them, a large share of a run. Big blocks are taken from
// one heap that grows in large steps and is marked for huge pages, so the
// kernel maps it 2 MiB at a time. Called once, early, before other
// threads allocate; does nothing under AddressSanitizer.
void preferHugePages();

// Takes back what preferHugePages() asked for. A movie's buffers are made
// once and live through the export, so huge pages save it few faults;
// zeroing them, 2 MiB at a first touch from the codec threads, cost it
// about a second of system time on the benchmark's recording. Blocks of a
// megabyte and more are mapped on their own again, and the heap gives its
// free top back: on the benchmark's recording the one heap that never
// shrinks held some 11 MB more at the peak.
void forgoHugePages();

// Transparent huge pages stay off for the process while one of these
// lives (the setting it had is put back after the last one). The
// encoder's frame buffers are made once and live through the export, so
// huge pages spare them few TLB misses, while faulting them in 2 MiB at a
// time cost the benchmark's export 1.3 to 1.4 s of system time against
// 0.5 to 0.7 s without, out of about 17 s of CPU.
class HugePagesOff {
public:
    HugePagesOff();
    ~HugePagesOff();
    HugePagesOff(const HugePagesOff&) = delete;
    HugePagesOff& operator=(const HugePagesOff&) = delete;
};

// Gives the whole pages within [data, data + bytes) back to the kernel;
// they read as zeros when touched again. For a buffer whose contents no
// longer matter and that may never be written again.
void releasePages(void* data, size_t bytes);

// Lowers the calling thread's priority by `levels` nice levels (on Linux a
// thread's own, inherited by the threads it starts afterwards).
void lowerThreadPriority(int levels);

}  // namespace plinthora::linux_platform
