// plinthora frame: one still through the same composition as the daemon,
// without the daemon and without the library search.
#include "compositing/SRAssetResolver.h"
#include "compositing/SRUnifiedProcessor.h"
#include "host/cli/Commands.h"
#include "platform/linux/LinuxPlatform.h"
#include "platform/linux/QtImaging.h"
#include "settings/SRSettings.h"

#include <QGuiApplication>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <sys/stat.h>

namespace plinthora::cli {

namespace {

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

// input.png → input-framed.png; never the input itself.
std::string defaultOutput(const std::string& input) {
    const size_t slash = input.rfind('/');
    const size_t dot = input.rfind('.');
    const std::string stem = (dot != std::string::npos && (slash == std::string::npos || dot > slash))
                                 ? input.substr(0, dot)
                                 : input;
    return stem + "-framed.png";
}

bool sameFile(const std::string& a, const std::string& b) {
    struct stat sa, sb;
    return ::stat(a.c_str(), &sa) == 0 && ::stat(b.c_str(), &sb) == 0 && sa.st_dev == sb.st_dev &&
           sa.st_ino == sb.st_ino;
}

}  // namespace

int runFrame(int argc, char** argv) {
    std::string input, output, shellPath, watermarkPath;
    std::optional<int> mode;
    std::optional<std::string> blend;
    std::optional<float> opacity;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        const char* v = nullptr;
        if (arg == "--shell" || arg == "--watermark" || arg == "-o" || arg == "--output" || arg == "--mode" ||
            arg == "--blend" || arg == "--opacity") {
            if (i + 1 >= argc) return fail(arg + " needs a value");
            v = argv[++i];
        }
        if (arg == "--shell") shellPath = absolute(v);
        else if (arg == "--watermark") watermarkPath = absolute(v);
        else if (arg == "-o" || arg == "--output") output = absolute(v);
        else if (arg == "--mode") {
            char* end = nullptr;
            long m = std::strtol(v, &end, 10);
            if (*end) return fail("--mode takes a whole number (1: whole canvas, 2: screen area)");
            mode = static_cast<int>(m);
        } else if (arg == "--blend") blend = v;
        else if (arg == "--opacity") {
            char* end = nullptr;
            float o = std::strtof(v, &end);
            if (*end) return fail("--opacity takes a number");
            opacity = o;
        } else if (arg == "-h" || arg == "--help") {
            std::printf("usage: plinthora frame IMAGE [--shell PATH] [--watermark PATH] [-o OUT]\n"
                        "                       [--mode 1|2] [--blend NAME] [--opacity X]\n"
                        "Dresses IMAGE in a shell (its .cfg beside it) and a watermark and writes a PNG.\n"
                        "Without --shell the shell comes from the asset folders, as for the daemon.\n"
                        "Mode, blend name and opacity default to the preferences file.\n"
                        "Blend names: 正常 滤色 叠加 柔光 高斯模糊\n");
            return 0;
        } else if (!arg.empty() && arg[0] == '-') return fail("unknown option " + arg);
        else if (input.empty()) input = absolute(arg);
        else return fail("only one IMAGE at a time");
    }
    if (input.empty()) return fail("no IMAGE given (see plinthora frame --help)");

    QGuiApplication app(argc, argv);

    linux_platform::BasicPorts ports;
    linux_platform::QtImaging imaging;
    Platform p;
    ports.fillIn(p);
    p.imaging = &imaging;
    setPlatform(p);
    linux_platform::PosixFileSystem& fs = ports.fs;
    loadSettings();
    SRSettings& s = settings();
    if (mode) s.watermarkMode = *mode;
    if (blend) s.setWatermarkBlendMode(std::make_shared<const std::string>(*blend));
    if (opacity) s.watermarkOpacity = *opacity;

    auto bytes = fs.readFile(input);
    if (!bytes) return fail(input + ": " + std::strerror(errno));
    Image shot = imaging.decode(*bytes);
    if (!shot) return fail(input + ": not a PNG or JPEG image, or too large");

    StillDressing dressing;
    if (!shellPath.empty()) {
        dressing.shellPath = shellPath;
        dressing.shell = loadImageFile(shellPath);
        if (!dressing.shell) return fail(shellPath + ": the shell does not load as an image");
    } else if (s.ssShellEnabled) {
        dressing.shellPath = SRAssetResolver::resolveShellPathIsLandscape(shot->width > shot->height);
        dressing.shell = loadImageFile(dressing.shellPath);
    }
    if (!watermarkPath.empty()) {
        dressing.watermark = loadImageFile(watermarkPath);
        if (!dressing.watermark) return fail(watermarkPath + ": the watermark does not load as an image");
    } else if (s.ssWatermarkEnabled) {
        dressing.watermark = loadImageFile(SRAssetResolver::resolveWatermarkPath());
    }
    dressing.watermarkMode = s.watermarkMode;

    Image result;
    try {
        result = SRUnifiedProcessor::sharedInstance().composeScreenshot(shot, dressing);
    } catch (const TemplateError& e) {
        return fail(std::string(*dressing.shellPath) + ": " + e.what());
    }
    if (output.empty()) output = defaultOutput(input);
    if (output == input || sameFile(output, input)) return fail("refusing to overwrite the input " + input);
    auto png = imaging.encodePng(*result);
    if (!png) return fail("encoding the PNG failed");
    if (!linux_platform::writeAtomically(output, *png)) return fail(output + ": cannot write: " + std::strerror(errno));
    std::printf("%s\n", output.c_str());
    if (dressing.shell)
        std::fprintf(stderr, "shell: %s\n", dressing.shellPath->c_str());
    else if (s.ssShellEnabled)
        std::fprintf(stderr, "shell: none found in %s (pass --shell, or start plinthorad once for the samples)\n",
                     fs.realPath(shot->width > shot->height ? kLandscapeShellFolder : kShellFolder).c_str());
    else
        std::fprintf(stderr, "shell: none (screenshot shells are switched off)\n");
    return 0;
}

}  // namespace plinthora::cli
