// Movies: what a recording holds, and an export that re-renders every frame
// through a handler at a fixed rate into an MPEG-4 file.
#pragma once

#include "Imaging.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

namespace plinthora {

// A 2-D affine map (x', y') = (a·x + c·y + tx, b·x + d·y + ty), as a track's
// display orientation is stored.
struct AffineTransform {
    double a = 1, b = 0, c = 0, d = 1, tx = 0, ty = 0;
    bool operator==(const AffineTransform&) const = default;
};

// The first video track and the first audio track of a movie.
struct MovieInfo {
    bool hasVideo = false;
    Size naturalSize;                    // stored frame size in pixels
    AffineTransform preferredTransform;  // how stored frames are turned for display
    double duration = 0;                 // seconds
    bool hasAudio = false;
};

enum class ExportStatus : int {
    Unknown = 0,
    Waiting = 1,
    Exporting = 2,
    Completed = 3,
    Failed = 4,
    Cancelled = 5,
};

// One call per output frame k, shown at k / framesPerSecond. `source` is the
// source frame on screen at that instant, already turned upright (its size is
// the natural size put through the preferred transform), premultiplied
// ARGB32. `output` arrives at the render size with unspecified contents; the
// handler sets every pixel. Transparent output pixels are encoded as black.
// Calls for different frames may run at the same time on different threads;
// the frames are encoded in order whatever the order of the calls.
// `bands` lets the export make the source and take the output a band of
// rows at a time: the handler reads a row of `source` only after
// bands.needContent has covered it (needContent(0, height) for all), or
// has it made elsewhere by bands.contentRows (`source`'s pixels may be
// empty until needContent is called), and
// may hand finished output rows to bands.canvasRows instead of writing them
// to `output`.
using FrameHandler =
    std::function<void(const Bitmap& source, Bitmap& output, int64_t frameIndex, const Imaging::RowBands& bands)>;

struct ExportRequest {
    std::string sourcePath;
    std::string outputPath;  // MPEG-4; nothing is left here unless the export completes
    int renderWidth = 0;
    int renderHeight = 0;
    int framesPerSecond = 30;
    FrameHandler frameHandler;
};

struct ExportProgress {
    int64_t framesDone = 0;
    int64_t framesTotal = 0;  // estimated from the duration; 0 when unknown
};

class ExportSession {
public:
    virtual ~ExportSession() = default;
    // Ends a running export with ExportStatus::Cancelled. One already past
    // its last frame (finishing the file) completes instead: the movie is
    // whole by then, and dropping it would lose it for nothing. Does
    // nothing once the export has ended.
    virtual void cancel() = 0;
    virtual ExportStatus status() const = 0;
    virtual ExportProgress progress() const = 0;
};

class VideoExport {
public:
    virtual ~VideoExport() = default;
    // nullopt when the file is not a movie the platform can read.
    virtual std::optional<MovieInfo> open(const std::string& path) const = 0;
    // Starts the export and returns at once; nullptr when no session can be
    // created. The completion runs exactly once, on the export's own thread,
    // with the final status (Completed, Failed or Cancelled). The session
    // stays valid while anyone holds it.
    virtual std::shared_ptr<ExportSession> exportAsynchronously(ExportRequest request,
                                                                std::function<void(ExportStatus)> completion) = 0;
};

}  // namespace plinthora
