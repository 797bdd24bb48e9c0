// The real ports on Linux.
#pragma once

#include "platform/ports/Platform.h"

#include <QObject>
#include <QString>

#include <memory>
#include <string>

namespace plinthora::linux_platform {

// Main queue = the Qt event loop of the thread that owns the
// QCoreApplication; global queue = QThreadPool.
class QtDispatch : public Dispatch {
public:
    void async(Queue q, std::function<void()> block) override;
    void after(double seconds, Queue q, std::function<void()> block) override;
};

class SteadyClock : public Clock {
public:
    double now() const override;
    double wallNow() const override;
};

// Device paths → real paths:
//   /var/mobile/Library/Preferences/com.ozrin.plinthora.plist → $XDG_CONFIG_HOME/plinthora/…
//   /var/mobile/Ozrin/… → ~/Ozrin/…
//   other /var/mobile/… → ~/…
// With PLINTHORA_DEVICE_ROOT set, all of /var/mobile lies under that folder.
// Other paths are used as they are.
class PosixFileSystem : public FileSystem {
public:
    std::string realPath(const std::string& devicePath) const override;
    bool exists(const std::string& path) const override;
    bool isDirectory(const std::string& path) const override;
    bool createDirectories(const std::string& path) override;
    std::optional<std::vector<std::string>> listDirectory(const std::string& path) const override;
    std::optional<std::string> readFile(const std::string& path) const override;
    bool writeFileAtomically(const std::string& path, const std::string& bytes) override;
    bool removeItem(const std::string& path) override;
    std::string temporaryDirectory() const override;
};

// The whole content of a file at a real path; nullopt when it cannot be read.
std::optional<std::string> readWholeFile(const std::string& realPath);

// Writes bytes to a temp file beside `realPath`, fsyncs it and renames it
// over the target; the folder is fsynced too. False, with nothing left
// behind, on any failure.
bool writeAtomically(const std::string& realPath, const std::string& bytes);

class LibplistPropertyLists : public PropertyLists {
public:
    std::optional<Value> parse(const std::string& bytes) const override;
    std::string toXml(const Value& root) const override;
};

class NlohmannJson : public Json {
public:
    std::optional<Value> parse(const std::string& bytes) const override;
};

// Bounded draws from the kernel's random source without modulo bias.
class SystemRandom : public Random {
public:
    uint32_t uniform(uint32_t upperBound) override;
};

// The display-free ports every program of ours sets up the same way.
struct BasicPorts {
    QtDispatch dispatch;
    SteadyClock clock;
    PosixFileSystem fs;
    LibplistPropertyLists plist;
    NlohmannJson json;
    SystemRandom random;

    void fillIn(Platform& p) {
        p.dispatch = &dispatch;
        p.clock = &clock;
        p.fs = &fs;
        p.plist = &plist;
        p.json = &json;
        p.random = &random;
    }
};

}  // namespace plinthora::linux_platform
