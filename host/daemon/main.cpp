// plinthorad: frames every new screenshot (and screen recording) in a
// device shell, as the tweak library does on the phone.
#include "host/common/DisplayChoice.h"
#include "host/common/SampleAssets.h"
#include "host/daemon/Daemon.h"
#include "platform/linux/LinuxPlatform.h"
#include "platform/linux/Translations.h"

#include <QDir>
#include <QGuiApplication>
#include <QSocketNotifier>
#include <QTemporaryDir>
#include <QTimer>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <optional>
#include <string>

#include <sys/signalfd.h>
#include <unistd.h>

using namespace plinthora;
using namespace plinthora::host;

namespace {

constexpr int kDemoTimeoutSeconds = 30;
// Told apart from a failure so the service manager does not restart us
// (the unit's RestartPreventExitStatus).
constexpr int kAlreadyRunningExit = 3;

void usage(FILE* out) {
    std::fprintf(out,
                 "usage: plinthorad [--screenshots DIR] [--screencasts DIR] [--screen WxH@S]\n"
                 "                  [--tweak PATH] [--clipboard ROAD] [--no-notifications] [--verbose]\n"
                 "                  [--autostart] [--demo]\n"
                 "       plinthorad --version\n\n"
                 "  --screenshots DIR  folder the screenshot tool writes to (default: XDG Pictures/Screenshots);\n"
                 "                     repeat it to watch more folders\n"
                 "  --screencasts DIR  folder the screen recorder writes to (default: XDG Videos/Screencasts);\n"
                 "                     repeat it to watch more folders\n"
                 "  --screen WxH@S     screen size in points and its scale, e.g. 390x844@3\n"
                 "                     (default: the primary screen; 390x844@3 without a display)\n"
                 "  --tweak PATH       the tweak library to load (default: beside the program or installed)\n"
                 "  --clipboard ROAD   reach the clipboard only through ROAD: data-control (the Wayland\n"
                 "                     compositor's), wl-copy, x11 or none (default: the first that works)\n"
                 "  --no-notifications no desktop notification for results and failures\n"
                 "  --verbose          debug log on stderr (same as PLINTHORA_DEBUG=1)\n"
                 "  --autostart        started by the session's autostart: exit quietly when a daemon\n"
                 "                     already runs for this session or screenshot folder\n"
                 "  --demo             frame one generated screenshot in temporary folders, print the\n"
                 "                     result's path and exit\n\n"
                 "More folders can be named in %s, one per line:\n"
                 "  screenshots = ~/Pictures\n"
                 "  screencasts = ~/Videos\n\n"
                 "Exit status 3: another plinthorad already runs (0 with --autostart).\n",
                 qPrintable(hostConfigPath()));
}

struct Args {
    DaemonOptions options;
    bool verbose = false;
    bool demo = false;
    bool autostart = false;
};

// nullopt: exit with the code in `exitCode`.
std::optional<Args> parseArgs(int argc, char** argv, int& exitCode) {
    Args a;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        auto value = [&](const char* name) -> const char* {
            if (i + 1 >= argc) {
                std::fprintf(stderr, "plinthorad: %s needs a value\n", name);
                return nullptr;
            }
            return argv[++i];
        };
        if (arg == "-h" || arg == "--help") {
            usage(stdout);
            exitCode = 0;
            return std::nullopt;
        } else if (arg == "--version") {
            std::printf("plinthorad %s\n", PLINTHORA_VERSION);
            exitCode = 0;
            return std::nullopt;
        } else if (arg == "--autostart") {
            a.autostart = true;
        } else if (arg == "--verbose" || arg == "-v") {
            a.verbose = true;
        } else if (arg == "--no-notifications") {
            a.options.notifications = false;
        } else if (arg == "--demo") {
            a.demo = true;
        } else if (arg == "--screenshots" || arg == "--screencasts" || arg == "--tweak" || arg == "--screen" ||
                   arg == "--clipboard") {
            const char* v = value(arg.c_str());
            if (!v) {
                exitCode = 2;
                return std::nullopt;
            }
            if (arg == "--screenshots") a.options.screenshots << QString::fromLocal8Bit(v);
            if (arg == "--screencasts") a.options.screencasts << QString::fromLocal8Bit(v);
            if (arg == "--tweak") a.options.tweakPath = QString::fromLocal8Bit(v);
            if (arg == "--clipboard") {
                a.options.clipboard = linux_platform::DesktopPasteboard::roadNamed(v);
                if (!a.options.clipboard) {
                    std::fprintf(stderr, "plinthorad: --clipboard wants data-control, wl-copy, x11 or none\n");
                    exitCode = 2;
                    return std::nullopt;
                }
            }
            if (arg == "--screen") {
                a.options.screen = parseScreenSpec(v);
                if (!a.options.screen) {
                    std::fprintf(stderr, "plinthorad: --screen wants WIDTHxHEIGHT@SCALE in points, e.g. 390x844@3\n");
                    exitCode = 2;
                    return std::nullopt;
                }
            }
        } else {
            std::fprintf(stderr, "plinthorad: unknown option '%s'\n", arg.c_str());
            usage(stderr);
            exitCode = 2;
            return std::nullopt;
        }
    }
    return a;
}

