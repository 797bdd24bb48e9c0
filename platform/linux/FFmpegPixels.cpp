// Pixel conversions between decoded frames, our ARGB32 bitmaps and the
// encoder's frames. 8-bit 4:2:0 in either direction goes through the
// imaging kernels; any other decoded format through swscale.
#include "platform/linux/FFmpegMovie.h"
#include "imaging/yuv.h"

#include <algorithm>

extern "C" {
#include <libavutil/frame.h>
#include <libavutil/pixdesc.h>
#include <libswscale/swscale.h>
}

namespace plinthora::linux_platform::ffmpeg {

namespace {

int swsMatrixOf(AVColorSpace cs) {
    switch (cs) {
    case AVCOL_SPC_BT709: return SWS_CS_ITU709;
    case AVCOL_SPC_FCC: return SWS_CS_FCC;
    case AVCOL_SPC_SMPTE240M: return SWS_CS_SMPTE240M;
    case AVCOL_SPC_BT2020_NCL:
    case AVCOL_SPC_BT2020_CL: return SWS_CS_BT2020;
    default: return SWS_CS_ITU601;  // what FFmpeg assumes for untagged video
    }
}

// The same choice as luma weights, for the kernels.
imaging::YuvMatrix matrixOf(AVColorSpace cs, bool fullRange) {
    switch (swsMatrixOf(cs)) {
    case SWS_CS_ITU709: return {0.2126, 0.0722, fullRange};
    case SWS_CS_FCC: return {0.30, 0.11, fullRange};
    case SWS_CS_SMPTE240M: return {0.212, 0.087, fullRange};
    case SWS_CS_BT2020: return {0.2627, 0.0593, fullRange};
    default: return {0.299, 0.114, fullRange};
    }
}

bool isFullRangeFormat(AVPixelFormat f) {
    return f == AV_PIX_FMT_YUVJ420P || f == AV_PIX_FMT_YUVJ422P || f == AV_PIX_FMT_YUVJ444P ||
           f == AV_PIX_FMT_YUVJ440P || f == AV_PIX_FMT_YUVJ411P;
}

// Cache-friendly quarter turns: 32 × 32 tiles of the destination.
void turnInto(const uint32_t* src, int w, int h, int turns, Bitmap& out) {
    const int W = out.width, H = out.height;
    constexpr int kTile = 32;
    for (int by = 0; by < H; by += kTile)
        for (int bx = 0; bx < W; bx += kTile) {
            const int ey = std::min(by + kTile, H), ex = std::min(bx + kTile, W);
            for (int Y = by; Y < ey; ++Y) {
                uint32_t* d = out.pixels.data() + size_t(Y) * size_t(W);
                for (int X = bx; X < ex; ++X) {
                    size_t at;
                    if (turns == 1)
                        at = size_t(h - 1 - X) * size_t(w) + size_t(Y);
                    else if (turns == 2)
                        at = size_t(h - 1 - Y) * size_t(w) + size_t(w - 1 - X);
                    else
                        at = size_t(X) * size_t(w) + size_t(w - 1 - Y);
                    d[X] = src[at];
                }
            }
        }
}

}  // namespace

Scaler::~Scaler() { sws_freeContext(toArgb_); }

bool Scaler::toUprightArgb(const AVFrame* f, int quarterTurns, Bitmap& upright) {
    const int w = f->width, h = f->height;
    const auto fmt = AVPixelFormat(f->format);
    const bool full = f->color_range == AVCOL_RANGE_JPEG || isFullRangeFormat(fmt);
    const int turns = ((quarterTurns % 4) + 4) % 4;
    uint32_t* dst = upright.pixels.data();
    if (turns != 0) {
        turned_.resize(size_t(w) * size_t(h));
        dst = turned_.data();
    }
    if (makesRows(f)) {
        const imaging::PlanesIn in{{f->data[0], f->data[1], f->data[2]},
                                   {f->linesize[0], f->linesize[1], f->linesize[2]}};
        imaging::yuv420ToArgb(in, w, h, matrixOf(f->colorspace, full), dst, size_t(w));
    } else {
        // Accurate rounding keeps swscale off its SIMD yuv-to-RGB shortcut,
        // which skips the last pixels of rows whose width is not a multiple
        // of 8 and writes whole blocks past the end of the picture (32 bytes
        // past a 360 × 780 one: in a release build that broke the heap).
        toArgb_ = sws_getCachedContext(toArgb_, w, h, fmt, w, h, AV_PIX_FMT_RGB32, SWS_BILINEAR | SWS_ACCURATE_RND,
                                       nullptr, nullptr, nullptr);
        if (!toArgb_) return false;
        const int matrix = swsMatrixOf(f->colorspace);
        if (matrix != argbMatrix_ || int(full) != argbFullRange_) {
            sws_setColorspaceDetails(toArgb_, sws_getCoefficients(matrix), full, sws_getCoefficients(SWS_CS_DEFAULT), 1,
                                     0, 1 << 16, 1 << 16);
            argbMatrix_ = matrix;
            argbFullRange_ = full;
        }
        // Whichever path it takes, swscale writes into a buffer of ours with
        // a spare row and more to spill into.
        const size_t n = size_t(w) * size_t(h);
        spill_.resize(n + size_t(w) + kSpillPixels);
        uint8_t* dstData[4] = {reinterpret_cast<uint8_t*>(spill_.data()), nullptr, nullptr, nullptr};
        int dstStride[4] = {w * 4, 0, 0, 0};
        if (sws_scale(toArgb_, f->data, f->linesize, 0, h, dstData, dstStride) != h) return false;
        std::copy_n(spill_.data(), n, dst);
        const AVPixFmtDescriptor* desc = av_pix_fmt_desc_get(fmt);
        if (desc && (desc->flags & AV_PIX_FMT_FLAG_ALPHA)) {
            // A recording is an opaque picture whatever its pixel format says.
            for (size_t i = 0; i < n; ++i) dst[i] |= 0xFF000000u;
        }
    }
    if (turns != 0) turnInto(dst, w, h, turns, upright);
    return true;
}

bool Scaler::makesRows(const AVFrame* f) {
    const auto fmt = AVPixelFormat(f->format);
    return fmt == AV_PIX_FMT_YUV420P || fmt == AV_PIX_FMT_YUVJ420P;
}

void Scaler::rowsToArgb(const AVFrame* f, int begin, int end, uint32_t* out, size_t stride) {
    const bool full = f->color_range == AVCOL_RANGE_JPEG || isFullRangeFormat(AVPixelFormat(f->format));
    const imaging::PlanesIn in{{f->data[0], f->data[1], f->data[2]}, {f->linesize[0], f->linesize[1], f->linesize[2]}};
    imaging::yuv420RowsToArgb(in, f->width, std::max(begin, 0), std::min(end, f->height), matrixOf(f->colorspace, full),
                              out, stride);
}

bool Scaler::argbToYuv(const Bitmap& argb, AVFrame* yuv, int firstPair, int endPair) {
    if (argb.pixels.size() != size_t(argb.width) * size_t(argb.height)) return false;
    return argbRowsToYuv({argb.pixels.data(), 0, argb.width, argb.height}, yuv, firstPair, endPair);
}

bool Scaler::argbRowsToYuv(const imaging::ArgbRows& argb, AVFrame* yuv, int firstPair, int endPair, int fromX,
                           int toX) {
    const int w = yuv->width, h = yuv->height;
    if (AVPixelFormat(yuv->format) != AV_PIX_FMT_YUV420P || w % 2 != 0 || h % 2 != 0) return false;
    if (w < argb.width || h < argb.height || w > argb.width + 1 || h > argb.height + 1) return false;
    imaging::argbToYuv420(
        argb, {{yuv->data[0], yuv->data[1], yuv->data[2]}, {yuv->linesize[0], yuv->linesize[1], yuv->linesize[2]}}, w,
        h, firstPair, endPair, fromX, toX);
    return true;
}

}  // namespace plinthora::linux_platform::ffmpeg
