#include "prefs/AssetFolder.h"

#include "platform/ports/Ports.h"
#include "prefs/framework/PSSpecifier.h"

#include <QCollator>

#include <algorithm>

namespace plinthora::prefs {

bool isImageName(const QString& name) {
    const QString lower = name.toLower();
    return lower.endsWith(".png") || lower.endsWith(".jpg") || lower.endsWith(".jpeg");
}

void sortByLocale(QStringList& names) {
    QCollator collator;
    collator.setCaseSensitivity(Qt::CaseInsensitive);
    std::stable_sort(names.begin(), names.end(),
                     [&](const QString& a, const QString& b) { return collator.compare(a, b) < 0; });
}

QStringList listImageNames(FileSystem& fs, const std::string& deviceFolder) {
    fs.createDirectories(deviceFolder);
    QStringList names;
    for (const std::string& entry : fs.listDirectory(deviceFolder).value_or(std::vector<std::string>{})) {
        const QString name = textFromBytes(entry);
        if (isImageName(name)) names << name;
    }
    sortByLocale(names);
    return names;
}

}  // namespace plinthora::prefs