// Writes the file the way a screenshot tool does: whole, under its final
// name only when complete.
bool dropScreenshot(const QString& folder, int width, int height, QString& path) {
    path = QDir(folder).filePath("Screenshot demo.png");
    return plinthora::linux_platform::writeAtomically(path.toStdString(),
                                                      pngBytes(makeSampleScreenshot(width, height)));
}

// Qt's own messages carry our name in the log like every other line; its
// chatter below a warning belongs in the debug log.
void prefixQtMessages() {
    qInstallMessageHandler([](QtMsgType type, const QMessageLogContext&, const QString& message) {
        if (type == QtDebugMsg || type == QtInfoMsg) {
            debugLog("qt: %s", qPrintable(message));
            return;
        }
        std::fprintf(stderr, "plinthorad: qt: %s\n", qPrintable(message));
        if (type == QtFatalMsg) std::abort();
    });
}

}  // namespace

int main(int argc, char** argv) {
    int exitCode = 0;
    std::optional<Args> args = parseArgs(argc, argv, exitCode);
    if (!args) return exitCode;
    // Before anything logs: the flag is read once per process.
    if (args->verbose) ::setenv("PLINTHORA_DEBUG", "1", 1);
    // A blocking D-Bus call whose connection the bus drops while it is
    // being sent makes QtDBus hand libdbus a pending call that never came
    // to be; libdbus takes that for a bug and, by default, aborts the
    // process. The call fails as it should once that check only warns, and
    // the daemon goes on to wait for the bus to come back. Unless the user
    // asked for something else.
    ::setenv("DBUS_FATAL_WARNINGS", "0", 0);
    prefixQtMessages();

    // The demo works in folders of its own, and on a machine without a
    // display.
    std::unique_ptr<QTemporaryDir> demoDir;
    if (args->demo) {
        demoDir = std::make_unique<QTemporaryDir>(QDir::tempPath() + "/plinthorad-demo-XXXXXX");
        if (!demoDir->isValid()) {
            std::fprintf(stderr, "plinthorad: cannot create a temporary folder for the demo\n");
            return 1;
        }
        if (args->options.screenshots.isEmpty()) args->options.screenshots << demoDir->filePath("Screenshots");
        if (args->options.screencasts.isEmpty()) args->options.screencasts << demoDir->filePath("Screencasts");
        if (!std::getenv("PLINTHORA_DEVICE_ROOT"))
            ::setenv("PLINTHORA_DEVICE_ROOT", demoDir->filePath("device").toLocal8Bit().constData(), 1);
    }
    // The clipboard's road is told once the daemon knows it.
    if (useOffscreenWithoutDisplay()) debugLog("host: no usable display; running offscreen");

    // SIGTERM and SIGINT arrive as readable data on a file descriptor, so
    // the shutdown runs on the main thread between two events. Blocked
    // before any thread starts, so every thread inherits the mask.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGTERM);
    sigaddset(&stopSignals, SIGINT);
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);
    const int sigFd = ::signalfd(-1, &stopSignals, SFD_NONBLOCK | SFD_CLOEXEC);

    QGuiApplication app(argc, argv);
    QGuiApplication::setApplicationName("plinthorad");
    QGuiApplication::setQuitOnLastWindowClosed(false);
    // Notifications speak the desktop's language.
    linux_platform::installTranslation();

    // The demo keeps to its own folders.
    if (!args->demo) {
        QStringList warnings;
        readHostConfig(hostConfigPath(), args->options, warnings);
        for (const QString& w : warnings) std::fprintf(stderr, "plinthorad: %s\n", qPrintable(w));
    }
    auto daemon = std::make_unique<Daemon>(args->options);
    if (sigFd >= 0) {
        auto* notifier = new QSocketNotifier(sigFd, QSocketNotifier::Read, &app);
        QObject::connect(notifier, &QSocketNotifier::activated, &app, [&, sigFd] {
            signalfd_siginfo info;
            while (::read(sigFd, &info, sizeof info) == sizeof info) {}
            daemon->shutdown();
        });
    }

    QString error;
    if (!daemon->start(error)) {
        // The systemd unit and the session's autostart may both start us:
        // the second one leaves the session to the first.
        if (daemon->alreadyRunning() && args->autostart) {
            debugLog("host: %s; leaving it to that one", qPrintable(error));
            return 0;
        }
        std::fprintf(stderr, "plinthorad: %s\n", qPrintable(error));
        return daemon->alreadyRunning() ? kAlreadyRunningExit : 1;
    }

    int demoResult = 0;
    if (args->demo) {
        const ScreenSpec s = daemon->screen();
        const int w = int(std::lround(s.width * s.scale));
        const int h = int(std::lround(s.height * s.scale));
        QObject::connect(daemon.get(), &Daemon::ResultSaved, &app, [&](const QString& path) {
            std::printf("%s\n", qPrintable(path));
            std::fflush(stdout);
            daemon->shutdown();
        });
        QTimer::singleShot(kDemoTimeoutSeconds * 1000, &app, [&] {
            std::fprintf(stderr, "plinthorad: no framed result within %d s (are both screenshot features off in %s?)\n",
                         kDemoTimeoutSeconds, std::getenv("PLINTHORA_DEVICE_ROOT"));
            demoResult = 1;
            daemon->shutdown();
        });
        QString dropped;
        if (!dropScreenshot(daemon->library().imageFolder(), w, h, dropped)) {
            std::fprintf(stderr, "plinthorad: cannot write the demo screenshot into %s\n",
                         qPrintable(daemon->library().imageFolder()));
            return 1;
        }
        std::fprintf(stderr, "plinthorad: demo screenshot %dx%d dropped into %s; waiting for the framed result\n", w, h,
                     qPrintable(daemon->library().imageFolder()));
    } else {
        std::fprintf(stderr, "plinthorad: watching %s and %s\n",
                     qPrintable(daemon->library().folders(MediaType::Image).join(", ")),
                     qPrintable(daemon->library().folders(MediaType::Video).join(", ")));
    }

    const int rc = app.exec();
    daemon.reset();
    if (sigFd >= 0) ::close(sigFd);
    if (args->demo && demoResult == 0) {
        // The result lives in the temporary folder: keep it for the user.
        demoDir->setAutoRemove(false);
        std::fprintf(stderr, "plinthorad: demo files kept in %s\n", qPrintable(demoDir->path()));
    }
    return rc != 0 ? rc : demoResult;
}
