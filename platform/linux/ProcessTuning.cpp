#include "platform/linux/ProcessTuning.h"

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <mutex>

#include <malloc.h>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <unistd.h>

namespace plinthora::linux_platform {

namespace {

constexpr int kMovieMmapThreshold = 1 << 20;

uintptr_t hugeStart = 0, hugeEnd = 0;  // the heap range marked, if any

std::mutex hugePagesOffMutex;
int hugePagesOffUsers = 0;
int hugePagesBefore = 0;

}  // namespace

void preferHugePages() {
#if !defined(__SANITIZE_ADDRESS__)
    constexpr size_t kPad = size_t(512) << 20, kHuge = size_t(2) << 20;
    if (!::mallopt(M_ARENA_MAX, 1) || !::mallopt(M_MMAP_THRESHOLD, 32 << 20) || !::mallopt(M_TOP_PAD, int(kPad)) ||
        !::mallopt(M_TRIM_THRESHOLD, int(2 * kPad)))
        return;
    // One block the heap's free top cannot hold makes it grow by the pad.
    void* probe = std::malloc(kHuge * 4);
    const auto start = (reinterpret_cast<uintptr_t>(probe) + kHuge - 1) & ~(kHuge - 1);
    const auto end = reinterpret_cast<uintptr_t>(::sbrk(0)) & ~(kHuge - 1);
    if (probe && end > start && end - start <= 2 * kPad &&
        ::madvise(reinterpret_cast<void*>(start), end - start, MADV_HUGEPAGE) == 0) {
        hugeStart = start;
        hugeEnd = end;
    }
    std::free(probe);
#endif
}

void forgoHugePages() {
    if (hugeEnd > hugeStart) ::madvise(reinterpret_cast<void*>(hugeStart), hugeEnd - hugeStart, MADV_NOHUGEPAGE);
    hugeStart = hugeEnd = 0;
#if !defined(__SANITIZE_ADDRESS__)
    // A movie's frame-sized buffers each get pages of their own, given back
    // when freed, rather than a place in the one heap that never shrinks.
    ::mallopt(M_MMAP_THRESHOLD, kMovieMmapThreshold);
    ::mallopt(M_TOP_PAD, 128 << 10);
    ::mallopt(M_TRIM_THRESHOLD, 128 << 10);
#endif
}

HugePagesOff::HugePagesOff() {
    std::lock_guard lock(hugePagesOffMutex);
    if (hugePagesOffUsers++ == 0) {
        hugePagesBefore = ::prctl(PR_GET_THP_DISABLE, 0, 0, 0, 0);
        if (hugePagesBefore == 0) ::prctl(PR_SET_THP_DISABLE, 1, 0, 0, 0);
    }
}

HugePagesOff::~HugePagesOff() {
    std::lock_guard lock(hugePagesOffMutex);
    if (--hugePagesOffUsers == 0 && hugePagesBefore == 0) ::prctl(PR_SET_THP_DISABLE, 0, 0, 0, 0);
}

void releasePages(void* data, size_t bytes) {
    const auto page = uintptr_t(::sysconf(_SC_PAGESIZE));
    const uintptr_t begin = (reinterpret_cast<uintptr_t>(data) + page - 1) & ~(page - 1);
    const uintptr_t end = (reinterpret_cast<uintptr_t>(data) + bytes) & ~(page - 1);
    if (end > begin) ::madvise(reinterpret_cast<void*>(begin), end - begin, MADV_DONTNEED);
}

void lowerThreadPriority(int levels) {
    errno = 0;
    const int nice = ::getpriority(PRIO_PROCESS, 0);
    if (errno == 0) ::setpriority(PRIO_PROCESS, 0, std::min(nice + levels, 19));
}

}  // namespace plinthora::linux_platform
