// Small pieces behind FFmpegVideoExport: owning handles for FFmpeg objects,
// reading what a movie holds, frame timing, and pixel conversions (those in
// FFmpegPixels.cpp). Internal to platform/linux.
#pragma once

#include "imaging/yuv.h"
#include "platform/ports/VideoExport.h"

#include <cstdint>
#include <exception>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

extern "C" {
#include <libavutil/rational.h>
}

struct AVFormatContext;
struct AVCodecContext;
struct AVFrame;
struct AVPacket;
struct AVAudioFifo;
struct SwrContext;
struct SwsContext;
struct AVCodec;

namespace plinthora::linux_platform::ffmpeg {

struct FormatCloser {
    void operator()(AVFormatContext* p) const;
};
struct CodecFreer {
    void operator()(AVCodecContext* p) const;
};
struct FrameFreer {
    void operator()(AVFrame* p) const;
};
struct PacketFreer {
    void operator()(AVPacket* p) const;
};
struct FifoFreer {
    void operator()(AVAudioFifo* p) const;
};
struct SwrFreer {
    void operator()(SwrContext* p) const;
};
using InputPtr = std::unique_ptr<AVFormatContext, FormatCloser>;
using CodecPtr = std::unique_ptr<AVCodecContext, CodecFreer>;
using FramePtr = std::unique_ptr<AVFrame, FrameFreer>;
using PacketPtr = std::unique_ptr<AVPacket, PacketFreer>;
using FifoPtr = std::unique_ptr<AVAudioFifo, FifoFreer>;
using SwrPtr = std::unique_ptr<SwrContext, SwrFreer>;

std::string errorText(int averror);

// Why an export stopped: thrown by the export's parts, caught where the
// export runs.
class ExportFailed : public std::exception {
public:
    explicit ExportFailed(std::string why) : why_(std::move(why)) {}
    const char* what() const noexcept override { return why_.c_str(); }

private:
    std::string why_;
};

[[noreturn]] inline void fail(const std::string& why) { throw ExportFailed(why); }
inline void check(int ret, const char* what) {
    if (ret < 0) fail(std::string(what) + ": " + errorText(ret));
}

// FFmpeg's own messages go to our debug log (errors only), not to stderr.
void routeLibraryLogs();

// An opened movie and what the export needs to know about it.
struct Movie {
    InputPtr format;
    int videoIndex = -1;   // first video track (cover pictures do not count)
    int audioIndex = -1;   // first audio track
    int quarterTurns = 0;  // clockwise quarter turns that show a stored frame upright
    double duration = 0;   // seconds
    bool durationKnown = false;

    MovieInfo info() const;
    // The movie's time zero in microseconds of its own timeline.
    int64_t zeroUs() const;
};

// Containers desktop recorders write. Anything else, playlists that would
// pull in other files or URLs and still images among them, is not opened.
std::optional<Movie> openMovie(const std::string& path);

// The movie's first video frame, upright, as opaque ARGB32 (for a
// thumbnail); nullopt when the movie cannot be opened or decoded.
std::optional<Bitmap> firstFrame(const std::string& path);

// How a stored w × h frame turned clockwise by `quarterTurns` is displayed,
// as a top-left-origin affine map.
AffineTransform transformForQuarterTurns(int quarterTurns, double w, double h);

// Output frames shown at k / fps before `seconds`.
int64_t frameCountFor(double seconds, int fps);
// The first output frame k whose instant k / fps is not before `ticks` of
// `timeBase` (0 for times before zero).
int64_t firstInstantAtOrAfter(int64_t ticks, AVRational timeBase, int fps);

// A fresh empty file with a hidden name in the folder of `path`; "" when
// none can be made.
std::string reserveTemporaryBeside(const std::string& path);

struct OutputFile {
    AVFormatContext* ctx = nullptr;
    OutputFile() = default;
    OutputFile(const OutputFile&) = delete;
    OutputFile& operator=(const OutputFile&) = delete;
    ~OutputFile();
    int close();
};

// Pixel conversions of one worker; not shareable between threads.
class Scaler {
public:
    Scaler() = default;
    Scaler(const Scaler&) = delete;
    Scaler& operator=(const Scaler&) = delete;
    ~Scaler();

    // A decoded frame as opaque ARGB32, turned clockwise by `quarterTurns`,
    // into `upright` (already sized: width and height swapped for odd
    // turns). The source's own matrix and range are honoured.
    bool toUprightArgb(const AVFrame* frame, int quarterTurns, Bitmap& upright);
    // Whether rowsToArgb() takes this frame: 8-bit 4:2:0.
    static bool makesRows(const AVFrame* frame);
    // Rows [begin, end) of such a frame, stored upright, row `begin` at
    // `out` and each `stride` words after the one before. The frame's
    // matrix and range are honoured as by toUprightArgb().
    static void rowsToArgb(const AVFrame* frame, int begin, int end, uint32_t* out, size_t stride);
    // ARGB32 (alpha ignored: premultiplied colour is the pixel over black)
    // into the row pairs [firstPair, endPair) (rows 2·firstPair up to
    // 2·endPair) of a yuv420p frame as large or one pixel wider and/or
    // taller, BT.709 limited range; the extra column and row are black.
    static bool argbToYuv(const Bitmap& argb, AVFrame* yuv, int firstPair, int endPair);
    // The same from rows of the picture held apart, and only columns
    // [fromX, toX) of them when given (fromX even, toX even or the width).
    static bool argbRowsToYuv(const imaging::ArgbRows& argb, AVFrame* yuv, int firstPair, int endPair, int fromX = 0,
                              int toX = -1);

private:
    SwsContext* toArgb_ = nullptr;  // for formats other than 8-bit 4:2:0
    int argbMatrix_ = -1, argbFullRange_ = -1;
    std::vector<uint32_t> turned_;
    // swscale's output, with room past the picture for its block writes.
    static constexpr size_t kSpillPixels = 64;
    std::vector<uint32_t> spill_;
};

}  // namespace plinthora::linux_platform::ffmpeg
