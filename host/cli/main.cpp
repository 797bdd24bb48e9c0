// plinthora: the command-line tool. Each command lives in its own file and
// registers itself in the table below.
#include "host/cli/Commands.h"

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

namespace {

const std::vector<plinthora::cli::Command>& commands() {
    static const std::vector<plinthora::cli::Command> table = {
        {"frame", "frame IMAGE [--shell PATH] [--watermark PATH] [-o OUT] [--mode N] [--blend NAME] [--opacity X]",
         "dress one screenshot in a shell (and watermark) without the daemon", plinthora::cli::runFrame},
        {"samples", "samples DIR", "write a sample screenshot, shell (.png + .cfg) and watermark into DIR",
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
    std::fprintf(out, "usage: plinthora COMMAND [ARGS]\n\ncommands:\n");
    for (const auto& c : commands()) std::fprintf(out, "  %-8s %s\n           %s\n", c.name, c.synopsis, c.help);
}

}  // namespace

int main(int argc, char** argv) {
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
