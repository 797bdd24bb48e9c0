// The warp's interior samples eight at a time (built for AVX2).
#include "imaging/bilinear.h"
#include "imaging/tiers.h"

#include <immintrin.h>

namespace plinthora::imaging::avx2 {

namespace {

// Eight lanes of the low 32 bits of f, f + df, …, f + 7·df: the low bits
// of a sum or a product depend only on the low bits of its terms, so the
// lanes can be worked out in 32 bits, wrapping.
__m256i lowLanes8(int64_t f, int64_t df) {
    const __m256i low = _mm256_set1_epi32(int(uint32_t(uint64_t(f))));
    const __m256i step = _mm256_set1_epi32(int(uint32_t(uint64_t(df))));
    return _mm256_add_epi32(low, _mm256_mullo_epi32(step, _mm256_setr_epi32(0, 1, 2, 3, 4, 5, 6, 7)));
}

// The two pixels right of the sample at word offset `at`, each channel
// interleaved with the one below it.
__m128i columnPair(const uint32_t* pixels, size_t stride, int at) {
    const uint32_t* p = pixels + at;
    return _mm_unpacklo_epi8(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(p)),
                             _mm_loadl_epi64(reinterpret_cast<const __m128i*>(p + stride)));
}

// Samples k and k + 4 of a batch of eight, one in each 128-bit half.
__m256i samplePair(const uint32_t* pixels, size_t stride, const int* at, int k, __m256i wxk, __m256i wyk) {
    const __m256i zero = _mm256_setzero_si256();
    const __m256i tb = _mm256_inserti128_si256(_mm256_castsi128_si256(columnPair(pixels, stride, at[k])),
                                               columnPair(pixels, stride, at[k + 4]), 1);
    const __m256i left = _mm256_madd_epi16(_mm256_unpacklo_epi8(tb, zero), wyk);
    const __m256i right = _mm256_madd_epi16(_mm256_unpackhi_epi8(tb, zero), wyk);
    const __m256i sum = _mm256_madd_epi16(_mm256_or_si256(left, _mm256_slli_epi32(right, 16)), wxk);
    return _mm256_srli_epi32(_mm256_add_epi32(sum, _mm256_set1_epi32(1 << 13)), 14);
}

// Sampler::stepInterior()'s samples eight at a time, the same arithmetic
// in twice the lanes: pixels k and k + 4 share a register, one in each
// 128-bit half, so that the packing at the end puts them back in order.
// The positions of interior samples are whole in 32 bits, and so are the
// word offsets of their pixels when the picture has fewer than 2^31 words
// and sides below 2^15 (the caller sees to it): both are worked out eight
// lanes at a time. Returns how many samples it made (a multiple of eight).
// Always inlined: stepSpans() loops over it.
__attribute__((always_inline)) inline int stepEight(const uint32_t* pixels, size_t stride, int64_t fx, int64_t fy,
                                                    int64_t dfx, int64_t dfy, uint32_t* out, int n) {
    const __m256i k127 = _mm256_set1_epi32(127), k128 = _mm256_set1_epi32(128), k256 = _mm256_set1_epi32(256);
    const __m256i vstride = _mm256_set1_epi32(int(stride));
    __m256i vfx = lowLanes8(fx, dfx), vfy = lowLanes8(fy, dfy);
    const __m256i step8x = _mm256_set1_epi32(int(uint32_t(uint64_t(dfx * 8))));
    const __m256i step8y = _mm256_set1_epi32(int(uint32_t(uint64_t(dfy * 8))));
    alignas(32) int at[8];
    int i = 0;
    for (; i + 8 <= n; i += 8) {
        const __m256i gx = _mm256_add_epi32(vfx, k256), gy = _mm256_add_epi32(vfy, k256);
        _mm256_store_si256(
            reinterpret_cast<__m256i*>(at),
            _mm256_add_epi32(_mm256_mullo_epi32(_mm256_srli_epi32(gy, 16), vstride), _mm256_srli_epi32(gx, 16)));
        const __m256i wx = _mm256_and_si256(_mm256_srli_epi32(gx, 9), k127);
        const __m256i wy = _mm256_and_si256(_mm256_srli_epi32(gy, 9), k127);
        const __m256i WX = _mm256_or_si256(_mm256_sub_epi32(k128, wx), _mm256_slli_epi32(wx, 16));
        const __m256i WY = _mm256_or_si256(_mm256_sub_epi32(k128, wy), _mm256_slli_epi32(wy, 16));
        vfx = _mm256_add_epi32(vfx, step8x);
        vfy = _mm256_add_epi32(vfy, step8y);
        const __m256i s0 =
            samplePair(pixels, stride, at, 0, _mm256_shuffle_epi32(WX, 0x00), _mm256_shuffle_epi32(WY, 0x00));
        const __m256i s1 =
            samplePair(pixels, stride, at, 1, _mm256_shuffle_epi32(WX, 0x55), _mm256_shuffle_epi32(WY, 0x55));
        const __m256i s2 =
            samplePair(pixels, stride, at, 2, _mm256_shuffle_epi32(WX, 0xAA), _mm256_shuffle_epi32(WY, 0xAA));
        const __m256i s3 =
            samplePair(pixels, stride, at, 3, _mm256_shuffle_epi32(WX, 0xFF), _mm256_shuffle_epi32(WY, 0xFF));
        // Halves: 0, 1 | 4, 5 and 2, 3 | 6, 7, then 0–3 | 4–7.
        const __m256i a = _mm256_packs_epi32(s0, s1), b = _mm256_packs_epi32(s2, s3);
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + i), _mm256_packus_epi16(a, b));
    }
    return i;
}

