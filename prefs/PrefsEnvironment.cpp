#include "prefs/PrefsEnvironment.h"

#include "platform/linux/DBusNotifyCenter.h"
#include "platform/linux/LinuxPlatform.h"
#include "prefs/UrlOpener.h"

#include <cerrno>
#include <cstring>
#include <memory>
#include <optional>

namespace plinthora::prefs {

namespace {

std::optional<PrefsEnvironment>& holder() {
    static std::optional<PrefsEnvironment> env;
    return env;
}

PrefsEnvironment desktop() {
    static linux_platform::PosixFileSystem fs;
    static linux_platform::LibplistPropertyLists plist;
    static auto* notify = new linux_platform::DBusNotifyCenter();
    static SystemUrlOpener urls(fs);
    return PrefsEnvironment{&fs, &plist, notify, &urls};
}

}  // namespace

PrefsEnvironment& PrefsEnvironment::current() {
    if (!holder()) holder() = desktop();
    return *holder();
}

void PrefsEnvironment::setCurrent(const PrefsEnvironment& environment) { holder() = environment; }

Value readPreferencesFile(const PrefsEnvironment& env) {
    auto bytes = env.fs->readFile(kPreferencesPath);
    auto root = bytes ? env.plist->parse(*bytes) : std::nullopt;
    return root && root->isDict() ? *root : Value::dict();
}

WriteOutcome writePreferencesKey(const PrefsEnvironment& env, const std::string& key, const Value& value) {
    Value prefs = readPreferencesFile(env);
    prefs.asDict()[key] = value;
    const std::string path = kPreferencesPath;
    // On a fresh system the preferences folder may not exist yet.
    env.fs->createDirectories(path.substr(0, path.rfind('/')));
    errno = 0;
    WriteOutcome out;
    out.ok = env.fs->writeFileAtomically(path, env.plist->toXml(prefs));
    if (!out.ok) {
        const int err = errno;
        out.reason = err ? QString::fromLocal8Bit(std::strerror(err)) : QStringLiteral("unknown error");
        debugLog("writing %s failed: %s", path.c_str(), qPrintable(out.reason));
    }
    return out;
}

}  // namespace plinthora::prefs
