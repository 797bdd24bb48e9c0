#include "platform/linux/Translations.h"

#include "platform/ports/Platform.h"

#include <QCoreApplication>
#include <QDir>
#include <QLocale>
#include <QTranslator>

namespace plinthora::linux_platform {

bool prefersChineseTexts() {
    const QStringList languages = QLocale::system().uiLanguages();
    return !languages.isEmpty() && languages.first().startsWith(QLatin1String("zh"));
}

bool installTranslation() {
    static bool installed = false;
    if (installed || prefersChineseTexts() || !QCoreApplication::instance()) return installed;
    QStringList folders;
    if (const QString env = qEnvironmentVariable("PLINTHORA_TRANSLATIONS"); !env.isEmpty()) folders << env;
    folders << QCoreApplication::applicationDirPath() + "/../share/plinthora/translations";
#ifdef PLINTHORA_BUILD_TRANSLATIONS_DIR
    folders << QStringLiteral(PLINTHORA_BUILD_TRANSLATIONS_DIR);
#endif
    for (const QString& folder : folders) {
        auto* translator = new QTranslator(QCoreApplication::instance());
        if (translator->load(QStringLiteral("plinthora_en"), folder)) {
            QCoreApplication::installTranslator(translator);
            debugLog("texts in English from %s", qPrintable(QDir(folder).absolutePath()));
            return installed = true;
        }
        delete translator;
    }
    debugLog("no English translation found; texts stay Chinese");
    return false;
}

}  // namespace plinthora::linux_platform
