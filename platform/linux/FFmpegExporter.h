// One movie's export, from the source file to the finished movie under its
// output path, on the calling thread (with the workers and the encoder's
// thread it starts): see FFmpegVideoExport.h for what it writes. Internal
// to platform/linux.
#pragma once

#include "platform/linux/FFmpegVideoExport.h"

#include <atomic>
#include <cstdint>
#include <string>

namespace plinthora::linux_platform::ffmpeg {

// What the port and its sessions know of an export while it runs.
struct SessionState {
    std::string sourcePath;
    std::atomic<bool> cancelRequested{false};
    std::atomic<int> status{int(ExportStatus::Waiting)};
    std::atomic<int64_t> framesDone{0};
    std::atomic<int64_t> framesTotal{0};

    bool ended() const {
        const auto s = ExportStatus(status.load());
        return s == ExportStatus::Completed || s == ExportStatus::Failed || s == ExportStatus::Cancelled;
    }
};

// Runs the export to its end: Completed, Failed (why is in the debug log)
// or Cancelled once `state.cancelRequested` is seen. Progress goes into
// `state`; a failed or cancelled export leaves no file behind.
ExportStatus exportMovie(const ExportRequest& request, SessionState& state, const FFmpegVideoExport::Options& options);

}  // namespace plinthora::linux_platform::ffmpeg
