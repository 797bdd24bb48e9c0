// The FFmpeg side of `plinthora frame`, built as a module of its own: the
// codec libraries and everything they pull in (over a hundred shared
// objects) cost tens of milliseconds at every start, and a still never
// needs them. The command opens this module at its first movie.
#include "platform/linux/FFmpegVideoExport.h"

extern "C" __attribute__((visibility("default"))) plinthora::VideoExport* PlinthoraMoviesCreateExport() {
    return new plinthora::linux_platform::FFmpegVideoExport;
}
