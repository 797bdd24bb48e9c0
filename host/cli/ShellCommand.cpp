// plinthora shell add|check: a device frame as downloaded, made a shell. The
// template comes from a frame collection's JSON beside the picture, else
// from the screen found in the picture itself.
#include "compositing/SRAssetResolver.h"
#include "compositing/SRUnifiedProcessor.h"
#include "host/cli/Commands.h"
#include "host/common/DisplayChoice.h"
#include "host/common/SampleAssets.h"
#include "host/common/ShellDetection.h"
#include "platform/linux/Files.h"
#include "platform/linux/LinuxPlatform.h"
#include "platform/linux/QtImaging.h"

#include <QGuiApplication>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <optional>
#include <string>
#include <unistd.h>

namespace plinthora::cli {

namespace {

using linux_platform::baseName;

int fail(const std::string& message) {
    std::fprintf(stderr, "plinthora shell: %s\n", message.c_str());
    return 1;
}

int usage() {
    std::fprintf(stderr,
                 "usage: plinthora shell add FRAME [--name NAME] [--landscape|--portrait]\n"
                 "       plinthora shell check FRAME [-o PREVIEW.png]\n");
    return 2;
}

// "Phone.png" → "Phone"; a name without extension stays as it is.
std::string stem(const std::string& name) {
    const size_t dot = name.rfind('.');
    return dot != std::string::npos && dot > 0 ? name.substr(0, dot) : name;
}

std::string lowerExtension(const std::string& name) {
    const size_t dot = name.rfind('.');
    std::string ext = dot != std::string::npos && dot > 0 ? name.substr(dot) : "";
    std::transform(ext.begin(), ext.end(), ext.begin(), [](unsigned char c) { return char(std::tolower(c)); });
    return ext;
}

// Creates `path` empty unless something is there already: a name taken
// for good, however many run at once.
bool reserve(const std::string& path) {
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
    if (fd < 0) return false;
    ::close(fd);
    return true;
}

struct Found {
    host::ShellTemplate tmpl;
    std::string source;  // said to the user
};

// The frame collection's JSON beside the picture, else detection.
std::optional<Found> findTemplate(const std::string& frame, const Bitmap& pixels, std::string& why) {
    const std::string jsonPath =
        frame.substr(0, frame.size() - baseName(frame).size()) + stem(baseName(frame)) + ".json";
    if (auto bytes = linux_platform::readWholeFile(jsonPath)) {
        if (auto doc = platform().json->parse(*bytes))
            if (auto t = host::templateFromFrameJson(*doc, pixels.width, pixels.height))
                return Found{*t, "from " + baseName(jsonPath)};
        debugLog("%s holds no screen rectangle; looking in the picture", jsonPath.c_str());
    }
    host::Detection d = host::detectScreen(pixels);
    if (!d.found) {
        why = d.why;
        return std::nullopt;
    }
    return Found{*d.found, d.found->rectangle ? "found upright in the picture" : "found in perspective in the picture"};
}

int writePreview(const std::string& frame, const std::shared_ptr<Bitmap>& shell, const host::ShellTemplate& tmpl,
                 const std::string& out) {
    const Quad& q = tmpl.corners;
    const double sx = shell->width / tmpl.templateWidth, sy = shell->height / tmpl.templateHeight;
    const int w =
        std::max(1, int(std::lround(std::max(q.topRight.x - q.topLeft.x, q.bottomRight.x - q.bottomLeft.x) * sx)));
    const int h =
        std::max(1, int(std::lround(std::max(q.bottomLeft.y - q.topLeft.y, q.bottomRight.y - q.topRight.y) * sy)));
    Image shot = platform().imaging->decode(host::pngBytes(host::makeSampleScreenshot(w, h)));
    if (!shot) return fail("cannot draw the preview's picture");
    StillDressing dressing;
    dressing.shellPath = frame;
    dressing.shell = shell;
    dressing.shellTemplate = platform().json->parse(tmpl.json());
    const Image result = SRUnifiedProcessor::sharedInstance().composeScreenshot(shot, dressing);
    const auto png = platform().imaging->encodePng(*result);
    if (!png || !linux_platform::writeAtomically(out, *png))
        return fail(out + ": cannot write: " + std::strerror(errno));
    return 0;
}

// NAME.EXT and NAME.cfg in `folder`, or NAME-2, NAME-3, … when taken.
int addShell(const std::string& frame, const std::string& bytes, const Bitmap& pixels, const Found& found,
             const std::string& folderDevicePath, const std::string& name) {
    FileSystem& fs = *platform().fs;
    const std::string folder = fs.realPath(folderDevicePath);
    if (!fs.createDirectories(folderDevicePath)) return fail(folder + ": cannot create the folder");
    // The shell folders take .png and .jpg; any other picture goes in as PNG.
    std::string ext = lowerExtension(frame);
    std::string imageBytes = bytes;
    if (ext == ".jpeg") ext = ".jpg";
    if (ext != ".png" && ext != ".jpg") {
        auto png = platform().imaging->encodePng(pixels);
        if (!png) return fail(frame + ": cannot encode it as PNG");
        imageBytes = std::move(*png);
        ext = ".png";
    }
    for (int n = 1; n < 10000; ++n) {
        std::string base = folder + "/" + name;
        if (n > 1) base.append("-").append(std::to_string(n));
        if (!reserve(base + ".cfg")) {
            if (errno == EEXIST) continue;
            return fail(base + ".cfg: cannot write: " + std::strerror(errno));
        }
        if (!reserve(base + ext)) {
            const int e = errno;
            ::unlink((base + ".cfg").c_str());
            if (e == EEXIST) continue;
            return fail(base + ext + ": cannot write: " + std::strerror(e));
        }
        // The template first: a shell is never seen without it.
        if (!linux_platform::writeAtomically(base + ".cfg", found.tmpl.json()) ||
            !linux_platform::writeAtomically(base + ext, imageBytes)) {
            const int e = errno;
            ::unlink((base + ".cfg").c_str());
            ::unlink((base + ext).c_str());
            return fail(base + ": cannot write: " + std::strerror(e));
        }
        const std::string written = baseName(base);
        std::printf("added %s%s and %s.cfg to %s (screen %s)\n", written.c_str(), ext.c_str(), written.c_str(),
                    folder.c_str(), found.source.c_str());
        return 0;
    }
    return fail(folder + ": no free name for " + name);
}

}  // namespace

int runShell(int argc, char** argv) {
    if (argc < 3) return usage();
    const std::string verb = argv[1];
    if (verb != "add" && verb != "check") return usage();
    std::string frame, name, preview;
    std::optional<bool> landscape;
    for (int i = 2; i < argc; ++i) {
        const std::string a = argv[i];
        if (a == "--name" && i + 1 < argc && verb == "add")
            name = argv[++i];
        else if (a == "--landscape" && verb == "add")
            landscape = true;
        else if (a == "--portrait" && verb == "add")
            landscape = false;
        else if (a == "-o" && i + 1 < argc && verb == "check")
            preview = argv[++i];
        else if (!a.empty() && a[0] != '-' && frame.empty())
            frame = a;
        else
            return usage();
    }
    if (frame.empty()) return usage();

    // The preview draws its picture with Qt.
    host::useOffscreenWithoutDisplay();
    int qtArgc = 1;
    QGuiApplication app(qtArgc, argv);
    linux_platform::BasicPorts ports;
    linux_platform::QtImaging imaging;
    Platform p;
    ports.fillIn(p);
    p.imaging = &imaging;
    setPlatform(p);

    const auto bytes = linux_platform::readWholeFile(frame);
    if (!bytes) return fail(frame + ": " + std::strerror(errno));
    const std::shared_ptr<Bitmap> pixels = imaging.decode(*bytes);
    if (!pixels) return fail(frame + ": not a PNG or JPEG image, or too large");
    std::string why;
    const std::optional<Found> found = findTemplate(frame, *pixels, why);
    if (!found) return fail(frame + ": no screen found: " + why);

    if (verb == "check") {
        std::fputs(found->tmpl.json().c_str(), stdout);
        return preview.empty() ? 0 : writePreview(frame, pixels, found->tmpl, preview);
    }
    const bool wide = landscape.value_or(pixels->width > pixels->height);
    std::string shellName = name.empty() ? stem(baseName(frame)) : name;
    if (lowerExtension(shellName) == lowerExtension(frame)) shellName = stem(shellName);
    if (shellName.empty() || shellName.find('/') != std::string::npos || shellName[0] == '.')
        return fail("'" + shellName + "' cannot be a shell's name");
    return addShell(frame, *bytes, *pixels, *found, wide ? kLandscapeShellFolder : kShellFolder, shellName);
}

}  // namespace plinthora::cli
