// plinthora capture on|off: tells the daemon that a screen capture began or
// ended, for captures it cannot see in the screencast folder.
#include "host/cli/Commands.h"
#include "host/daemon/DaemonBus.h"

#include <QCoreApplication>
#include <QDBusConnection>
#include <QDBusMessage>

#include <cstdio>
#include <cstring>

namespace plinthora::cli {

int runCapture(int argc, char** argv) {
    if (argc != 2 || (std::strcmp(argv[1], "on") != 0 && std::strcmp(argv[1], "off") != 0)) {
        std::fprintf(stderr, "usage: plinthora capture on|off\n");
        return 2;
    }
    const bool on = std::strcmp(argv[1], "on") == 0;
    QCoreApplication app(argc, argv);
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (!bus.isConnected()) {
        std::fprintf(stderr, "plinthora: no session bus: %s\n", qPrintable(bus.lastError().message()));
        return 1;
    }
    QDBusMessage call =
        QDBusMessage::createMethodCall(host::kDaemonService, host::kDaemonPath, host::kDaemonInterface, "SetCaptured");
    call.setArguments({on});
    const QDBusMessage reply = bus.call(call, QDBus::Block, 10000);
    if (reply.type() == QDBusMessage::ErrorMessage) {
        if (reply.errorName() == "org.freedesktop.DBus.Error.ServiceUnknown")
            std::fprintf(stderr,
                         "plinthora: plinthorad is not running on this session bus "
                         "(systemctl --user start plinthorad)\n");
        else
            std::fprintf(stderr, "plinthora: the daemon did not take the call: %s\n", qPrintable(reply.errorMessage()));
        return 1;
    }
    std::printf("screen capture %s\n", on ? "on" : "off");
    return 0;
}

}  // namespace plinthora::cli