// One interior sample at a 16.16 pixel-centre position, rounded to 1/128
// pixel as Sampler::stepInterior() does.
uint32_t sampleOne(const uint32_t* pixels, size_t stride, int64_t fx, int64_t fy) {
    const int gx = int((fx + 256) >> 9), gy = int((fy + 256) >> 9);
    const uint32_t* r0 = pixels + size_t(gy >> 7) * stride;
    return blend4(r0, r0 + stride, gx >> 7, (gx >> 7) + 1, gx & 127, gy & 127);
}

}  // namespace

// stepEight() for each interior span from `first` on, in one loop so that
// a span's set-up overlaps the one before it; the last few samples of a
// span go to the SSE2 loop and then one at a time.
const SampleSpan* stepSpans(const uint32_t* pixels, size_t stride, const SampleSpan* first, const SampleSpan* last,
                            int base, uint32_t* out) {
    const SampleSpan* s = first;
    for (; s != last && s->kind == SampleSpan::Interior; ++s) {
        uint32_t* o = out + (s->from - base);
        const int n = s->to - s->from;
        int i = stepEight(pixels, stride, s->fx, s->fy, s->dfx, s->dfy, o, n);
        if (n - i >= 4)
            i += sse2::stepInterior(pixels, stride, s->fx + s->dfx * i, s->fy + s->dfy * i, s->dfx, s->dfy, o + i,
                                    n - i, true);
        for (; i < n; ++i) o[i] = sampleOne(pixels, stride, s->fx + s->dfx * i, s->fy + s->dfy * i);
    }
    return s;
}

int stepInterior(const uint32_t* pixels, size_t stride, int64_t fx, int64_t fy, int64_t dfx, int64_t dfy, uint32_t* out,
                 int n, bool offsets32) {
    const int i = n >= 8 && offsets32 ? stepEight(pixels, stride, fx, fy, dfx, dfy, out, n) : 0;
    if (n - i < 4) return i;
    return i + sse2::stepInterior(pixels, stride, fx + dfx * i, fy + dfy * i, dfx, dfy, out + i, n - i, offsets32);
}

}  // namespace plinthora::imaging::avx2
