// Every preference, once: its key, its field in SRSettings, its type, its
// default and the row of the settings page that edits it (cell, label, and
// what else the row carries: a slider's range, a choice's titles and
// values), with the page's groups, footers and buttons around them in the
// page's order. SRSettings and SRSettings::apply are generated from this
// list, and the settings page test holds prefs/Root.plist to it row by row,
// property by property (a row or a property missing on either side fails),
// so a key cannot be half added. The page itself reads only Root.plist.
//
// Header only, no dependencies: the settings page and its tests read it
// without linking the tweak.
#pragma once

#include <cstddef>
#include <span>

namespace plinthora {

// The watermark's blend names, as stored and as the page shows them.
inline constexpr const char* kBlendNormal = "正常";
inline constexpr const char* kBlendScreen = "滤色";
inline constexpr const char* kBlendOverlay = "叠加";
inline constexpr const char* kBlendSoftLight = "柔光";
inline constexpr const char* kBlendGaussian = "高斯模糊";

// One value a choice row offers: its title on the page, and what is stored
// (the number of an Int, the name of a Name).
struct SettingChoice {
    const char* title;
    double number;
    const char* name;
};

// The stored numbers are SRWatermarkMode's (the tweak holds them equal).
inline constexpr SettingChoice kWatermarkModes[] = {{"满铺画布", 1, nullptr}, {"画面区域", 2, nullptr}};
inline constexpr SettingChoice kBlendModes[] = {{kBlendNormal, 0, kBlendNormal},
                                                {kBlendScreen, 0, kBlendScreen},
                                                {kBlendOverlay, 0, kBlendOverlay},
                                                {kBlendSoftLight, 0, kBlendSoftLight},
                                                {kBlendGaussian, 0, kBlendGaussian}};

// What a setting's row carries besides its key, cell, label and default.
struct SettingRow {
    const char* cellClass = nullptr;  // a cell of the bundle's own in place of the cell's
    bool keyIsId = false;             // found by its key as "id" (the rows the page fills in)
    bool ranged = false;              // a slider from min to max
    double min = 0, max = 0;
    std::span<const SettingChoice> choices = {};  // "validTitles" and "validValues"
};

inline constexpr SettingRow kPlainRow{};
inline constexpr SettingRow kAssetRow{.keyIsId = true};
inline constexpr SettingRow kOpacityRow{.cellClass = "SRPSliderCell", .ranged = true, .min = 0.0, .max = 1.0};
inline constexpr SettingRow kWatermarkModeRow{.choices = kWatermarkModes};
inline constexpr SettingRow kBlendModeRow{.choices = kBlendModes};

// The page, row by row:
//   G(label, footer)  a group's header and the text under it (nullptr: none)
//   X(type, field, Field, key, default, cell, label, row)  a setting and its row
//   B(label, action)  a button and the page's method it calls
// X's type:
//   Bool  std::atomic<bool>; numbers and "YES"/"true"-like strings read too
//   Real  std::atomic<float>, from any number or a string's leading decimal
//   Int   std::atomic<int32_t>; a number the field cannot hold counts as absent
//   Name  a string handed out as SharedString through field() and
//         setField(); a default of nullptr means none chosen
// A stored value without a reading of its type counts as absent and gives
// the default. `Field` names the setter of a Name.
#define PLINTHORA_SETTINGS_PAGE(G, X, B)                                                                              \
    G("截图", "截图保存后自动套壳，并可叠加水印。")                                                                   \
    X(Bool, ssShellEnabled, SsShellEnabled, "sr_ssShellEnabled", true, "PSSwitchCell", "截图套壳", kPlainRow)         \
    X(Bool, ssWatermarkEnabled, SsWatermarkEnabled, "sr_ssWatermarkEnabled", false, "PSSwitchCell", "截图水印",       \
      kPlainRow)                                                                                                      \
    G("录屏", "录屏结束后以 30 帧重新编码并套壳。")                                                                   \
    X(Bool, recShellEnabled, RecShellEnabled, "sr_recShellEnabled", true, "PSSwitchCell", "录屏套壳", kPlainRow)      \
    X(Bool, recWatermarkEnabled, RecWatermarkEnabled, "sr_recWatermarkEnabled", false, "PSSwitchCell", "录屏水印",    \
      kPlainRow)                                                                                                      \
    G("素材", nullptr)                                                                                                \
    X(Name, selectedShell, SelectedShell, "sr_selectedShell", nullptr, "PSTitleValueCell", "套壳素材", kAssetRow)     \
    X(Bool, randomShell, RandomShell, "sr_randomShell", false, "PSSwitchCell", "随机套壳", kPlainRow)                 \
    X(Name, selectedWatermark, SelectedWatermark, "sr_selectedWatermark", nullptr, "PSTitleValueCell", "水印素材",    \
      kAssetRow)                                                                                                      \
    X(Bool, randomWatermark, RandomWatermark, "sr_randomWatermark", false, "PSSwitchCell", "随机水印", kPlainRow)     \
    G("水印", nullptr)                                                                                                \
    X(Real, watermarkOpacity, WatermarkOpacity, "sr_watermarkOpacity", 1.0, "PSSliderCell", "不透明度", kOpacityRow)  \
    X(Int, watermarkMode, WatermarkMode, "sr_watermarkMode", 1, "PSSegmentCell", "水印范围", kWatermarkModeRow)       \
    X(Name, watermarkBlendMode, WatermarkBlendMode, "sr_watermarkBlendMode", kBlendNormal, "PSLinkListCell",          \
      "混合模式", kBlendModeRow)                                                                                      \
    G("完成后", nullptr)                                                                                              \
    X(Bool, vibrationEnabled, VibrationEnabled, "sr_vibrationEnabled", true, "PSSwitchCell", "完成提示音", kPlainRow) \
    X(Bool, deleteOriginal, DeleteOriginal, "sr_deleteOriginal", false, "PSSwitchCell", "删除原图", kPlainRow)        \
    X(Bool, saveToClipboard, SaveToClipboard, "sr_saveToClipboard", false, "PSSwitchCell", "保存到剪贴板", kPlainRow) \
    G("帮助", "素材放在 ~/Ozrin 下的 套壳素材、横屏素材 与 水印素材 文件夹中。")                                      \
    B("打开素材文件夹", "openAssetsDirectory")                                                                        \
    B("使用说明", "showUsageInstructions")                                                                            \
    B("项目主页", "openSileoRepo")                                                                                    \
    B("频道", "openTelegramChannel")                                                                                  \
    B("交流群", "openQQGroup")

// The settings alone, in the page's order.
#define PLINTHORA_SETTINGS_NO_ROW(...)
#define PLINTHORA_SETTINGS(X) PLINTHORA_SETTINGS_PAGE(PLINTHORA_SETTINGS_NO_ROW, X, PLINTHORA_SETTINGS_NO_ROW)

enum class SettingType { Bool, Real, Int, Name };

// The list as data, for the checks that walk it.
struct SettingSpec {
    const char* key;
    SettingType type;
    double number;     // the default of a Bool (0 or 1), Real or Int
    const char* name;  // the default of a Name (nullptr: none)
    const char* cell;
    const char* label;
    SettingRow row;
};

#define PLINTHORA_SETTING_NUMBER_Bool(def) ((def) ? 1.0 : 0.0)
#define PLINTHORA_SETTING_NUMBER_Real(def) double(def)
#define PLINTHORA_SETTING_NUMBER_Int(def) double(def)
#define PLINTHORA_SETTING_NUMBER_Name(def) 0.0
#define PLINTHORA_SETTING_NAME_Bool(def) nullptr
#define PLINTHORA_SETTING_NAME_Real(def) nullptr
#define PLINTHORA_SETTING_NAME_Int(def) nullptr
#define PLINTHORA_SETTING_NAME_Name(def) def
#define PLINTHORA_SETTING_SPEC(type, field, Field, key, def, cell, label, row)                                         \
    SettingSpec{                                                                                                       \
        key, SettingType::type, PLINTHORA_SETTING_NUMBER_##type(def), PLINTHORA_SETTING_NAME_##type(def), cell, label, \
        row},

inline constexpr SettingSpec kSettingsSchema[] = {PLINTHORA_SETTINGS(PLINTHORA_SETTING_SPEC)};
inline constexpr std::size_t kSettingsCount = sizeof kSettingsSchema / sizeof kSettingsSchema[0];

// The page as data: every row in order, a setting's by its key.
struct PageRow {
    const char* cell;
    const char* label;
    const char* footer;  // a group's (nullptr: none)
    const char* key;     // a setting's, in kSettingsSchema
    const char* action;  // a button's
};

#define PLINTHORA_PAGE_GROUP(label, footer) PageRow{"PSGroupCell", label, footer, nullptr, nullptr},
#define PLINTHORA_PAGE_SETTING(type, field, Field, key, def, cell, label, row) \
    PageRow{cell, label, nullptr, key, nullptr},
#define PLINTHORA_PAGE_BUTTON(label, action) PageRow{"PSButtonCell", label, nullptr, nullptr, action},

inline constexpr PageRow kSettingsPage[] = {
    PLINTHORA_SETTINGS_PAGE(PLINTHORA_PAGE_GROUP, PLINTHORA_PAGE_SETTING, PLINTHORA_PAGE_BUTTON)};

}  // namespace plinthora
