// The video port on Linux: FFmpeg's libraries for reading, libx264 for
// writing.
//
// An export decodes the first video track, turns every frame upright and
// hands the frame on screen at each instant k / framesPerSecond to the frame
// handler on a small pool of workers, then encodes the results in order:
// H.264 (yuv420p, BT.709 tagged and converted, CRF kCrf at preset kPreset)
// in an MPEG-4 file with its index at the front. Frames live in a fixed set
// of slots, so memory does not grow with the length of the movie.
//
// Frame count: one output frame for every instant k / fps before the end of
// the movie (its container duration), that is ceil(duration · fps) frames.
// A source frame is shown from its timestamp until the next one; instants
// before the first frame show the first, instants after the last show the
// last.
//
// Odd render sizes: the encoded picture is one pixel wider and/or taller
// than the render size, the extra column on the right and row at the bottom
// black. Transparent output pixels are black (the premultiplied colour is
// encoded as it is, which is the pixel composed over black).
//
// Audio: AAC is copied packet for packet; any other codec is decoded and
// re-encoded to AAC. The output has an audio track exactly when the source
// has one.
//
// The movie is written under a hidden temporary name beside the output path
// and renamed into place only when the export completes; a failed or
// cancelled export leaves nothing behind.
#pragma once

#include "platform/ports/VideoExport.h"

#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace plinthora::linux_platform {

class FFmpegVideoExport : public VideoExport {
public:
    // Chosen by measurement on the 10 s framing benchmark (see README): CRF
    // 18 is visually lossless on screen content; superfast would save about
    // 13 % of the encoder's time for a file twice as large.
    static constexpr int kCrf = 18;
    static constexpr const char* kPreset = "veryfast";
    // Names a file that gets every frame exactly as the encoder is handed
    // it, raw yuv420p at the encoded size, planes unpadded, frame after
    // frame: for the recording bench, which encodes them on their own to
    // tell the encoder's cost from the rest. Unset, nothing is written.
    static constexpr const char* kRawFramesVariable = "PLINTHORA_EXPORT_RAW_FRAMES";

    struct Options {
        int handlerThreads = 0;  // frame-handler workers; 0: one per hardware thread
        int encoderThreads = 0;  // libx264 threads; 0: libx264's own choice
        // A frame's bands whose source rows are those the frame slot's last
        // frame was made from are kept from it rather than made again (the
        // same pixels either way).
        bool keepUnchangedBands = true;
    };

    FFmpegVideoExport();
    explicit FFmpegVideoExport(Options options);
    // Cancels what is still running and waits for it (see cancelAll).
    ~FFmpegVideoExport() override;

    std::optional<MovieInfo> open(const std::string& path) const override;
    std::shared_ptr<ExportSession> exportAsynchronously(ExportRequest request,
                                                        std::function<void(ExportStatus)> completion) override;

    struct Running {
        std::string sourcePath;
        ExportProgress progress;
    };
    // Exports started and not yet through their completion, oldest first.
    std::vector<Running> running() const;
    // Cancels every export in flight and returns once each has run its
    // completion (for an orderly shutdown).
    void cancelAll();

    struct Registry;

private:
    Options options_;
    std::shared_ptr<Registry> registry_;
};

}  // namespace plinthora::linux_platform
