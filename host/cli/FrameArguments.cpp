#include "host/cli/FrameArguments.h"

#include "settings/SettingsSchema.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <unistd.h>

namespace plinthora::cli::frame {

namespace {

constexpr const char* kUsage =
    "usage: plinthora frame INPUT... [--shell PATH] [--watermark PATH] [-o OUT]\n"
    "                       [--mode 1|2] [--blend NAME] [--opacity X]\n"
    "Dresses each INPUT (a picture or a movie, or a folder of them) in a shell\n"
    "(its .cfg beside it) and a watermark, and writes NAME-framed.png (.mp4)\n"
    "beside it or into the folder OUT (created when missing); with one input,\n"
    "OUT may name the file. Earlier results in a folder are left out. Existing\n"
    "files are never replaced: the next free NAME-framed-N.png\n"
    "is taken. Without --shell the shell comes from the asset folders, as for\n"
    "the daemon. Mode, blend name and opacity default to the preferences file.\n"
    "Blend names:%s\n"
    "The exit status is 1 when any input failed; each failure is one line.\n";

// The names --blend takes, as the settings page offers them.
std::string blendNames() {
    std::string names;
    for (const SettingChoice& c : kBlendModes) names.append(" ").append(c.name);
    return names;
}

bool isBlendName(const std::string& name) {
    for (const SettingChoice& c : kBlendModes)
        if (name == c.name) return true;
    return false;
}

bool isWatermarkMode(long mode) {
    for (const SettingChoice& c : kWatermarkModes)
        if (double(mode) == c.number) return true;
    return false;
}

}  // namespace

int fail(const std::string& message) {
    std::fprintf(stderr, "plinthora frame: %s\n", message.c_str());
    return 1;
}

std::string absolute(const std::string& path) {
    if (!path.empty() && path[0] == '/') return path;
    char* cwd = ::getcwd(nullptr, 0);
    std::string out = std::string(cwd ? cwd : ".") + "/" + path;
    std::free(cwd);
    return out;
}

std::variant<Arguments, int> parseArguments(int argc, char** argv) {
    Arguments a;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        // Every option below that reads it has set it first; empty rather
        // than null all the same, so no path hands strtol a null pointer.
        const char* v = "";
        if (arg == "--shell" || arg == "--watermark" || arg == "-o" || arg == "--output" || arg == "--mode" ||
            arg == "--blend" || arg == "--opacity") {
            if (i + 1 >= argc) return fail(arg + " needs a value");
            v = argv[++i];
        }
        if (arg == "--shell")
            a.shellPath = absolute(v);
        else if (arg == "--watermark")
            a.watermarkPath = absolute(v);
        else if (arg == "-o" || arg == "--output")
            a.output = v;
        else if (arg == "--mode") {
            char* end = nullptr;
            long m = std::strtol(v, &end, 10);
            if (*end || !*v || !isWatermarkMode(m)) return fail("--mode takes 1 (whole canvas) or 2 (screen area)");
            a.mode = static_cast<int>(m);
        } else if (arg == "--blend") {
            if (!isBlendName(v)) return fail("--blend takes one of" + blendNames());
            a.blend = v;
        } else if (arg == "--opacity") {
            char* end = nullptr;
            float o = std::strtof(v, &end);
            if (*end || !*v || !std::isfinite(o) || o < 0 || o > 1) return fail("--opacity takes a number from 0 to 1");
            a.opacity = o;
        } else if (arg == "-h" || arg == "--help") {
            std::printf(kUsage, blendNames().c_str());
            return 0;
        } else if (!arg.empty() && arg[0] == '-')
            return fail("unknown option " + arg);
        else
            a.inputs.push_back(absolute(arg));
    }
    if (a.inputs.empty()) return fail("no INPUT given (see plinthora frame --help)");
    return a;
}

}  // namespace plinthora::cli::frame
