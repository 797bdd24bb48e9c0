#include "host/common/DisplayChoice.h"

#include <QDir>
#include <QLibraryInfo>
#include <QString>

#include <cerrno>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <string>

#include <fcntl.h>
#include <netdb.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

namespace plinthora::host {

namespace {

std::string env(const char* name) {
    const char* v = std::getenv(name);
    return v ? v : "";
}

// `abstractName` puts the name in the abstract namespace (leading NUL).
bool unixSocketAnswers(const std::string& path, bool abstractName = false) {
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    const size_t offset = abstractName ? 1 : 0;
    if (path.empty() || path.size() + offset >= sizeof addr.sun_path) return false;
    std::memcpy(addr.sun_path + offset, path.data(), path.size());
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return false;
    const socklen_t len = socklen_t(offsetof(sockaddr_un, sun_path) + offset + path.size() + (abstractName ? 0 : 1));
    const bool ok = ::connect(fd, reinterpret_cast<const sockaddr*>(&addr), len) == 0;
    ::close(fd);
    return ok;
}

// A bounded wait: a forwarded display on a dead connection must not hang
// the start of a command.
bool tcpAnswers(const std::string& host, int port) {
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* list = nullptr;
    if (::getaddrinfo(host.c_str(), std::to_string(port).c_str(), &hints, &list) != 0) return false;
    bool ok = false;
    for (addrinfo* a = list; a && !ok; a = a->ai_next) {
        const int fd = ::socket(a->ai_family, a->ai_socktype | SOCK_CLOEXEC | SOCK_NONBLOCK, a->ai_protocol);
        if (fd < 0) continue;
        if (::connect(fd, a->ai_addr, a->ai_addrlen) == 0) {
            ok = true;
        } else if (errno == EINPROGRESS) {
            pollfd p{fd, POLLOUT, 0};
            int err = 0;
            socklen_t len = sizeof err;
            ok = ::poll(&p, 1, 2000) == 1 && ::getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &len) == 0 && err == 0;
        }
        ::close(fd);
    }
    ::freeaddrinfo(list);
    return ok;
}

bool waylandAnswers() {
    const std::string name = env("WAYLAND_DISPLAY");
    if (name.empty()) return false;
    if (name[0] == '/') return unixSocketAnswers(name);
    const std::string runtime = env("XDG_RUNTIME_DIR");
    return !runtime.empty() && unixSocketAnswers(runtime + "/" + name);
}

// DISPLAY is [host]:N[.S]; an empty host or "unix" is this machine.
bool x11Answers() {
    const std::string display = env("DISPLAY");
    const size_t colon = display.rfind(':');
    if (colon == std::string::npos || colon + 1 >= display.size()) return false;
    const std::string host = display.substr(0, colon);
    char* end = nullptr;
    const long n = std::strtol(display.c_str() + colon + 1, &end, 10);
    if (end == display.c_str() + colon + 1 || n < 0 || n > 65535 - 6000) return false;
    if (host.empty() || host == "unix") {
        const std::string socket = "/tmp/.X11-unix/X" + std::to_string(n);
        return unixSocketAnswers(socket, true) || unixSocketAnswers(socket);
    }
    return tcpAnswers(host, 6000 + int(n));
}

}  // namespace

bool displayReachable() { return waylandAnswers() || x11Answers(); }

bool waylandReachable() { return waylandAnswers(); }

bool qtPlatformPluginPresent(const std::string& name) {
    QStringList folders;
    for (const QString& dir : QString::fromLocal8Bit(env("QT_PLUGIN_PATH").c_str()).split(':', Qt::SkipEmptyParts))
        folders << dir;
    folders << QLibraryInfo::path(QLibraryInfo::PluginsPath);
    // Qt's Wayland plugin comes as "wayland-generic" and "wayland-egl";
    // either opens a window.
    const QStringList patterns = {QStringLiteral("libq%1.so").arg(QString::fromStdString(name)),
                                  QStringLiteral("libq%1-*.so").arg(QString::fromStdString(name))};
    for (const QString& folder : folders)
        if (!QDir(folder + "/platforms").entryList(patterns, QDir::Files).isEmpty()) return true;
    return false;
}

bool displayUsable() {
    return (waylandAnswers() && qtPlatformPluginPresent("wayland")) || (x11Answers() && qtPlatformPluginPresent("xcb"));
}

bool useOffscreenWithoutDisplay() {
    if (!env("QT_QPA_PLATFORM").empty() || displayUsable()) return false;
    ::setenv("QT_QPA_PLATFORM", "offscreen", 1);
    return true;
}

}  // namespace plinthora::host
