// Gaussian blur.
//
// Radius convention: the radius is the Gaussian's standard deviation in
// pixels (σ = radius), the convention of the image filters the compositing
// code was written against; the kernel is cut at 3σ, so the output grows by
// ceil(3σ) pixels on every side and the transparent surroundings blur in.
//
// The blur is separable and runs on premultiplied bytes with 16-bit
// fixed-point weights summing to exactly 1, so flat areas stay flat and the
// total alpha is kept up to rounding. Both passes are vertical passes over
// whole rows (which vectorise well), with a transpose between them.
#include "imaging/blur.h"

#include "imaging/parallel_for.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <vector>

namespace plinthora::imaging {

double blurSigma(double radius) { return std::isfinite(radius) ? std::max(radius, 0.0) : 0.0; }

int blurSpread(double radius) {
    // Capped so that a silly radius cannot ask for a gigantic canvas.
    return int(std::min(std::ceil(3.0 * blurSigma(radius)), 4096.0));
}

namespace {

std::vector<uint32_t> gaussianWeights(double sigma, int spread) {
    std::vector<double> w(size_t(2 * spread + 1));
    double sum = 0;
    for (int i = -spread; i <= spread; ++i) {
        const int k = i + spread;
        sum += w[size_t(k)] = std::exp(-0.5 * i * i / (sigma * sigma));
    }
    std::vector<uint32_t> q(w.size());
    int64_t total = 0;
    for (size_t i = 0; i < w.size(); ++i) total += q[i] = uint32_t(std::lround(w[i] / sum * 65536.0));
    // Put the rounding error in the centre tap so the weights sum to 1.
    q[size_t(spread)] = uint32_t(int64_t(q[size_t(spread)]) + (65536 - total));
    return q;
}

// out has `inRows + 2·spread` rows of `rowWords` words; output row r is the
// weighted sum of input rows r − 2·spread … r (rows outside are zero).
void verticalPass(const uint32_t* in, int inRows, size_t rowWords, const std::vector<uint32_t>& weights, int spread,
                  uint32_t* out) {
    const int outRows = inRows + 2 * spread;
    const size_t rowBytes = rowWords * 4;
    parallelFor(
        outRows,
        [&](int begin, int end) {
            std::vector<uint32_t> acc(rowBytes);
            for (int r = begin; r < end; ++r) {
                std::fill(acc.begin(), acc.end(), 0x8000u);  // rounding
                const int first = std::max(0, r - 2 * spread), last = std::min(inRows - 1, r);
                for (int s = first; s <= last; ++s) {
                    const uint32_t wt = weights[size_t(s - (r - 2 * spread))];
                    const uint8_t* row = reinterpret_cast<const uint8_t*>(in + size_t(s) * rowWords);
                    uint32_t* a = acc.data();
                    for (size_t i = 0; i < rowBytes; ++i) a[i] += wt * row[i];
                }
                uint8_t* o = reinterpret_cast<uint8_t*>(out + size_t(r) * rowWords);
                for (size_t i = 0; i < rowBytes; ++i) o[i] = uint8_t(std::min(acc[i] >> 16, 255u));
            }
        },
        8);
}

// dst (cols × rows) = transpose of src (rows × cols).
void transpose(const uint32_t* src, int rows, int cols, uint32_t* dst) {
    constexpr int B = 32;
    parallelFor((cols + B - 1) / B,
                [&](int begin, int end) {
                    for (int cb = begin * B; cb < std::min(cols, end * B); cb += B)
                        for (int rb = 0; rb < rows; rb += B)
                            for (int c = cb; c < std::min(cols, cb + B); ++c)
                                for (int r = rb; r < std::min(rows, rb + B); ++r)
                                    dst[size_t(c) * size_t(rows) + size_t(r)] =
                                        src[size_t(r) * size_t(cols) + size_t(c)];
                },
                4);
}

}  // namespace

Bitmap gaussianBlur(const Bitmap& src, double radius) {
    const int spread = blurSpread(radius);
    const double sigma = blurSigma(radius);
    if (src.empty()) return Bitmap(0, 0, src.scale);
    if (spread == 0 || sigma < 1e-3) return src;
    const auto weights = gaussianWeights(sigma, spread);
    const int W = src.width, H = src.height, OW = W + 2 * spread, OH = H + 2 * spread;
    // Columns: W wide, OH tall.
    std::vector<uint32_t> a(size_t(W) * size_t(OH));
    verticalPass(src.pixels.data(), H, size_t(W), weights, spread, a.data());
    // Rows, as columns of the transpose: OH wide, OW tall.
    std::vector<uint32_t> t(size_t(W) * size_t(OH));
    transpose(a.data(), OH, W, t.data());
    a.assign(size_t(OH) * size_t(OW), 0);
    verticalPass(t.data(), W, size_t(OH), weights, spread, a.data());
    Bitmap out(OW, OH, src.scale);
    transpose(a.data(), OW, OH, out.pixels.data());
    return out;
}

}  // namespace plinthora::imaging
