// plinthora samples DIR: the generated sample screenshot, shells (with their
// template) and watermark, for trying `plinthora frame` by hand.
#include "host/cli/Commands.h"
#include "host/common/DisplayChoice.h"
#include "host/common/SampleAssets.h"
#include "platform/linux/LinuxPlatform.h"

#include <QGuiApplication>
#include <QImage>

#include <cstdio>
#include <string>
#include <sys/stat.h>

namespace plinthora::cli {

int runSamples(int argc, char** argv) {
    if (argc != 2 || argv[1][0] == '-') {
        std::fprintf(stderr, "usage: plinthora samples DIR\n");
        return 2;
    }
    const std::string dir = argv[1];
    // Over SSH, from cron or on a server: offscreen, instead of aborting.
    host::useOffscreenWithoutDisplay();
    QGuiApplication app(argc, argv);
    linux_platform::PosixFileSystem fs;
    if (!fs.createDirectories(dir)) {
        std::fprintf(stderr, "plinthora samples: cannot create %s\n", dir.c_str());
        return 1;
    }
    host::SampleShell shell = host::makeSampleShell(1350, 2750);
    host::SampleShell landscape = host::makeSampleLaptopShell();
    struct Out {
        std::string name;
        QImage image;
    };
    const Out images[] = {{"screenshot.png", host::makeSampleScreenshot(1170, 2532)},
                          {"shell.png", shell.image},
                          {"shell-landscape.png", landscape.image},
                          {"watermark.png", host::makeSampleWatermark(1350, 2750)}};
    for (const Out& o : images) {
        const std::string path = dir + "/" + o.name;
        if (!o.image.save(QString::fromStdString(path), "PNG")) {
            std::fprintf(stderr, "plinthora samples: cannot write %s\n", path.c_str());
            return 1;
        }
        std::printf("%s\n", path.c_str());
    }
    for (const auto& [name, json] :
         {std::pair{"shell.cfg", shell.templateJson}, {"shell-landscape.cfg", landscape.templateJson}}) {
        if (!linux_platform::writeAtomically(dir + "/" + name, json)) {
            std::fprintf(stderr, "plinthora samples: cannot write %s/%s\n", dir.c_str(), name);
            return 1;
        }
        std::printf("%s/%s\n", dir.c_str(), name);
    }
    return 0;
}

}  // namespace plinthora::cli
