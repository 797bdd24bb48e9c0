// The PNG encoder's row loops (png_encode_rows.h) over whole 32-byte vectors,
// widened by the compiler for AVX2.
#include "imaging/png_encode_rows.h"
#include "imaging/tiers.h"

namespace plinthora::imaging::avx2 {

int pngUnpremultiply(const uint32_t* src, int width, uint8_t* out) {
    return png::rows::unpremultiplyWhole<32>(src, width, out);
}
size_t pngFilterCosts(const uint8_t* cur, const uint8_t* prev, size_t n, uint32_t* sums) {
    return png::rows::filterCostsWhole<32>(cur, prev, n, sums);
}
size_t pngFilter(int filter, const uint8_t* cur, const uint8_t* prev, size_t n, uint8_t* out) {
    return png::rows::filterWhole<32>(filter, cur, prev, n, out);
}

}  // namespace plinthora::imaging::avx2
