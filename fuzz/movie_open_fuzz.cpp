// Any bytes as a screencast file: the opener takes it or refuses it, and
// what it takes has a sane description (a video or an audio track, told
// apart as the pipeline sees them; a finite duration; a quarter-turn count;
// positive even-able sizes). A file with sound only opens: the pipeline
// reads "no video track" from it and leaves the recording alone.
#include "fuzz/FuzzWorld.h"
#include "platform/linux/FFmpegMovie.h"

#include <cmath>
#include <cstdio>
#include <unistd.h>

using namespace plinthora;
namespace ff = plinthora::linux_platform::ffmpeg;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const std::string path = [] {
        ff::routeLibraryLogs();
        const char* dir = std::getenv("TMPDIR");
        return std::string(dir && *dir ? dir : "/tmp") + "/plinthora-fuzz-movie-" + std::to_string(::getpid()) + ".mp4";
    }();
    FILE* f = std::fopen(path.c_str(), "wb");
    if (!f) return 0;
    std::fwrite(data, 1, size, f);
    std::fclose(f);
    auto movie = ff::openMovie(path);
    if (movie) {
        if (movie->videoIndex < 0 && movie->audioIndex < 0) fuzz::fail("a movie opened without any track");
        if (movie->info().hasVideo != (movie->videoIndex >= 0)) fuzz::fail("hasVideo disagrees with the tracks");
        if (movie->quarterTurns < 0 || movie->quarterTurns > 3) fuzz::fail("rotation outside four quarter turns");
        if (!std::isfinite(movie->duration) || movie->duration < 0) fuzz::fail("duration not finite");
        (void)movie->info();
        (void)movie->zeroUs();
    }
    return 0;
}
