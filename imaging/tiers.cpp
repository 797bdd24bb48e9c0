#include "imaging/tiers.h"

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace plinthora::imaging {

namespace {

size_t noUnfilter(uint8_t*, const uint8_t*, size_t) { return 0; }
int noRowToPixels(const uint8_t*, uint32_t*, int, size_t) { return 0; }

const TierKernels kPlain{
    SimdTier::Plain,
    [](uint32_t*, const uint32_t*, int, uint32_t) { return 0; },
    [](uint32_t*, const uint32_t*, int, uint32_t) { return 0; },
    [](const uint32_t*, size_t, int64_t, int64_t, int64_t, int64_t, uint32_t*, int, bool) { return 0; },
    nullptr,
    [](const uint32_t*, int x, int, bool) { return x; },
    [](const uint32_t*, int x, int) { return x; },
    [](uint32_t*, const uint32_t*, int) { return 0; },
    [](uint32_t*, const uint32_t*, int) { return 0; },
    [](const ToRgb&, const uint8_t*, const uint8_t*, const uint8_t*, uint32_t*, int) { return 0; },
    [](const uint32_t*, const uint32_t*, uint8_t*, uint8_t*, uint8_t*, uint8_t*, int) { return 0; },
    nullptr,
    noUnfilter,
    noUnfilter,
    noRowToPixels,
    [](const uint32_t*, int, uint8_t*) { return 0; },
    [](const uint8_t*, const uint8_t*, size_t, uint32_t*) { return size_t(0); },
    [](int, const uint8_t*, const uint8_t*, size_t, uint8_t*) { return size_t(0); },
};

#if defined(PLINTHORA_X86_TIERS)
// The PNG decoder's rows to pixels: the plain loop, which the compiler
// widens to SSE2 anyway.
const TierKernels kSse2{SimdTier::Sse2,
                        sse2::blendNormal,
                        sse2::blendScreen,
                        sse2::stepInterior,
                        nullptr,
                        sse2::skipOpaque,
                        sse2::skipSolid,
                        sse2::shellOver,
                        sse2::shellOverInPlace,
                        sse2::yuvRowToArgb,
                        sse2::argbRowsToYuv,
                        nullptr,
                        sse2::unfilterAverage4,
                        sse2::unfilterPaeth4,
                        noRowToPixels,
                        sse2::pngUnpremultiply,
                        sse2::pngFilterCosts,
                        sse2::pngFilter};
// Where AVX2 has no wider loop of its own, the SSE2 one serves.
const TierKernels kAvx2{SimdTier::Avx2,         avx2::blendNormal,    avx2::blendScreen,    avx2::stepInterior,
                        avx2::stepSpans,        sse2::skipOpaque,     sse2::skipSolid,      sse2::shellOver,
                        sse2::shellOverInPlace, avx2::yuvRowToArgb,   avx2::argbRowsToYuv,  nullptr,
                        sse2::unfilterAverage4, sse2::unfilterPaeth4, avx2::pngRowToPixels, avx2::pngUnpremultiply,
                        avx2::pngFilterCosts,   avx2::pngFilter};
// AVX-512 has loops of its own for the blends, the warp's samples and the
// 4:2:0 conversions; AVX2's serve the rest.
const TierKernels kAvx512{SimdTier::Avx512,       avx512::blendNormal,  avx512::blendScreen,   avx512::stepInterior,
                          avx512::stepSpans,      sse2::skipOpaque,     sse2::skipSolid,       sse2::shellOver,
                          sse2::shellOverInPlace, avx512::yuvRowToArgb, avx512::argbRowsToYuv, avx512::yuvRowPairToArgb,
                          sse2::unfilterAverage4, sse2::unfilterPaeth4, avx2::pngRowToPixels,  avx2::pngUnpremultiply,
                          avx2::pngFilterCosts,   avx2::pngFilter};
#endif

const TierKernels* tableOf(SimdTier t) {
#if defined(PLINTHORA_X86_TIERS)
    if (t == SimdTier::Avx512) return &kAvx512;
    if (t == SimdTier::Avx2) return &kAvx2;
    if (t == SimdTier::Sse2) return &kSse2;
#endif
    (void)t;
    return &kPlain;
}

SimdTier best() {
#if defined(PLINTHORA_X86_TIERS)
    __builtin_cpu_init();
    if (__builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512bw") && __builtin_cpu_supports("avx512vl"))
        return SimdTier::Avx512;
    if (__builtin_cpu_supports("avx2")) return SimdTier::Avx2;
    if (__builtin_cpu_supports("sse2")) return SimdTier::Sse2;
#endif
    return SimdTier::Plain;
}

// The best tier, or the one PLINTHORA_SIMD names. A tier the processor (or
// this build) lacks is refused with a line on stderr, and the best one it
// has runs instead.
SimdTier chosen() {
    const SimdTier most = best();
    const char* env = std::getenv("PLINTHORA_SIMD");
    if (!env || !*env) return most;
    for (SimdTier t : {SimdTier::Plain, SimdTier::Sse2, SimdTier::Avx2, SimdTier::Avx512}) {
        if (std::strcmp(env, tierName(t)) != 0) continue;
        if (t <= most) return t;
        std::fprintf(stderr, "PLINTHORA_SIMD=%s: this processor lacks %s; using %s\n", env, env, tierName(most));
        return most;
    }
    std::fprintf(stderr, "PLINTHORA_SIMD=%s: not one of plain, sse2, avx2, avx512; using %s\n", env, tierName(most));
    return most;
}

std::atomic<const TierKernels*> active{nullptr};

}  // namespace

const char* tierName(SimdTier t) {
    switch (t) {
    case SimdTier::Plain: return "plain";
    case SimdTier::Sse2: return "sse2";
    case SimdTier::Avx2: return "avx2";
    case SimdTier::Avx512: return "avx512";
    }
    return "?";
}

const TierKernels& tier() {
    const TierKernels* t = active.load(std::memory_order_relaxed);
    if (!t) {
        static const TierKernels* const first = tableOf(chosen());
        const TierKernels* expected = nullptr;
        active.compare_exchange_strong(expected, first);
        t = active.load(std::memory_order_relaxed);
    }
    return *t;
}

bool hasTier(SimdTier t) { return t <= best(); }

bool useTier(SimdTier t) {
    if (!hasTier(t)) return false;
    active.store(tableOf(t), std::memory_order_relaxed);
    return true;
}

}  // namespace plinthora::imaging
