// The PNG encoder's row loops (png_encode_rows.h) over whole 16-byte vectors,
// widened by the compiler.
#include "imaging/png_encode_rows.h"
#include "imaging/tiers.h"

namespace plinthora::imaging::sse2 {

int pngUnpremultiply(const uint32_t* src, int width, uint8_t* out) {
    return png::rows::unpremultiplyWhole<16>(src, width, out);
}
size_t pngFilterCosts(const uint8_t* cur, const uint8_t* prev, size_t n, uint32_t* sums) {
    return png::rows::filterCostsWhole<16>(cur, prev, n, sums);
}
size_t pngFilter(int filter, const uint8_t* cur, const uint8_t* prev, size_t n, uint8_t* out) {
    return png::rows::filterWhole<16>(filter, cur, prev, n, out);
}

}  // namespace plinthora::imaging::sse2
