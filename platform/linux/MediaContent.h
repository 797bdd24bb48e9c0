// What a media file holds, told by its bytes rather than its name: which
// movie container it is (screen recorders write many), and whether it is a
// result this system saved, known by the mark it writes into every result.
#pragma once

#include <cstddef>
#include <optional>
#include <string>

namespace plinthora::linux_platform {

enum class MovieContainer { None, Mpeg4, Matroska, MpegTs, Ogg, Avi, Flv };

// How many leading bytes movieContainer() wants to see.
inline constexpr size_t kMovieHeadBytes = 4096;

// The container of a movie from its first bytes (up to kMovieHeadBytes):
// MP4/QuickTime, Matroska/WebM, MPEG-TS (plain or with the 4-byte
// timecodes of M2TS), Ogg with a video stream, AVI, FLV. None for anything
// else, an Ogg of sound only among them.
MovieContainer movieContainer(const std::string& head);
inline bool looksLikeMovie(const std::string& head) { return movieContainer(head) != MovieContainer::None; }

// The first `n` bytes of a file (fewer when it is shorter); nullopt when it
// cannot be read.
std::optional<std::string> readFileHead(const std::string& path, size_t n = kMovieHeadBytes);

// What every result carries: a PNG's "Software" text, an MPEG-4 movie's
// comment tag.
inline constexpr const char* kResultMark = "Plinthora";

// The PNG with the mark's text chunk after its header; unchanged when it
// is not a PNG.
std::string withResultMark(std::string png);

// True for a PNG or MPEG-4 file that carries the mark.
bool isOwnResult(const std::string& path);

}  // namespace plinthora::linux_platform
