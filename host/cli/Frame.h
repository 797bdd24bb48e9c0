// The pieces of `plinthora frame` that each kind of input shares: where a
// result goes, and how one input is framed. A kind of input (a still, a
// movie) is one function taking the input's path and its first bytes;
// frameInput() picks it by content.
#pragma once

#include "compositing/SRUnifiedProcessor.h"
#include "platform/linux/QtImaging.h"
#include "platform/ports/Platform.h"

#include <atomic>
#include <functional>
#include <future>
#include <mutex>
#include <optional>
#include <string>

namespace plinthora::cli::frame {

// Where results go: beside each input, into one folder, or (one input
// only) into a file the user named. A generated name never replaces a file.
class Destination {
public:
    static Destination besideInputs() { return Destination(Kind::Beside, {}); }
    static Destination folder(std::string path) { return Destination(Kind::Folder, std::move(path)); }
    static Destination file(std::string path) { return Destination(Kind::File, std::move(path)); }

    // The folder the result for `input` goes to.
    std::string folderFor(const std::string& input) const;
    // Saves the result for `input`, its bytes written by `fill`:
    // NAME-framed.EXT (then NAME-framed-2.EXT, …) beside the input or in
    // the folder, whole or not at all (linux_platform::saveFile). Returns
    // the path written, or nullopt with errno set.
    std::optional<std::string> save(const std::string& input, const std::function<bool(int fd)>& fill,
                                    const std::string& extension) const;
    // The same for bytes in memory.
    std::optional<std::string> write(const std::string& input, const std::string& bytes,
                                     const std::string& extension) const;

private:
    enum class Kind { Beside, Folder, File };
    Destination(Kind k, std::string p) : kind_(k), path_(std::move(p)) {}
    Kind kind_;
    std::string path_;
};

// Everything the framers share for one run. Safe to use from several
// threads at once.
struct Context {
    Destination destination = Destination::besideInputs();
    const linux_platform::QtImaging* imaging = nullptr;
    std::optional<std::string> shellPath;  // --shell, else from the asset folders
    std::shared_ptr<Bitmap> shell;         // --shell's image
    Image watermark;                       // loaded once
    int watermarkMode = 1;
    // One still in all: its canvas may be made in the shell's own pixels.
    bool oneStill = false;

    // The shell (and its path) for a still of this orientation: --shell, or
    // resolved from the asset folders once per orientation; no shell when
    // shells are off or none is found.
    const StillDressing& dressingFor(bool landscape) const;
    // Pictures decode while the shell and watermark still load; a framer
    // waits here before it uses them. False: the run is called off.
    std::shared_future<bool> ready;
    // Set when a still went without a shell although shells are on.
    mutable std::atomic<bool> missedShell{false};

private:
    mutable std::once_flag once_[2];
    mutable StillDressing dressing_[2];
};

struct Outcome {
    std::string output;      // the path written
    std::string error;       // empty on success: one line naming what went wrong
    bool calledOff = false;  // the run ended before this input was framed
};

// Frames one input file, whatever kind it is: its first bytes decide.
Outcome frameInput(const Context& ctx, const std::string& input);
// A PNG or JPEG into a PNG.
Outcome frameStill(const Context& ctx, const std::string& input, const std::string& bytes);

// Movies (FrameMovie.cpp): told apart by their first bytes
// (linux_platform::looksLikeMovie), framed by the
// recording pipeline into NAME-framed.mp4. prepareMovies() adds the ports
// that pipeline needs before the platform is set; applyMovieSettings()
// turns the recording features on for a --shell or --watermark given, once
// the preferences are read.
Outcome frameMovie(const Context& ctx, const std::string& input);
void prepareMovies(Platform& p, const Context& ctx, const std::optional<std::string>& shellPath,
                   const std::optional<std::string>& watermarkPath);
void applyMovieSettings(bool shellGiven, bool watermarkGiven);

}  // namespace plinthora::cli::frame
