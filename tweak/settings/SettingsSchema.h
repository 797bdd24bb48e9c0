// Every preference, once: its key, its field in SRSettings, its type, its
// default and the row of the settings page that edits it. SRSettings and
// SRSettings::apply are generated from this list, and the settings page
// test holds prefs/Root.plist to it (a keyed row missing here, or a key here
// without its row, fails), so a key cannot be half added.
//
// Header only, no dependencies: the settings page and its tests read it
// without linking the tweak.
#pragma once

#include <cstddef>

namespace plinthora {

inline constexpr const char* kBlendNormal = "正常";

// X(type, field, Field, key, default, cell, label), in the page's order.
//   Bool  std::atomic<bool>; numbers and "YES"/"true"-like strings read too
//   Real  std::atomic<float>, from any number or a string's leading decimal
//   Int   std::atomic<int32_t>; a number the field cannot hold counts as absent
//   Name  a string handed out as SharedString through field() and
//         setField(); a default of nullptr means none chosen
// A stored value without a reading of its type counts as absent and gives
// the default. `Field` names the setter of a Name.
#define PLINTHORA_SETTINGS(X)                                                                                      \
    X(Bool, ssShellEnabled, SsShellEnabled, "sr_ssShellEnabled", true, "PSSwitchCell", "截图套壳")                 \
    X(Bool, ssWatermarkEnabled, SsWatermarkEnabled, "sr_ssWatermarkEnabled", false, "PSSwitchCell", "截图水印")    \
    X(Bool, recShellEnabled, RecShellEnabled, "sr_recShellEnabled", true, "PSSwitchCell", "录屏套壳")              \
    X(Bool, recWatermarkEnabled, RecWatermarkEnabled, "sr_recWatermarkEnabled", false, "PSSwitchCell", "录屏水印") \
    X(Name, selectedShell, SelectedShell, "sr_selectedShell", nullptr, "PSTitleValueCell", "套壳素材")             \
    X(Bool, randomShell, RandomShell, "sr_randomShell", false, "PSSwitchCell", "随机套壳")                         \
    X(Name, selectedWatermark, SelectedWatermark, "sr_selectedWatermark", nullptr, "PSTitleValueCell", "水印素材") \
    X(Bool, randomWatermark, RandomWatermark, "sr_randomWatermark", false, "PSSwitchCell", "随机水印")             \
    X(Real, watermarkOpacity, WatermarkOpacity, "sr_watermarkOpacity", 1.0, "PSSliderCell", "不透明度")            \
    X(Int, watermarkMode, WatermarkMode, "sr_watermarkMode", 1, "PSSegmentCell", "水印范围")                       \
    X(Name, watermarkBlendMode, WatermarkBlendMode, "sr_watermarkBlendMode", kBlendNormal, "PSLinkListCell",       \
      "混合模式")                                                                                                  \
    X(Bool, vibrationEnabled, VibrationEnabled, "sr_vibrationEnabled", true, "PSSwitchCell", "完成提示音")         \
    X(Bool, deleteOriginal, DeleteOriginal, "sr_deleteOriginal", false, "PSSwitchCell", "删除原图")                \
    X(Bool, saveToClipboard, SaveToClipboard, "sr_saveToClipboard", false, "PSSwitchCell", "保存到剪贴板")

enum class SettingType { Bool, Real, Int, Name };

// The list as data, for the checks that walk it.
struct SettingSpec {
    const char* key;
    SettingType type;
    double number;     // the default of a Bool (0 or 1), Real or Int
    const char* name;  // the default of a Name (nullptr: none)
    const char* cell;
    const char* label;
};

#define PLINTHORA_SETTING_NUMBER_Bool(def) ((def) ? 1.0 : 0.0)
#define PLINTHORA_SETTING_NUMBER_Real(def) double(def)
#define PLINTHORA_SETTING_NUMBER_Int(def) double(def)
#define PLINTHORA_SETTING_NUMBER_Name(def) 0.0
#define PLINTHORA_SETTING_NAME_Bool(def) nullptr
#define PLINTHORA_SETTING_NAME_Real(def) nullptr
#define PLINTHORA_SETTING_NAME_Int(def) nullptr
#define PLINTHORA_SETTING_NAME_Name(def) def
#define PLINTHORA_SETTING_SPEC(type, field, Field, key, def, cell, label) \
    SettingSpec{                                                          \
        key, SettingType::type, PLINTHORA_SETTING_NUMBER_##type(def), PLINTHORA_SETTING_NAME_##type(def), cell, label},

inline constexpr SettingSpec kSettingsSchema[] = {PLINTHORA_SETTINGS(PLINTHORA_SETTING_SPEC)};
inline constexpr std::size_t kSettingsCount = sizeof kSettingsSchema / sizeof kSettingsSchema[0];

}  // namespace plinthora
