// plinthora notify [NAME]: posts a cross-process notification by hand, by
// default the one that makes the daemon re-read the preferences file after
// it was edited outside the settings window.
#include "host/cli/Commands.h"
#include "platform/linux/DBusNotifyCenter.h"
#include "settings/SRSettings.h"

#include <QCoreApplication>
#include <QDBusConnectionInterface>

#include <cstdio>

namespace plinthora::cli {

int runNotify(int argc, char** argv) {
    if (argc > 2) {
        std::fprintf(stderr, "usage: plinthora notify [NAME]\n");
        return 2;
    }
    const std::string name = argc == 2 ? argv[1] : kPreferencesChangedNotification;
    QCoreApplication app(argc, argv);
    linux_platform::DBusNotifyCenter center;
    if (!center.isConnected()) {
        std::fprintf(stderr, "plinthora: no session bus: %s\n", qPrintable(center.lastError()));
        return 1;
    }
    center.post(name);
    // A signal is only queued; a call answered after it proves it left
    // before we exit.
    QDBusConnection::sessionBus().interface()->isServiceRegistered("org.freedesktop.DBus");
    std::printf("posted %s\n", name.c_str());
    return 0;
}

}  // namespace plinthora::cli
