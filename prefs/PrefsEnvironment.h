// The platform services the settings page uses, and the preferences file as
// the page reads and writes it: whole, anew for every look-up and change.
#pragma once

#include "platform/ports/Ports.h"
#include "platform/ports/Value.h"

#include <QString>

#include <string>

namespace plinthora::prefs {

class UrlOpener;

inline constexpr const char* kPreferencesPath = "/var/mobile/Library/Preferences/com.ozrin.plinthora.plist";
inline constexpr const char* kPreferencesChanged = "com.ozrin.plinthora/preferencesChanged";

struct PrefsEnvironment {
    FileSystem* fs = nullptr;
    PropertyLists* plist = nullptr;
    NotifyCenter* notify = nullptr;
    UrlOpener* urls = nullptr;

    // The services in force: the desktop's own unless a test set others.
    static PrefsEnvironment& current();
    static void setCurrent(const PrefsEnvironment& environment);
};

// The preferences dictionary; empty when the file is missing or unreadable.
Value readPreferencesFile(const PrefsEnvironment& env);

struct WriteOutcome {
    bool ok = false;
    QString reason;  // why it failed, in the system's words
};

// Reads the file anew, sets `key`, and writes the whole dictionary back
// atomically; every other key stays as it was.
WriteOutcome writePreferencesKey(const PrefsEnvironment& env, const std::string& key, const Value& value);

}  // namespace plinthora::prefs
