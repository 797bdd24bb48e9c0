// plinthora doctor: checks what the daemon needs, one line per check, OK or
// WARN with the reason and what to do.
#include "host/cli/Commands.h"
#include "host/common/DisplayChoice.h"
#include "compositing/SRAssetResolver.h"
#include "compositing/SRShellLayout.h"
#include "host/daemon/DaemonBus.h"
#include "platform/linux/CanberraSound.h"
#include "platform/linux/FolderPhotoLibrary.h"
#include "platform/linux/LinuxPlatform.h"
#include "platform/linux/WaylandDisplay.h"
#include "settings/SRSettings.h"

#include <QCoreApplication>
#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QFileInfo>
#include <QImageReader>
#include <QStandardPaths>

// Only the constants and types: the libraries themselves are opened when
// the check runs, so that the other commands start without loading them.
#include <canberra.h>
extern "C" {
#include <libavcodec/avcodec.h>
}

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dlfcn.h>
#include <string>

namespace plinthora::cli {

namespace {

struct Report {
    int warnings = 0;
    void line(bool ok, const char* what, const char* fmt, ...) __attribute__((format(printf, 4, 5))) {
        if (!ok) ++warnings;
        std::va_list args;
        va_start(args, fmt);
        print(ok ? "OK" : "WARN", what, fmt, args);
        va_end(args);
    }
    // Worth knowing, but nothing to mend: does not fail the check.
    void note(const char* what, const char* fmt, ...) __attribute__((format(printf, 3, 4))) {
        std::va_list args;
        va_start(args, fmt);
        print("NOTE", what, fmt, args);
        va_end(args);
    }

private:
    static void print(const char* tag, const char* what, const char* fmt, std::va_list args) {
        std::printf("%-4s %-22s ", tag, what);
        std::vprintf(fmt, args);
        std::printf("\n");
    }
};

void checkCaptureFolder(Report& r, const char* what, const QString& folder) {
    const QFileInfo info(folder);
    if (!info.exists())
        r.line(false, what, "%s does not exist yet (plinthorad creates it on start)", qPrintable(folder));
    else if (!info.isDir() || !info.isWritable())
        r.line(false, what, "%s is not a writable folder: results cannot be saved there", qPrintable(folder));
    else
        r.line(true, what, "%s", qPrintable(folder));
}

int countImages(FileSystem& fs, const char* folder) {
    int n = 0;
    for (const std::string& name : fs.listDirectory(folder).value_or(std::vector<std::string>{}))
        if (SRAssetResolver::qualifiesAsImageName(name)) ++n;
    return n;
}

void checkAssets(Report& r, FileSystem& fs) {
    struct Folder {
        const char* what;
        const char* path;
        const char* without;
    } folders[] = {
        {"shells", kShellFolder, "screenshots are saved without a frame"},
        {"landscape shells", kLandscapeShellFolder, "landscape captures use the portrait shell"},
        {"watermarks", kWatermarkFolder, "the watermark switches have nothing to draw"},
    };
    for (const Folder& f : folders) {
        const int n = countImages(fs, f.path);
        const std::string real = fs.realPath(f.path);
        if (n > 0)
            r.line(true, f.what, "%d image%s in %s", n, n == 1 ? "" : "s", real.c_str());
        else
            r.line(false, f.what, "no .png or .jpg in %s: %s (plinthorad puts samples into empty folders)",
                   real.c_str(), f.without);
    }
}

std::string shellQuoted(const std::string& s) {
    std::string q = "'";
    for (char c : s) q += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return q + "'";
}

// A shell without its template gets the picture fitted over the whole
// frame, bezel and all: name those, and the command that writes one.
void checkShellTemplates(Report& r, FileSystem& fs) {
    std::vector<std::string> bare;
    for (const char* folder : {kShellFolder, kLandscapeShellFolder})
        for (const std::string& name : fs.listDirectory(folder).value_or(std::vector<std::string>{})) {
            const std::string path = std::string(folder) + "/" + name;
            if (SRAssetResolver::qualifiesAsImageName(name) && !fs.exists(templatePathForShell(path)))
                bare.push_back(path);
        }
    if (bare.empty()) {
        r.line(true, "shell templates", "every shell has its .cfg");
        return;
    }
    std::string names;
    for (const std::string& b : bare) names += (names.empty() ? "" : ", ") + b.substr(b.rfind('/') + 1);
    const std::string first = fs.realPath(bare[0]);
    r.line(false, "shell templates",
           "no .cfg beside %s: the picture is fitted over the whole frame; make one with "
           "`plinthora shell check %s > %s`",
           names.c_str(), shellQuoted(first).c_str(), shellQuoted(fs.realPath(templatePathForShell(bare[0]))).c_str());
}

void checkPreferences(Report& r, FileSystem& fs, PropertyLists& plist) {
    const std::string real = fs.realPath(kPreferencesPath);
    const auto bytes = fs.readFile(kPreferencesPath);
    if (!bytes) {
        r.line(true, "preferences", "%s not written yet: every setting has its default", real.c_str());
        return;
    }
    const auto root = plist.parse(*bytes);
    if (!root || !root->isDict())
        r.line(false, "preferences", "%s is not a property list: every setting has its default", real.c_str());
    else
        r.line(true, "preferences", "%s", real.c_str());
}

void checkBus(Report& r) {
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (!bus.isConnected()) {
        r.line(false, "session bus",
               "not reachable (%s): settings changes and `plinthora capture` cannot reach "
               "the daemon",
               qPrintable(bus.lastError().message()));
        r.line(false, "daemon", "unknown without a session bus");
        return;
    }
    r.line(true, "session bus", "connected");
    if (!bus.interface()->isServiceRegistered(host::kDaemonService).value()) {
        r.line(false, "daemon", "plinthorad is not running (systemctl --user start plinthorad)");
        return;
    }
    r.line(true, "daemon", "plinthorad is running");
    // What the daemon itself watches: a folder it lost (removed, replaced,
    // covered by a mount) and is waiting for.
    QDBusMessage status = bus.call(
        QDBusMessage::createMethodCall(host::kDaemonService, host::kDaemonPath, host::kDaemonInterface, "Status"),
        QDBus::Block, 5000);
    if (status.type() != QDBusMessage::ReplyMessage || status.arguments().isEmpty()) {
        r.line(false, "watched folders", "plinthorad does not answer: %s", qPrintable(status.errorMessage()));
        return;
    }
    QStringList watched, unwatched;
    for (const QString& l : status.arguments().first().toString().split('\n')) {
        if (l.startsWith("watched: ")) watched << l.mid(9);
        if (l.startsWith("unwatched: ")) unwatched << l.mid(11);
    }
    for (const QString& folder : unwatched)
        r.line(false, "watched folders",
               "plinthorad is not watching %s (missing, or not a folder it can watch): "
               "nothing new there is framed until it exists",
               qPrintable(folder));
    if (unwatched.isEmpty()) r.line(true, "watched folders", "%s", qPrintable(watched.join(", ")));
}

// The plugin Qt opens a window with in this session: without it the
// settings window cannot start, and the daemon runs offscreen.
void checkPlatformPlugin(Report& r) {
    const char* chosen = std::getenv("QT_QPA_PLATFORM");
    std::string name = chosen && *chosen ? chosen : "";
    if (const size_t colon = name.find(':'); colon != std::string::npos) name.resize(colon);
    const bool wayland = host::waylandReachable();
    if (name.empty()) {
        if (!wayland && !host::displayReachable()) return;  // the display line says it
        name = wayland ? "wayland" : "xcb";
    }
    if (name == "offscreen" || name == "minimal") return;
    if (host::qtPlatformPluginPresent(name)) {
        r.line(true, "Qt platform plugin", "%s", name.c_str());
    } else if (name == "wayland" && !chosen && host::qtPlatformPluginPresent("xcb") && std::getenv("DISPLAY")) {
        r.line(false, "Qt platform plugin",
               "Qt's Wayland plugin is missing: windows open through Xwayland (install qt6-wayland)");
    } else {
        r.line(false, "Qt platform plugin",
               "Qt's \"%s\" plugin is missing: plinthora-settings cannot open its window and plinthorad runs "
               "offscreen (install %s)",
               name.c_str(),
               name == "wayland" ? "qt6-wayland"
               : name == "xcb"   ? "libqt6gui6"
                                 : "the plugin");
    }
}

void checkDisplay(Report& r) {
    auto env = [](const char* name) -> std::string {
        const char* v = std::getenv(name);
        return v ? v : "";
    };
    const std::string qpa = env("QT_QPA_PLATFORM");
    const std::string wayland = env("WAYLAND_DISPLAY"), x11 = env("DISPLAY");
    const std::string named = !wayland.empty() ? "WAYLAND_DISPLAY=" + wayland : !x11.empty() ? "DISPLAY=" + x11 : "";
    if (qpa == "offscreen" || qpa == "minimal")
        r.line(false, "display / clipboard", "QT_QPA_PLATFORM=%s: the clipboard stays inside the daemon", qpa.c_str());
    else if (!qpa.empty())
        r.line(true, "display / clipboard", "QT_QPA_PLATFORM=%s", qpa.c_str());
    else if (host::waylandReachable()) {
        // The daemon's own road onto a Wayland clipboard, asked the same way.
        const auto display = linux_platform::WaylandDisplay::connect();
        if (display && display->hasDataControl())
            r.line(true, "display / clipboard", "%s: the clipboard through the compositor's data control",
                   named.c_str());
        else if (display && !QStandardPaths::findExecutable("wl-copy").isEmpty())
            r.line(true, "display / clipboard", "%s: the clipboard through wl-copy", named.c_str());
        else
            r.line(false, "display / clipboard",
                   "%s: clipboard delivery is not possible on this compositor (no data-control protocol, and "
                   "wl-copy is not installed): with \"save to clipboard\" on, framed screenshots are saved as "
                   "files (install wl-clipboard)",
                   named.c_str());
    } else if (host::displayReachable())
        r.line(true, "display / clipboard", "%s", named.c_str());
    else
        r.line(false, "display / clipboard",
               "%s%s: clipboard delivery is unavailable (plinthorad runs offscreen: with \"save to clipboard\" on, "
               "framed screenshots are saved as files), and the screen is taken as 390x844@3",
               named.empty() ? "no display" : "no display answers at ", named.c_str());
}

// A library opened for one check; its functions by name.
class Library {
public:
    // Never unloaded: codec and sound libraries keep allocations made at
    // start-up for the life of the process, and some register exit
    // handlers that must still find their code.
    explicit Library(const char* soname) : handle_(::dlopen(soname, RTLD_NOW | RTLD_LOCAL | RTLD_NODELETE)) {}
    ~Library() {
        if (handle_) ::dlclose(handle_);
    }
    Library(const Library&) = delete;
    Library& operator=(const Library&) = delete;
    template <typename F>
    F* get(const char* name) const {
        return handle_ ? reinterpret_cast<F*>(::dlsym(handle_, name)) : nullptr;
    }

private:
    void* handle_;
};

// A machine without sound is no fault: results are saved all the same.
void checkSound(Report& r) {
    // Opening a context succeeds even without a device; only a play tells.
    // It plays the sound the daemon plays after a save.
    linux_platform::quietSoundLibraryMessages();
    const Library canberra("libcanberra.so.0");
    auto create = canberra.get<int(ca_context**)>("ca_context_create");
    auto open = canberra.get<int(ca_context*)>("ca_context_open");
    auto play = canberra.get<int(ca_context*, uint32_t, ...)>("ca_context_play");
    auto destroy = canberra.get<int(ca_context*)>("ca_context_destroy");
    auto message = canberra.get<const char*(int)>("ca_strerror");
    if (!create || !open || !play || !destroy || !message) {
        r.note("sound", "libcanberra0 is missing: results are saved silently");
        return;
    }
    ca_context* ctx = nullptr;
    int err = create(&ctx);
    if (err == CA_SUCCESS) err = open(ctx);
    if (err == CA_SUCCESS)
        err = play(ctx, 0, CA_PROP_EVENT_ID, "complete", CA_PROP_EVENT_DESCRIPTION, "plinthora doctor", nullptr);
    if (err == CA_SUCCESS)
        r.line(true, "sound", "played the event sound \"complete\" (you should have heard it)");
    else
        r.note("sound", "no sound (%s): results are saved silently", message(err));
    if (ctx) destroy(ctx);
}

void checkCodecs(Report& r) {
    const QList<QByteArray> formats = QImageReader::supportedImageFormats();
    const bool png = formats.contains("png"), jpeg = formats.contains("jpeg") || formats.contains("jpg");
    if (png && jpeg)
        r.line(true, "image formats", "PNG and JPEG");
    else
        r.line(false, "image formats", "missing %s: such screenshots and shells cannot be read",
               !png ? (!jpeg ? "PNG and JPEG" : "PNG") : "JPEG (install qt6-image-formats-plugins)");

    // The codec library the daemon's recordings use, by its soname.
    const Library avcodec(("libavcodec.so." + std::to_string(LIBAVCODEC_VERSION_MAJOR)).c_str());
    auto encoderByName = avcodec.get<const AVCodec*(const char*)>("avcodec_find_encoder_by_name");
    auto decoder = avcodec.get<const AVCodec*(AVCodecID)>("avcodec_find_decoder");
    const bool x264 = encoderByName && encoderByName("libx264") != nullptr;
    const bool h264 = decoder && decoder(AV_CODEC_ID_H264) != nullptr;
    const bool aac = decoder && decoder(AV_CODEC_ID_AAC) != nullptr;
    if (x264 && h264 && aac)
        r.line(true, "video codecs", "H.264 (libx264) encode, H.264 and AAC decode");
    else
        r.line(false, "video codecs", "missing%s%s%s: recordings cannot be framed (install libavcodec59 with libx264)",
               x264 ? "" : " libx264 encoder", h264 ? "" : " H.264 decoder", aac ? "" : " AAC decoder");
}

}  // namespace

int runDoctor(int argc, char** argv) {
    QString shots, casts;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if ((a == "--screenshots" || a == "--screencasts") && i + 1 < argc)
            (a == "--screenshots" ? shots : casts) = QString::fromLocal8Bit(argv[++i]);
        else {
            std::fprintf(stderr, "usage: plinthora doctor [--screenshots DIR] [--screencasts DIR]\n");
            return 2;
        }
    }
    QCoreApplication app(argc, argv);
    linux_platform::PosixFileSystem fs;
    linux_platform::LibplistPropertyLists plist;
    Report r;
    checkCaptureFolder(r, "screenshot folder",
                       shots.isEmpty() ? linux_platform::FolderPhotoLibrary::defaultImageFolder() : shots);
    checkCaptureFolder(r, "screencast folder",
                       casts.isEmpty() ? linux_platform::FolderPhotoLibrary::defaultVideoFolder() : casts);
    checkAssets(r, fs);
    checkShellTemplates(r, fs);
    checkPreferences(r, fs, plist);
    checkBus(r);
    checkDisplay(r);
    checkPlatformPlugin(r);
    checkSound(r);
    checkCodecs(r);
    std::printf("%s\n", r.warnings ? "some checks need attention" : "all checks passed");
    return r.warnings ? 1 : 0;
}

}  // namespace plinthora::cli
