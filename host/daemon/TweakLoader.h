// Opens the tweak library and starts it, as the hooking framework's loader
// does on the phone: hand it the platform, then run its initialiser once on
// the main thread.
#pragma once

#include "platform/ports/Platform.h"

#include <string>
#include <vector>

namespace plinthora::host {

inline constexpr const char* kTweakFileName = "libPlinthora.so";

// Where the library is looked for, in order: the explicit path (when not
// empty), beside the executable, the installed layout relative to the
// executable (../LIBDIR/plinthora), the build tree.
std::vector<std::string> tweakCandidates(const std::string& explicitPath);

class Tweak {
public:
    // Opens the first candidate that loads; false with `error` set when
    // none does (every path tried and why is in the text).
    bool open(const std::vector<std::string>& candidates, std::string& error);
    const std::string& path() const { return path_; }

    // Hands `platform` to the library and runs SRTweakInit. Before the
    // initialiser runs, checks that the platform now in force inside the
    // library is the one handed over: the executable carries its own copy
    // of the core's holder (the Linux ports are linked into it), and a
    // library that bound to that copy instead of its own would run on
    // whatever the executable holds.
    bool start(const Platform& platform, std::string& error);
    // How the check went, for the status report.
    const std::string& platformCheck() const { return platformCheck_; }

    // The library is never closed: the hooks and observers it installed
    // live in the host's objects until the process ends.

private:
    void* handle_ = nullptr;
    std::string path_;
    std::string platformCheck_ = "not checked";
};

}  // namespace plinthora::host
