// The desktop's language for our texts. They are written in Chinese, which
// is what a Chinese locale shows; under any other locale the English
// translation (plinthora_en.qm) is installed for the process.
#pragma once

#include <QString>

namespace plinthora::linux_platform {

// True when the user's language for messages is Chinese (LANGUAGE,
// LC_ALL, LC_MESSAGES, LANG, as the C library reads them).
bool prefersChineseTexts();

// Installs the English translation once per process unless Chinese is
// preferred. The file is looked for in PLINTHORA_TRANSLATIONS (a folder),
// beside an installed program (../share/plinthora/translations), then in
// the build tree. False when no translation was installed.
bool installTranslation();

}  // namespace plinthora::linux_platform
