// plinthora: the command-line tool. Each command lives in its own file and
// registers itself in the table below.
#include "host/cli/Commands.h"
#include "platform/ports/Platform.h"

#include <QString>
#include <QtGlobal>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

const std::vector<plinthora::cli::Command>& commands() {
    static const std::vector<plinthora::cli::Command> table = {
        {"frame", "frame INPUT... [--shell PATH] [--watermark PATH] [-o OUT] [--mode N] [--blend NAME] [--opacity X]",
         "dress screenshots (files or folders) in a shell (and watermark) without the daemon",
         plinthora::cli::runFrame},
        {"shell", "shell add FRAME [--name NAME] [--landscape|--portrait] | shell check FRAME [-o PREVIEW]",
         "make a downloaded device frame a shell: its template from the JSON beside it, or its screen found in it",
         plinthora::cli::runShell},
        {"samples", "samples DIR", "write a sample screenshot, shells (.png + .cfg) and watermark into DIR",
         plinthora::cli::runSamples},
        {"doctor", "doctor [--screenshots DIR] [--screencasts DIR]",
         "check folders, assets, preferences, bus, display, sound and codecs (exit 1 on any WARN)",
         plinthora::cli::runDoctor},
        {"notify", "notify [NAME]", "post a notification by hand (default: com.ozrin.plinthora/preferencesChanged)",
         plinthora::cli::runNotify},
        {"capture", "capture on|off", "tell plinthorad a screen capture began or ended", plinthora::cli::runCapture},
    };
    return table;
}

void usage(FILE* out) {
    std::fprintf(out, "usage: plinthora [--verbose] COMMAND [ARGS]\n       plinthora --version\n\ncommands:\n");
    for (const auto& c : commands()) std::fprintf(out, "  %-8s %s\n           %s\n", c.name, c.synopsis, c.help);
    std::fprintf(out, "\n--verbose (or PLINTHORA_DEBUG=1) shows the debug log and the libraries' own messages.\n");
}

bool debugWanted() {
    const char* v = std::getenv("PLINTHORA_DEBUG");
    return v && *v && std::strcmp(v, "0") != 0;
}

// Qt's and the libraries' own chatter (a missing runtime folder under cron
// or su, image-reader warnings) means nothing to someone framing a picture:
// it goes to the debug log, and our own errors stay one line each. A
// command that loads the codec libraries quiets their log the same way.
void quietLibraries() {
    qInstallMessageHandler([](QtMsgType type, const QMessageLogContext&, const QString& message) {
        if (type == QtFatalMsg) {
            std::fprintf(stderr, "plinthora: %s\n", qPrintable(message));
            std::abort();
        }
        plinthora::debugLog("qt: %s", qPrintable(message));
    });
}

}  // namespace

int main(int argc, char** argv) {
    // --verbose may stand anywhere; the commands never see it.
    int kept = 1;
    for (int i = 1; i < argc; ++i) {
        if (!std::strcmp(argv[i], "--verbose"))
            ::setenv("PLINTHORA_DEBUG", "1", 1);
        else
            argv[kept++] = argv[i];
    }
    argc = kept;
    argv[argc] = nullptr;
    if (!debugWanted()) quietLibraries();
    if (argc == 2 && !std::strcmp(argv[1], "--version")) {
        std::printf("plinthora %s\n", PLINTHORA_VERSION);
        return 0;
    }
    if (argc < 2 || !std::strcmp(argv[1], "-h") || !std::strcmp(argv[1], "--help")) {
        usage(argc < 2 ? stderr : stdout);
        return argc < 2 ? 2 : 0;
    }
    for (const auto& c : commands())
        if (!std::strcmp(argv[1], c.name)) return c.run(argc - 1, argv + 1);
    std::fprintf(stderr, "plinthora: unknown command '%s'\n", argv[1]);
    usage(stderr);
    return 2;
}
