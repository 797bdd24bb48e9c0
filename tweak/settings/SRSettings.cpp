#include "settings/SRSettings.h"

#include "platform/ports/Platform.h"
#include "util/Numbers.h"

#include <cctype>
#include <cstdint>
#include <cstdlib>

namespace plinthora {

SRSettings& settings() {
    static SRSettings s;
    return s;
}


std::optional<bool> boolReading(const Value& v) {
    switch (v.kind()) {
    case Value::Kind::Bool: return v.asBool();
    case Value::Kind::Integer: return v.asInteger() != 0;
    case Value::Kind::Real: return v.asReal() != 0.0;
    case Value::Kind::String: {
        // "YES", "true" and a leading non-zero digit read as on.
        size_t i = 0;
        const std::string& s = v.asString();
        while (i < s.size() && std::isspace(static_cast<unsigned char>(s[i]))) ++i;
        if (i < s.size() && (s[i] == '+' || s[i] == '-')) ++i;
        while (i < s.size() && s[i] == '0') ++i;
        if (i >= s.size()) return false;
        char c = s[i];
        return c == 'Y' || c == 'y' || c == 'T' || c == 't' || (c >= '1' && c <= '9');
    }
    default: return std::nullopt;
    }
}

std::optional<double> realReading(const Value& v) {
    switch (v.kind()) {
    case Value::Kind::Bool: return v.asBool() ? 1.0 : 0.0;
    case Value::Kind::Integer:
    case Value::Kind::Real: return v.asReal();
    case Value::Kind::String: return leadingDecimal(v.asString());
    default: return std::nullopt;
    }
}

std::optional<int64_t> integerReading(const Value& v) {
    switch (v.kind()) {
    case Value::Kind::Bool: return v.asBool() ? 1 : 0;
    case Value::Kind::Integer: return v.asInteger();
    case Value::Kind::Real: {
        // A real beyond the 64-bit range (or NaN) has no integer reading; a
        // bare cast of it would be undefined.
        const double r = v.asReal();
        if (!(r > -9.2233720368547758e18 && r < 9.2233720368547758e18)) return std::nullopt;
        return static_cast<int64_t>(r);
    }
    case Value::Kind::String: return std::strtoll(v.asString().c_str(), nullptr, 10);
    default: return std::nullopt;
    }
}

namespace {

// The reading of one stored value by the field's type, or the default.
bool readSetting(const Value& prefs, const char* key, bool def) {
    const Value* v = prefs.find(key);
    return v ? boolReading(*v).value_or(def) : def;
}
float readSetting(const Value& prefs, const char* key, double def) {
    const Value* v = prefs.find(key);
    const auto r = v ? realReading(*v) : std::nullopt;
    return static_cast<float>(r ? *r : def);
}
int32_t readSetting(const Value& prefs, const char* key, int def) {
    const Value* v = prefs.find(key);
    const auto i = v ? integerReading(*v) : std::nullopt;
    // A number the 32-bit field cannot hold has no reading either.
    return i && *i >= INT32_MIN && *i <= INT32_MAX ? static_cast<int32_t>(*i) : def;
}
SharedString readSetting(const Value& prefs, const char* key, const char* def) {
    const Value* v = prefs.find(key);
    if (v && v->isString()) return std::make_shared<const std::string>(v->asString());
    return def ? std::make_shared<const std::string>(def) : nullptr;
}

}  // namespace

#define PLINTHORA_SETTING_APPLY_Bool(field, Field, key, def) field = readSetting(prefs, key, bool(def));
#define PLINTHORA_SETTING_APPLY_Real(field, Field, key, def) field = readSetting(prefs, key, double(def));
#define PLINTHORA_SETTING_APPLY_Int(field, Field, key, def) field = readSetting(prefs, key, int(def));
#define PLINTHORA_SETTING_APPLY_Name(field, Field, key, def) \
    set##Field(readSetting(prefs, key, static_cast<const char*>(def)));
#define PLINTHORA_SETTING_APPLY(type, field, Field, key, def, cell, label, row) \
    PLINTHORA_SETTING_APPLY_##type(field, Field, key, def)

void SRSettings::apply(const Value& prefs){PLINTHORA_SETTINGS(PLINTHORA_SETTING_APPLY)}

Value readPreferences() {
    Platform& p = platform();
    auto bytes = p.fs->readFile(kPreferencesPath);
    if (!bytes) return Value::dict();
    auto root = p.plist->parse(*bytes);
    if (!root || !root->isDict()) {
        debugLog("preferences file is not a dictionary; using defaults");
        return Value::dict();
    }
    return *root;
}

void loadSettings() { settings().apply(readPreferences()); }

void preferencesChangedCallback() { loadSettings(); }

void registerForPreferenceChanges() {
    platform().notify->addObserver(kPreferencesChangedNotification, [] { preferencesChangedCallback(); });
}

bool writePreference(const std::string& key, const Value& value, const std::string& notification) {
    Platform& p = platform();
    Value prefs = readPreferences();
    if (value.isNull())
        prefs.asDict().erase(key);
    else
        prefs.asDict()[key] = value;
    // On a fresh system the preferences folder may not exist yet.
    const std::string path = kPreferencesPath;
    p.fs->createDirectories(path.substr(0, path.rfind('/')));
    bool ok = p.fs->writeFileAtomically(path, p.plist->toXml(prefs));
    if (!ok) debugLog("writing the preferences file failed");
    if (!notification.empty()) p.notify->post(notification);
    return ok;
}

}  // namespace plinthora
