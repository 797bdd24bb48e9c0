// The process-wide record of the current preferences, and the one writer rule
// that every editor of the preferences file follows.
#pragma once

#include "platform/ports/Value.h"

#include <atomic>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

namespace plinthora {

inline constexpr const char* kPreferencesPath = "/var/mobile/Library/Preferences/com.ozrin.plinthora.plist";
inline constexpr const char* kPreferencesChangedNotification = "com.ozrin.plinthora/preferencesChanged";
inline constexpr const char* kBlendNormal = "正常";

using SharedString = std::shared_ptr<const std::string>;

// Scalars are atomics so a reader during a reload sees each field before or
// after it; strings are handed out as shared pointers so a reload never
// frees one under a reader.
class SRSettings {
public:
    std::atomic<bool> recShellEnabled{true};
    std::atomic<bool> ssShellEnabled{true};
    std::atomic<bool> recWatermarkEnabled{false};
    std::atomic<bool> ssWatermarkEnabled{false};
    std::atomic<bool> randomShell{false};
    std::atomic<bool> randomWatermark{false};
    std::atomic<float> watermarkOpacity{1.0f};
    std::atomic<int32_t> watermarkMode{1};
    std::atomic<bool> vibrationEnabled{true};
    std::atomic<bool> deleteOriginal{false};
    std::atomic<bool> saveToClipboard{false};

    // nullptr when none is selected.
    SharedString selectedShell() const { return get(selectedShell_); }
    SharedString selectedWatermark() const { return get(selectedWatermark_); }
    SharedString watermarkBlendMode() const { return get(watermarkBlendMode_); }

    void setSelectedShell(SharedString s) { set(selectedShell_, std::move(s)); }
    void setSelectedWatermark(SharedString s) { set(selectedWatermark_, std::move(s)); }
    void setWatermarkBlendMode(SharedString s) { set(watermarkBlendMode_, std::move(s)); }

    // Overwrites every field from a preferences dictionary; absent keys take
    // their defaults. A non-dictionary counts as empty.
    void apply(const Value& prefs);

private:
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
    SharedString selectedShell_;
    SharedString selectedWatermark_;
    SharedString watermarkBlendMode_{std::make_shared<const std::string>(kBlendNormal)};
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
