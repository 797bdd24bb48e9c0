#include "prefs/PlinthoraRootListController.h"

#include "prefs/AssetFolder.h"
#include "prefs/PrefsEnvironment.h"
#include "prefs/SRPSliderCell.h"
#include "prefs/ShellImageSelector.h"
#include "prefs/UrlOpener.h"

#include <QCoreApplication>
#include <QFileInfo>
#include <QFileSystemWatcher>
#include <QLabel>
#include <QMessageBox>
#include <QPushButton>

#include <cmath>
#include <optional>

namespace plinthora::prefs {

namespace {

constexpr const char* kShellRow = "sr_selectedShell";
constexpr const char* kWatermarkRow = "sr_selectedWatermark";
constexpr const char* kSaveFailedAlert = "saveFailedAlert";

// A text of the page in the user's language.
QString said(const char* text) { return QCoreApplication::translate("Settings", text); }

QString textOf(const Value& v) { return v.isString() ? textFromBytes(v.asString()) : QString(); }

}  // namespace

PlinthoraRootListController::PlinthoraRootListController(QWidget* parent) : PSListController(parent) {
    registerCellClass("SRPSliderCell", [](const SpecifierPtr& s) { return new SRPSliderCell(s); });
    // A writer's rename and the folder's change come as separate events.
    reread_.setSingleShot(true);
    reread_.setInterval(50);
    connect(&reread_, &QTimer::timeout, this, &PlinthoraRootListController::preferencesFileChanged);
}

void PlinthoraRootListController::followPreferencesFile() {
    if (watcher_) return;
    const PrefsEnvironment& env = PrefsEnvironment::current();
    const QString file = QString::fromStdString(env.fs->realPath(kPreferencesPath));
    // The folder too: an atomic write replaces the file, and a watch on the
    // old one ends with it.
    const std::string device = kPreferencesPath;
    env.fs->createDirectories(device.substr(0, device.rfind('/')));
    watcher_ = new QFileSystemWatcher(this);
    watcher_->addPath(QFileInfo(file).path());
    if (QFileInfo::exists(file)) watcher_->addPath(file);
    auto changed = [this] { reread_.start(); };
    connect(watcher_, &QFileSystemWatcher::fileChanged, this, changed);
    connect(watcher_, &QFileSystemWatcher::directoryChanged, this, changed);
    rememberFile();
}

void PlinthoraRootListController::rememberFile() { seen_ = readPreferencesFile(PrefsEnvironment::current()); }

void PlinthoraRootListController::preferencesFileChanged() {
    const PrefsEnvironment& env = PrefsEnvironment::current();
    const QString file = QString::fromStdString(env.fs->realPath(kPreferencesPath));
    if (QFileInfo::exists(file) && !watcher_->files().contains(file)) watcher_->addPath(file);
    const Value now = readPreferencesFile(env);
    const Value before = seen_;
    seen_ = now;
    for (const SpecifierPtr& s : specifiers_) {
        const std::string key = s->stringProperty("key");
        if (key.empty()) continue;
        const Value* a = before.find(key);
        const Value* b = now.find(key);
        if ((!a && !b) || (a && b && *a == *b)) continue;
        const std::string id = s->identifier();
        if (id == kShellRow)
            updateShellImages();
        else if (id == kWatermarkRow)
            updateWatermarkImages();
        else
            reloadSpecifier(s.get());
    }
}

std::vector<SpecifierPtr>& PlinthoraRootListController::specifiers() {
    if (!specifiers_.empty()) return specifiers_;
    specifiers_ = loadSpecifiersFromPlistName("Root", this);
    updateShellImages();
    updateWatermarkImages();
    return specifiers_;
}

void PlinthoraRootListController::viewWillAppear(bool animated) {
    PSListController::viewWillAppear(animated);
    followPreferencesFile();
    updateShellImages();
    updateWatermarkImages();
    updateAssetDisplay(kShellRow, getPreferenceValueForKey(kShellRow));
    updateAssetDisplay(kWatermarkRow, getPreferenceValueForKey(kWatermarkRow));
}

Value PlinthoraRootListController::readPreferenceValue(PSSpecifier* specifier) {
    const Value prefs = readPreferencesFile(PrefsEnvironment::current());
    const Value* v = prefs.find(specifier->stringProperty("key"));
    // A NaN or an infinity is no setting anyone chose: the row's default
    // stands in for it, as for a value that is missing.
    if (v && !((v->isNumber() || v->isString()) && !std::isfinite(valueAsReal(*v)))) return *v;
    const Value* def = specifier->propertyForKey("default");
    return def ? *def : Value();
}

void PlinthoraRootListController::setPreferenceValue(const Value& value, PSSpecifier* specifier) {
    const PrefsEnvironment& env = PrefsEnvironment::current();
    const WriteOutcome written = writePreferencesKey(env, specifier->stringProperty("key"), value);
    rememberFile();
    if (const std::string note = specifier->stringProperty("PostNotification"); !note.empty()) env.notify->post(note);
    const std::string id = specifier->identifier();
    if (id == kShellRow || id == kWatermarkRow) updateAssetDisplay(id, value);
    if (!written.ok) reportFailedWrite(specifier, written.reason);
}

void PlinthoraRootListController::reportFailedWrite(PSSpecifier* specifier, const QString& reason) {
    // The row already shows the new value; it must not claim a change that
    // was never saved. A slider fails on every step of a drag: one alert.
    const std::string id = specifier ? specifier->identifier() : std::string();
    if (id == kShellRow || id == kWatermarkRow)
        updateAssetDisplay(id, getPreferenceValueForKey(id));
    else if (specifier)
        reloadSpecifier(specifier);
    for (QMessageBox* open : findChildren<QMessageBox*>(kSaveFailedAlert))
        if (open->isVisible()) return;
    QMessageBox* box = makeAlert(said("无法保存设置"), said("设置未能写入偏好设置文件：%1").arg(reason));
    box->setObjectName(kSaveFailedAlert);
    box->open();
}

Value PlinthoraRootListController::getPreferenceValueForKey(const std::string& key) {
    const Value prefs = readPreferencesFile(PrefsEnvironment::current());
    const Value* v = prefs.find(key);
    return v ? *v : Value::string("");
}

void PlinthoraRootListController::updateAssetRow(const char* identifier, const char* folder) {
    const QStringList names = listImageNames(*PrefsEnvironment::current().fs, folder);
    const Value stored = getPreferenceValueForKey(identifier);
    updateAssetDisplay(identifier, names.isEmpty() ? Value::string(kNoAssets) : stored);
}

void PlinthoraRootListController::updateShellImages() { updateAssetRow(kShellRow, kShellFolder); }

void PlinthoraRootListController::updateWatermarkImages() { updateAssetRow(kWatermarkRow, kWatermarkFolder); }

void PlinthoraRootListController::updateAssetDisplay(const std::string& identifier, const Value& name) {
    PSSpecifier* specifier = specifierForID(identifier);
    if (!specifier) return;
    specifier->setProperty("value", name.isNull() ? Value::string(kNoAssets) : name);
    reloadSpecifier(specifier);
}

void PlinthoraRootListController::didSelectRowAtIndexPath(int row) {
    PSTableCell* cell = cellForRow(row);
    const std::string id = cell ? cell->specifier()->identifier() : std::string();
    if (id == kShellRow || id == kWatermarkRow) {
        const bool shell = id == kShellRow;
        ShellImageSelector::presentFromViewController(this, shell ? kShellFolder : kWatermarkFolder,
                                                      textOf(getPreferenceValueForKey(id)),
                                                      [this, id](const QString* name) { pickerCompletion(id, name); });
        return;
    }
    PSListController::didSelectRowAtIndexPath(row);
}

void PlinthoraRootListController::pickerCompletion(const std::string& key, const QString* name) {
    if (!name) return;
    const Value value = Value::string(bytesFromText(*name));
    updateAssetDisplay(key, value);
    const PrefsEnvironment& env = PrefsEnvironment::current();
    const WriteOutcome written = writePreferencesKey(env, key, value);
    rememberFile();
    env.notify->post(kPreferencesChanged);
    if (!written.ok) reportFailedWrite(specifierForID(key), written.reason);
}

QMessageBox* PlinthoraRootListController::makeAlert(const QString& title, const QString& message) {
    auto* box = new QMessageBox(QMessageBox::NoIcon, title, message, QMessageBox::NoButton, this);
    box->setAttribute(Qt::WA_DeleteOnClose);
    box->addButton(said("好的"), QMessageBox::RejectRole);
    return box;
}

void PlinthoraRootListController::showAlert(const QString& title, const QString& message) {
    makeAlert(title, message)->open();
}

void PlinthoraRootListController::openURL(const QUrl& url) {
    UrlOpener* urls = PrefsEnvironment::current().urls;
    if (url.isEmpty() || !url.isValid() || !urls->canOpenURL(url)) {
        showAlert(said("无法打开链接"), said("请检查网络连接或尝试手动打开。"));
        return;
    }
    urls->openURL(url);
}

void PlinthoraRootListController::openSileoRepo() { openURL(QUrl(QStringLiteral(PLINTHORA_REPO_URL))); }

void PlinthoraRootListController::openTelegramChannel() { openURL(QUrl(QStringLiteral(PLINTHORA_CHANNEL_URL))); }

void PlinthoraRootListController::openQQGroup() {
    const QUrl url(QStringLiteral(PLINTHORA_GROUP_URL));
    UrlOpener* urls = PrefsEnvironment::current().urls;
    if (url.isValid() && urls->canOpenURL(url))
        urls->openURL(url);
    else
        showAlert(said("无法打开QQ"), said("请确认已安装QQ客户端。"));
}

void PlinthoraRootListController::openAssetsDirectory() {
    PrefsEnvironment::current().fs->createDirectories(kAssetRoot);
    // Percent-encoded with the characters a URL path may hold as they are.
    const QByteArray path = QUrl::toPercentEncoding(QString::fromUtf8(kAssetRoot), "/!$&'()*+,;=:@");
    const QUrl url(QStringLiteral("filza://view%1").arg(QString::fromLatin1(path)), QUrl::StrictMode);
    UrlOpener* urls = PrefsEnvironment::current().urls;
    if (url.isValid() && urls->canOpenURL(url)) {
        urls->openURL(url);
        return;
    }
    // The desktop's file manager, and the folder where it really is.
    const QString root = QString::fromStdString(PrefsEnvironment::current().fs->realPath(kAssetRoot));
    showAlert(said("无法打开文件管理器"), said("请确认已安装文件管理器，或手动前往 %1 查看素材").arg(root));
}

QString PlinthoraRootListController::usageInstructions() {
    // Line by line, so each line is translated on its own; the folders are
    // shown where they really are.
    static const char* const lines[] = {
        "",
        "📂 素材路径说明：",
        "1. 套壳素材：/var/mobile/Ozrin/套壳素材/",
        "   - 需包含 .png 图片和同名的 .cfg 配置文件。",
        "2. 横屏素材：/var/mobile/Ozrin/横屏素材/",
        "   - 专门用于存放横屏截图/视频的专属套壳。",
        "3. 水印素材：/var/mobile/Ozrin/水印素材/",
        "   - 支持 .png, .jpg, .jpeg 格式。",
        "",
        "🎬 使用方式：",
        "• 开启开关后，正常使用截图或录屏，效果将自动应用。",
        "• 🔄 横屏支持：若检测到横屏内容，优先使用“横屏素材”文件夹中的素材；若该目录为空，则不应用套壳。"
        "建议为常用模型准备 16:9 的专属 PNG+CFG。",
        "• 满铺画布：水印相对于整张套壳后的画布居中。",
        "• 画面区域：水印仅相对于视频/截图内容区域居中。",
        "",
        "💡 提示：",
        "• 若开启“保存到剪贴板”，截图处理后将直接进入剪贴板（不再重复保存到相册原图）。",
        "• 若采用手势截图，请使用系统截图。",
        "• 若修改设置后未生效，请尝试重新截图或开启/关闭一次功能开关。",
    };
    QStringList text;
    for (const char* line : lines) text << (*line ? said(line) : QString());
    const QString root = QString::fromStdString(PrefsEnvironment::current().fs->realPath(kAssetRoot));
    return text.join(QLatin1Char('\n')).replace(QString::fromUtf8(kAssetRoot) + "/", root + "/");
}

void PlinthoraRootListController::showUsageInstructions() {
    auto* box =
        new QMessageBox(QMessageBox::NoIcon, said("📖 使用说明"), usageInstructions(), QMessageBox::NoButton, this);
    box->setAttribute(Qt::WA_DeleteOnClose);
    box->setTextFormat(Qt::PlainText);
    // Left-aligned, in the system font at size 13.
    if (auto* label = box->findChild<QLabel*>("qt_msgbox_label")) {
        label->setAlignment(Qt::AlignLeft | Qt::AlignTop);
        QFont f = label->font();
        f.setPixelSize(13);
        label->setFont(f);
    }
    box->addButton(said("我知道了"), QMessageBox::AcceptRole);
    box->open();
}

}  // namespace plinthora::prefs
