#include "prefs/Bundle.h"

#include "prefs/PlinthoraRootListController.h"
#include "prefs/ShellImageSelector.h"
#include "prefs/framework/MemoryWarning.h"
#include "prefs/framework/PSTableCell.h"
#include "platform/linux/Translations.h"

#include <QDialog>

#include <cstring>

using namespace plinthora::prefs;

QWidget* PlinthoraPrefsCreateController(const char* className, const char* bundlePath) {
    if (std::strcmp(className, "PlinthoraRootListController") != 0) return nullptr;
    // The page speaks the desktop's language from its first row on.
    plinthora::linux_platform::installTranslation();
    auto* controller = new PlinthoraRootListController;
    controller->setBundlePath(QString::fromUtf8(bundlePath));
    return controller;
}

void PlinthoraPrefsPostMemoryWarning() { MemoryWarningCenter::instance().post(); }

QWidget* PlinthoraPrefsOpenPicker(QWidget* controller, const char* which) {
    auto* page = qobject_cast<PlinthoraRootListController*>(controller);
    if (!page) return nullptr;
    const std::string id = std::strcmp(which, "watermark") == 0 ? "sr_selectedWatermark" : "sr_selectedShell";
    page->viewWillAppear(false);
    page->didSelectRowAtIndexPath(page->rowForSpecifier(page->specifierForID(id)));
    const auto dialogs = page->findChildren<QDialog*>("ShellImageSelectorNavigation");
    return dialogs.isEmpty() ? nullptr : dialogs.last();
}

bool PlinthoraPrefsPickerSettled(QWidget* pickerWindow) {
    auto* picker = pickerWindow ? pickerWindow->findChild<ShellImageSelector*>() : nullptr;
    return picker && picker->imageLoadingOperations().empty();
}
