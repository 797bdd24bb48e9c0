// The one settings page: every row reads and writes the preferences file,
// the two asset rows show the chosen file names and open the picker, and
// the action rows open the asset folder, the usage text and three links.
#pragma once

#include "prefs/framework/PSListController.h"

#include <QTimer>
#include <QUrl>

class QFileSystemWatcher;
class QMessageBox;

namespace plinthora::prefs {

class PlinthoraRootListController : public PSListController {
    Q_OBJECT
public:
    explicit PlinthoraRootListController(QWidget* parent = nullptr);

    std::vector<SpecifierPtr>& specifiers() override;
    void viewWillAppear(bool animated) override;
    Value readPreferenceValue(PSSpecifier* specifier) override;
    void setPreferenceValue(const Value& value, PSSpecifier* specifier) override;
    void didSelectRowAtIndexPath(int row) override;

    // The stored value, or "" when there is none; never nil.
    Value getPreferenceValueForKey(const std::string& key);
    void updateShellImages();
    void updateWatermarkImages();
    // Shows `name` (or the placeholder when null) in the asset row.
    void updateAssetDisplay(const std::string& identifier, const Value& name);
    void showAlert(const QString& title, const QString& message);
    void openURL(const QUrl& url);

    // The text the usage row shows.
    static QString usageInstructions();

public slots:
    void openSileoRepo();
    void openTelegramChannel();
    void openQQGroup();
    void openAssetsDirectory();
    void showUsageInstructions();

private:
    // The page shows what the file holds, also when another program (or
    // another window) changed it.
    void followPreferencesFile();
    void preferencesFileChanged();
    // What the file held when last looked at; our own writes update it, so
    // only changes made elsewhere rebuild rows.
    void rememberFile();

    QFileSystemWatcher* watcher_ = nullptr;
    QTimer reread_;
    Value seen_;

    void updateAssetRow(const char* identifier, const char* folder);
    void pickerCompletion(const std::string& key, const QString* name);
    void reportFailedWrite(PSSpecifier* specifier, const QString& reason);
    QMessageBox* makeAlert(const QString& title, const QString& message);
};

}  // namespace plinthora::prefs
