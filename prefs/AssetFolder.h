// The asset folders as the settings page and the picker see them.
#pragma once

#include <QString>
#include <QStringList>

namespace plinthora {
class FileSystem;
}

namespace plinthora::prefs {

inline constexpr const char* kShellFolder = "/var/mobile/Ozrin/套壳素材";
inline constexpr const char* kWatermarkFolder = "/var/mobile/Ozrin/水印素材";
inline constexpr const char* kAssetRoot = "/var/mobile/Ozrin";
inline constexpr const char* kNoAssets = "无可用素材";

// A name counts as an image when, lower-cased, it ends with ".png", ".jpg"
// or ".jpeg"; nothing else about the entry is checked.
bool isImageName(const QString& name);

// Creates the (device) folder, lists it (an unreadable folder lists as
// empty) and returns the image names, sorted by the user's language
// without regard to case.
QStringList listImageNames(FileSystem& fs, const std::string& deviceFolder);

// Sorts in place, by the user's language, ignoring case.
void sortByLocale(QStringList& names);

}  // namespace plinthora::prefs
