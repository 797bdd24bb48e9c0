// The process-wide record of the current preferences, and the one writer rule
// that every editor of the preferences file follows.
#pragma once

#include "platform/ports/Value.h"
#include "settings/SettingsSchema.h"

#include <atomic>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

namespace plinthora {

inline constexpr const char* kPreferencesPath = "/var/mobile/Library/Preferences/com.ozrin.plinthora.plist";
inline constexpr const char* kPreferencesChangedNotification = "com.ozrin.plinthora/preferencesChanged";

using SharedString = std::shared_ptr<const std::string>;

#define PLINTHORA_SETTING_FIELD_Bool(field, Field, def) std::atomic<bool> field{def};
#define PLINTHORA_SETTING_FIELD_Real(field, Field, def) std::atomic<float> field{static_cast<float>(def)};
#define PLINTHORA_SETTING_FIELD_Int(field, Field, def) std::atomic<int32_t> field{def};
#define PLINTHORA_SETTING_FIELD_Name(field, Field, def)  \
    SharedString field() const { return get(field##_); } \
    void set##Field(SharedString s) { set(field##_, std::move(s)); }
#define PLINTHORA_SETTING_FIELD(type, field, Field, key, def, cell, label, row) \
    PLINTHORA_SETTING_FIELD_##type(field, Field, def)
#define PLINTHORA_SETTING_STORAGE_Bool(field, def)
#define PLINTHORA_SETTING_STORAGE_Real(field, def)
#define PLINTHORA_SETTING_STORAGE_Int(field, def)
#define PLINTHORA_SETTING_STORAGE_Name(field, def) SharedString field##_{nameOrNone(def)};
#define PLINTHORA_SETTING_STORAGE(type, field, Field, key, def, cell, label, row) \
    PLINTHORA_SETTING_STORAGE_##type(field, def)

// One field per entry of PLINTHORA_SETTINGS (SettingsSchema.h), holding its
// default until apply(). Scalars are atomics so a reader during a reload
// sees each field before or after it; strings (nullptr when none is
// selected) are handed out as shared pointers so a reload never frees one
// under a reader.
class SRSettings {
public:
    PLINTHORA_SETTINGS(PLINTHORA_SETTING_FIELD)

    // Overwrites every field from a preferences dictionary; absent keys take
    // their defaults. A non-dictionary counts as empty.
    void apply(const Value& prefs);

private:
    static SharedString nameOrNone(const char* name) {
        return name ? std::make_shared<const std::string>(name) : nullptr;
    }
    // The lock is held only to copy a pointer. (libstdc++ 12's
    // atomic<shared_ptr> ends a load by releasing its internal lock with
    // relaxed order, which ThreadSanitizer reports as a race and a weakly
    // ordered CPU may act on.) The old string is released outside it.
    SharedString get(const SharedString& field) const {
        std::lock_guard g(stringsLock_);
        return field;
    }
    void set(SharedString& field, SharedString value) {
        std::lock_guard g(stringsLock_);
        field.swap(value);
    }
    mutable std::mutex stringsLock_;
    PLINTHORA_SETTINGS(PLINTHORA_SETTING_STORAGE)
};

// The process's record.
SRSettings& settings();

// Reads the preferences file into settings(); a missing, unreadable or
// malformed file gives every default.
void loadSettings();

// The notify callback: ignores what it is told and reloads.
void preferencesChangedCallback();

// Subscribes preferencesChangedCallback to the change notification.
void registerForPreferenceChanges();

// Reads the preferences file as a dictionary (empty when missing or bad).
Value readPreferences();

// The writer rule: read the whole file, set one key, write it back
// atomically, then post `notification` (when not empty) once the write has
// finished, whether or not it succeeded. A null value removes the key.
// Returns whether the write succeeded.
bool writePreference(const std::string& key, const Value& value,
                     const std::string& notification = kPreferencesChangedNotification);

// Readings of a stored value, shared with other readers of the file. A value
// without a reading (array, dictionary, data, date) counts as absent.
std::optional<bool> boolReading(const Value& v);
std::optional<double> realReading(const Value& v);
std::optional<int64_t> integerReading(const Value& v);

}  // namespace plinthora
