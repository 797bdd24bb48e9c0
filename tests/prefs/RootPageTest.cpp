// The settings page over real files and the real session bus.
#include "PrefsTestSupport.h"

#include "prefs/AssetFolder.h"
#include "prefs/SRPSliderCell.h"
#include "prefs/ShellImageSelector.h"
#include "tweak/settings/SettingsSchema.h"

#include <QComboBox>
#include <QDBusAbstractAdaptor>
#include <QDBusConnectionInterface>
#include <QLabel>
#include <QApplication>
#include <QPushButton>
#include <QRegularExpression>
#include <QTranslator>
#include <QScrollArea>
#include <QScrollBar>
#include <QWheelEvent>
#include <QtTest/qtestspontaneevent.h>
#include <QToolButton>

#include <linux/capability.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <csignal>
#include <set>

namespace plinthora::prefs::testing {
namespace {

constexpr const char* kNote = "com.ozrin.plinthora/preferencesChanged";

using RootPageTest = PrefsFixture;

QString shownValue(PSTableCell* cell) {
    auto* row = dynamic_cast<PSTitleValueCell*>(cell);
    return row ? row->valueLabel()->text() : QStringLiteral("<no value cell>");
}

QDialog* openPicker(PlinthoraRootListController& page) {
    const auto dialogs = page.findChildren<QDialog*>("ShellImageSelectorNavigation");
    return dialogs.isEmpty() ? nullptr : dialogs.last();
}

// The row the settings list describes, as Root.plist must spell it.
Value::Dict rowOfTheList(const PageRow& r) {
    Value::Dict row = {{"cell", Value::string(r.cell)}, {"label", Value::string(r.label)}};
    if (r.footer) row["footerText"] = Value::string(r.footer);
    if (r.action) row["action"] = Value::string(r.action);
    if (!r.key) return row;
    const SettingSpec* spec = nullptr;
    for (const SettingSpec& s : kSettingsSchema)
        if (std::string(s.key) == r.key) spec = &s;
    if (!spec) return {};
    const auto stored = [&](double number, const char* name) {
        switch (spec->type) {
        case SettingType::Bool: return Value::boolean(number != 0);
        case SettingType::Real: return Value::real(number);
        case SettingType::Int: return Value::integer(static_cast<int64_t>(number));
        case SettingType::Name: break;
        }
        return Value::string(name);
    };
    row["key"] = Value::string(r.key);
    row["PostNotification"] = Value::string(kNote);
    if (spec->type != SettingType::Name || spec->name) row["default"] = stored(spec->number, spec->name);
    if (spec->row.cellClass) row["cellClass"] = Value::string(spec->row.cellClass);
    if (spec->row.keyIsId) row["id"] = Value::string(r.key);
    if (spec->row.ranged) {
        row["min"] = Value::real(spec->row.min);
        row["max"] = Value::real(spec->row.max);
    }
    if (!spec->row.choices.empty()) {
        Value::Array titles, values;
        for (const SettingChoice& c : spec->row.choices) {
            titles.push_back(Value::string(c.title));
            values.push_back(stored(c.number, c.name));
        }
        row["validTitles"] = Value::array(titles);
        row["validValues"] = Value::array(values);
    }
    return row;
}

TEST_F(RootPageTest, EveryRowIsTheSettingsListsAndAKeysRowShowsTheTweaksDefaultWhileTheFileHoldsNone) {
    // Root.plist, as the bundle ships it, is the page the settings list
    // describes: the same rows in the same order, each with the same
    // properties (a slider's range, a choice's titles and values, a group's
    // footer), none missing, none more.
    const auto bytes = mediatest::readFile(PLINTHORA_BINARY_DIR "/prefs/PlinthoraPrefs.bundle/Root.plist");
    ASSERT_TRUE(bytes);
    const std::optional<Value> root = plist_.parse(bytes->toStdString());
    ASSERT_TRUE(root && root->find("items") && root->find("items")->isArray());
    const Value::Array& rows = root->find("items")->asArray();
    EXPECT_EQ(rows.size(), std::size(kSettingsPage));
    for (std::size_t i = 0; i < std::min(rows.size(), std::size(kSettingsPage)); ++i) {
        SCOPED_TRACE("row " + std::to_string(i) + ", " + kSettingsPage[i].label);
        ASSERT_TRUE(rows[i].isDict());
        const Value::Dict& got = rows[i].asDict();
        const Value::Dict want = rowOfTheList(kSettingsPage[i]);
        std::set<std::string> names;
        for (const auto& [name, v] : got) names.insert(name);
        for (const auto& [name, v] : want) names.insert(name);
        for (const std::string& name : names) {
            const auto g = got.find(name), w = want.find(name);
            EXPECT_TRUE(g != got.end() && w != want.end() && g->second == w->second)
                << name << ": Root.plist has " << (g == got.end() ? "none" : plist_.toXml(g->second))
                << "; the list has " << (w == want.end() ? "none" : plist_.toXml(w->second));
        }
    }
    // What the page made of it: a row for every key.
    for (const SettingSpec& spec : kSettingsSchema) {
        const std::string key = spec.key;
        SCOPED_TRACE(key);
        PSSpecifier* s = page().specifierForID(key);
        ASSERT_NE(s, nullptr) << "no row for the key";
        EXPECT_EQ(s->stringProperty("key"), key);
        if (spec.type == SettingType::Name && !spec.name) continue;  // nothing is chosen until the user chooses
        // What the row shows with no file at all.
        PSTableCell* cell = cellFor(key);
        if (auto* sw = dynamic_cast<PSSwitchCell*>(cell)) {
            EXPECT_EQ(sw->control()->isOn(), spec.number != 0);
        } else if (auto* slider = dynamic_cast<SRPSliderCell*>(cell)) {
            EXPECT_EQ(slider->valueLabel()->text(), QString::number(spec.number, 'f', 2));
        } else if (auto* choice = dynamic_cast<PSChoiceCell*>(cell)) {
            EXPECT_EQ(choice->currentIndex(), 0);
        } else {
            ADD_FAILURE() << "no value cell";
        }
    }
    EXPECT_FALSE(QFileInfo::exists(prefsFile())) << "showing the page wrote the file";
    // The mode row offers the two placements by their names.
    EXPECT_EQ(cellFor("sr_watermarkMode")->findChildren<QToolButton*>().size(), 2);
}

TEST_F(RootPageTest, RowEditsAndPickerChoiceRewriteOneKeyKeepOthersAndPostAfterTheWrite) {
    Value::Dict initial = {
        {"sr_ssShellEnabled", Value::boolean(true)},
        {"sr_selectedWatermark", Value::string("mark.png")},
        {"x_futureKey", Value::string("kept")},
        {"x_nested", Value::dict({{"a", Value::array({Value::integer(-42), Value::date(1.7e9)})}})},
    };
    writePrefs(Value::dict(initial));
    addImages(kShellFolder, {"b.png", "A.PNG"});

    struct Edit {
        const char* name;
        const char* key;
        std::function<void()> act;
        Value stored;
    };
    const std::vector<Edit> edits = {
        {"switch", "sr_ssShellEnabled",
         [&] { click(static_cast<PSSwitchCell*>(cellFor("sr_ssShellEnabled"))->control()); }, Value::boolean(false)},
        {"segment", "sr_watermarkMode", [&] { click(cellFor("sr_watermarkMode")->findChildren<QToolButton*>().at(1)); },
         Value::integer(2)},
        {"list", "sr_watermarkBlendMode",
         [&] { static_cast<PSChoiceCell*>(cellFor("sr_watermarkBlendMode"))->choose(3); }, Value::string("柔光")},
        {"slider", "sr_watermarkOpacity",
         [&] { static_cast<SRPSliderCell*>(cellFor("sr_watermarkOpacity"))->slider()->setValue(250); },
         Value::real(0.25)},
        {"picker", "sr_selectedShell",
         [&] {
             tap("sr_selectedShell");
             QDialog* picker = openPicker(page());
             ASSERT_NE(picker, nullptr);
             click(picker->findChild<QPushButton*>("Done"));
         },
         Value::string("A.PNG")},
    };
    page();
    recorder_->drain();
    for (const Edit& e : edits) {
        SCOPED_TRACE(e.name);
        recorder_->snapshot = [&, key = std::string(e.key)] {
            const Value now = prefs();
            const Value* v = now.find(key);
            return v ? *v : Value();
        };
        e.act();
        initial[e.key] = e.stored;
        EXPECT_EQ(prefs(), Value::dict(initial)) << "exactly one key changed";
        ASSERT_TRUE(waitUntil([&] { return !recorder_->names.isEmpty(); }));
        EXPECT_EQ(recorder_->seen.front(), e.stored) << "posted before the file held the change";
        EXPECT_EQ(recorder_->drain(), QStringList{kNote});
    }
    EXPECT_EQ(shownValue(cellFor("sr_selectedShell")), "A.PNG");
}

TEST_F(RootPageTest, ARowWithoutItsNotificationWritesButPostsNothing) {
    page();
    recorder_->drain();
    auto row = std::make_shared<PSSpecifier>(
        Value::Dict{{"cell", Value::string("PSSwitchCell")}, {"key", Value::string("sr_vibrationEnabled")}}, &page());
    page().setPreferenceValue(Value::boolean(false), row.get());
    EXPECT_EQ(prefs(), Value::dict({{"sr_vibrationEnabled", Value::boolean(false)}}));
    EXPECT_TRUE(recorder_->drain().isEmpty());
}

TEST_F(RootPageTest, AssetRowsShowPlaceholderStoredNameOrEmptyAndPickerEndsWithoutChoiceWriteNothing) {
    struct Case {
        const char* name;
        QStringList images;
        const char* stored;  // nullptr: nothing stored
        const char* whileLoading;
        const char* afterAppearing;
        const char* pickerButton;
    } cases[] = {
        {"empty folder, nothing stored, Done", {}, nullptr, "无可用素材", "", "Done"},
        {"images, nothing stored, Cancel", {"a.png"}, nullptr, "", "", "Cancel"},
        {"stored name since deleted, Cancel", {"a.png"}, "gone.png", "gone.png", "gone.png", "Cancel"},
        {"empty folder, stored name, Done", {}, "gone.png", "无可用素材", "gone.png", "Done"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        page_.reset();
        QDir(real(kShellFolder)).removeRecursively();
        QFile::remove(prefsFile());
        addImages(kShellFolder, c.images);
        if (c.stored) writePrefs(Value::dict({{"sr_selectedShell", Value::string(c.stored)}}));
        const QByteArray before = mediatest::readFile(prefsFile()).value_or("none");

        page_ = std::make_unique<PlinthoraRootListController>();
        page_->setBundlePath(PLINTHORA_BINARY_DIR "/prefs/PlinthoraPrefs.bundle");
        page_->specifiers();
        EXPECT_EQ(page_->specifierForID("sr_selectedShell")->stringProperty("value"), c.whileLoading);
        page_->show();
        EXPECT_EQ(shownValue(cellFor("sr_selectedShell")), c.afterAppearing);

        recorder_->drain();
        tap("sr_selectedShell");
        QDialog* picker = openPicker(page());
        ASSERT_NE(picker, nullptr);
        click(picker->findChild<QPushButton*>(c.pickerButton));
        QCoreApplication::processEvents();
        EXPECT_EQ(mediatest::readFile(prefsFile()).value_or("none"), before);
        EXPECT_TRUE(recorder_->drain().isEmpty());
        EXPECT_TRUE(page().findChildren<QDialog*>("ShellImageSelectorNavigation").isEmpty() ||
                    !openPicker(page())->isVisible());
    }
}

// Root may write anywhere; without these capabilities this thread obeys
// the folder's permissions like any user.
class PermissionsObeyed {
public:
    PermissionsObeyed() {
        header_.version = _LINUX_CAPABILITY_VERSION_3;
        header_.pid = 0;
        ::syscall(SYS_capget, &header_, saved_);
        __user_cap_data_struct lowered[2] = {saved_[0], saved_[1]};
        lowered[0].effective &= ~((1u << CAP_DAC_OVERRIDE) | (1u << CAP_DAC_READ_SEARCH) | (1u << CAP_FOWNER));
        ::syscall(SYS_capset, &header_, lowered);
    }
    ~PermissionsObeyed() { ::syscall(SYS_capset, &header_, saved_); }

private:
    __user_cap_header_struct header_{};
    __user_cap_data_struct saved_[2]{};
};

TEST_F(RootPageTest, AFailedWriteIsReportedAndTheRowShowsTheStoredValueAgain) {
    struct Case {
        const char* name;
        std::function<void()> breakIt, mendIt;
        const char* reason;
    };
    std::unique_ptr<PermissionsObeyed> obeyed;
    rlimit fileSize{};
    const Case cases[] = {
        {"read-only preferences folder",
         [&] {
             QFile::setPermissions(QFileInfo(prefsFile()).path(), QFile::ReadOwner | QFile::ExeOwner);
             obeyed = std::make_unique<PermissionsObeyed>();
         },
         [&] {
             obeyed.reset();
             QFile::setPermissions(QFileInfo(prefsFile()).path(),
                                   QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
         },
         "Permission denied"},
        {"disk full (file size limit)",
         [&] {
             ::signal(SIGXFSZ, SIG_IGN);
             ::getrlimit(RLIMIT_FSIZE, &fileSize);
             rlimit tiny = fileSize;
             tiny.rlim_cur = 16;
             ::setrlimit(RLIMIT_FSIZE, &tiny);
         },
         [&] { ::setrlimit(RLIMIT_FSIZE, &fileSize); }, "File too large"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        page_.reset();
        writePrefs(
            Value::dict({{"sr_ssShellEnabled", Value::boolean(true)}, {"sr_watermarkOpacity", Value::real(0.5)}}));
        const QByteArray before = *mediatest::readFile(prefsFile());
        page();
        c.breakIt();
        click(static_cast<PSSwitchCell*>(cellFor("sr_ssShellEnabled"))->control());
        static_cast<SRPSliderCell*>(cellFor("sr_watermarkOpacity"))->slider()->setValue(900);
        c.mendIt();
        EXPECT_EQ(*mediatest::readFile(prefsFile()), before);
        const auto [title, text] = alert();
        EXPECT_EQ(title, "无法保存设置");
        EXPECT_TRUE(text.contains(c.reason)) << text.toStdString();
        EXPECT_EQ(page().findChildren<QMessageBox*>().size(), 1) << "one alert, not one per change";
        QCoreApplication::processEvents();
        EXPECT_TRUE(static_cast<PSSwitchCell*>(cellFor("sr_ssShellEnabled"))->control()->isOn());
        EXPECT_EQ(static_cast<SRPSliderCell*>(cellFor("sr_watermarkOpacity"))->valueLabel()->text(), "0.50");
        closeAlerts();
    }
}

TEST_F(RootPageTest, ActionRowsOpenTheirAddressesOrSayWhyNot) {
    struct Case {
        const char* row;
        std::set<QString> openable;
        QString opened;
        QString title, message;
    } cases[] = {
        {"打开素材文件夹", {"filza"}, "filza://view/var/mobile/Ozrin", {}, {}},
        {"打开素材文件夹",
         {},
         {},
         "无法打开文件管理器",
         "请确认已安装文件管理器，或手动前往 " + dir_.filePath("Ozrin") + " 查看素材"},
        {"项目主页", {"file", "https"}, QUrl(PLINTHORA_REPO_URL).toString(QUrl::FullyEncoded), {}, {}},
        {"项目主页", {}, {}, "无法打开链接", "请检查网络连接或尝试手动打开。"},
        {"频道", {}, {}, "无法打开链接", "请检查网络连接或尝试手动打开。"},
        {"交流群", {"https"}, QUrl(PLINTHORA_GROUP_URL).toString(QUrl::FullyEncoded), {}, {}},
        {"交流群", {}, {}, "无法打开QQ", "请确认已安装QQ客户端。"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.row);
        urls_.openableSchemes = c.openable;
        urls_.opened.clear();
        tap(c.row);
        EXPECT_EQ(urls_.opened, c.opened.isEmpty() ? QStringList() : QStringList{c.opened});
        EXPECT_EQ(alert(), std::make_pair(c.title, c.message));
        closeAlerts();
    }
    EXPECT_TRUE(QFileInfo(real(kAssetRoot)).isDir()) << "the asset root is made before it is opened";
}

TEST_F(RootPageTest, UsageTextLineByLine) {
    // The folders as they are on this machine.
    const QString root = dir_.filePath("Ozrin");
    const QStringList lines = {
        "",
        "📂 素材路径说明：",
        "1. 套壳素材：" + root + "/套壳素材/",
        "   - 需包含 .png 图片和同名的 .cfg 配置文件。",
        "2. 横屏素材：" + root + "/横屏素材/",
        "   - 专门用于存放横屏截图/视频的专属套壳。",
        "3. 水印素材：" + root + "/水印素材/",
        "   - 支持 .png, .jpg, .jpeg 格式。",
        "",
        "🎬 使用方式：",
        "• 开启开关后，正常使用截图或录屏，效果将自动应用。",
        "• 🔄 "
        "横屏支持：若检测到横屏内容，优先使用“横屏素材”文件夹中的素材；若该目录为空，则不应用套壳。建议为常用模型准备 "
        "16:9 的专属 PNG+CFG。",
        "• 满铺画布：水印相对于整张套壳后的画布居中。",
        "• 画面区域：水印仅相对于视频/截图内容区域居中。",
        "",
        "💡 提示：",
        "• 若开启“保存到剪贴板”，截图处理后将直接进入剪贴板（不再重复保存到相册原图）。",
        "• 若采用手势截图，请使用系统截图。",
        "• 若修改设置后未生效，请尝试重新截图或开启/关闭一次功能开关。",
    };
    tap("使用说明");
    const auto [title, text] = alert();
    EXPECT_EQ(title, "📖 使用说明");
    const QStringList got = text.split('\n');
    ASSERT_EQ(got.size(), lines.size());
    for (int i = 0; i < lines.size(); ++i) EXPECT_EQ(got[i], lines[i]) << "line " << i + 1;
    auto* box = page().findChild<QMessageBox*>();
    ASSERT_NE(box, nullptr);
    ASSERT_EQ(box->buttons().size(), 1);
    EXPECT_EQ(box->buttons().first()->text(), "我知道了");
}

// A desktop file manager on the session bus.
class FileManager : public QObject {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.freedesktop.FileManager1")
public:
    QStringList shown;
public slots:
    void ShowFolders(const QStringList& uris, const QString&) { shown << uris; }
};

TEST_F(RootPageTest, TheFileManagerAddressShowsTheMappedFolderOverTheBus) {
    FileManager manager;
    QDBusConnection bus = QDBusConnection::sessionBus();
    ASSERT_TRUE(bus.registerObject("/org/freedesktop/FileManager1", &manager, QDBusConnection::ExportAllSlots));
    ASSERT_TRUE(bus.registerService("org.freedesktop.FileManager1"));
    SystemUrlOpener opener(fs_);
    const QUrl url("filza://view/var/mobile/Ozrin");
    EXPECT_TRUE(opener.canOpenURL(url));
    EXPECT_FALSE(opener.canOpenURL(QUrl("nosuchscheme://x")));
    opener.openURL(url);
    EXPECT_EQ(manager.shown, QStringList{QUrl::fromLocalFile(dir_.filePath("Ozrin")).toString()});
    bus.unregisterService("org.freedesktop.FileManager1");
    bus.unregisterObject("/org/freedesktop/FileManager1");
}

TEST_F(RootPageTest, TheWheelScrollsThePageOverASliderOrAListUntilOneIsChosen) {
    writePrefs(
        Value::dict({{"sr_watermarkOpacity", Value::real(1.0)}, {"sr_watermarkBlendMode", Value::string("正常")}}));
    page().resize(420, 300);  // shorter than the page: there is something to scroll
    QCoreApplication::processEvents();
    auto* scroll = page().findChild<QScrollArea*>();
    ASSERT_NE(scroll, nullptr);
    auto wheel = [](QWidget* w) {
        const QPointF c = QRectF(w->rect()).center();
        QWheelEvent e(c, w->mapToGlobal(c), QPoint(), QPoint(0, -120), Qt::NoButton, Qt::NoModifier, Qt::NoScrollPhase,
                      false);
        // As from the mouse: only such events travel up to the page (and
        // sendEvent would take that mark off again).
        QSpontaneKeyEvent::setSpontaneous(&e);
        qApp->notify(w, &e);
        QCoreApplication::processEvents();
    };
    struct Control {
        const char* name;
        std::function<QWidget*()> find;
    } controls[] = {
        {"slider", [&]() -> QWidget* { return static_cast<SRPSliderCell*>(cellFor("sr_watermarkOpacity"))->slider(); }},
        {"list", [&]() -> QWidget* { return cellFor("sr_watermarkBlendMode")->findChild<QComboBox*>(); }},
    };
    const QString before = QString::fromUtf8(mediatest::readFile(prefsFile()).value_or("none"));
    for (const Control& c : controls) {
        SCOPED_TRACE(c.name);
        QWidget* w = c.find();
        ASSERT_NE(w, nullptr);
        scroll->ensureWidgetVisible(w);
        const int top = scroll->verticalScrollBar()->value();
        scroll->verticalScrollBar()->setValue(top == 0 ? 0 : top - 1);  // room to scroll down
        const int start = scroll->verticalScrollBar()->value();
        wheel(w);
        EXPECT_EQ(QString::fromUtf8(mediatest::readFile(prefsFile()).value_or("none")), before)
            << "passing over it changed the file";
        EXPECT_GT(scroll->verticalScrollBar()->value(), start) << "the page did not scroll";
        recorder_->drain();
    }
    // Chosen (focused), the slider takes the wheel and the change is stored.
    QWidget* slider = controls[0].find();
    page().activateWindow();
    QApplication::setActiveWindow(&page());
    slider->setFocus(Qt::MouseFocusReason);
    ASSERT_TRUE(waitUntil([&] { return slider->hasFocus(); }, 2000));
    wheel(slider);
    EXPECT_NE(QString::fromUtf8(mediatest::readFile(prefsFile()).value_or("none")), before);
}

TEST_F(RootPageTest, ThePageFollowsTheFileChangedElsewhereAndReadsNonFiniteNumbersAsTheDefault) {
    writePrefs(Value::dict({{"sr_watermarkOpacity", Value::real(0.5)}}));
    page();
    auto opacity = [&] { return static_cast<SRPSliderCell*>(cellFor("sr_watermarkOpacity"))->valueLabel()->text(); };
    auto deleting = [&] { return static_cast<PSSwitchCell*>(cellFor("sr_deleteOriginal"))->control()->isOn(); };
    ASSERT_EQ(opacity(), "0.50");
    ASSERT_FALSE(deleting());
    struct Step {
        const char* name;
        Value stored;
        const char* shown;
    } steps[] = {
        {"a number", Value::real(0.25), "0.25"},       {"NaN", Value::real(std::nan("")), "1.00"},
        {"a number again", Value::real(0.75), "0.75"}, {"+inf", Value::real(HUGE_VAL), "1.00"},
        {"text", Value::string("0.4"), "0.40"},        {"-inf as text", Value::string("-inf"), "1.00"},
    };
    for (const Step& s : steps) {
        SCOPED_TRACE(s.name);
        writePrefs(Value::dict({{"sr_watermarkOpacity", s.stored}, {"sr_deleteOriginal", Value::boolean(true)}}));
        EXPECT_TRUE(waitUntil([&] { return opacity() == s.shown; }, 5000)) << opacity().toStdString();
        EXPECT_TRUE(deleting());
        writePrefs(Value::dict({{"sr_watermarkOpacity", s.stored}}));
        EXPECT_TRUE(waitUntil([&] { return !deleting(); }, 5000));
    }
    EXPECT_EQ(recorder_->drain(), QStringList()) << "following the file wrote or posted something";
}

// Under any language but Chinese the page speaks English: every text of the
// row list and of the usage text has its translation, and the folders keep
// their names.
TEST_F(RootPageTest, UnderAnotherLanguageEveryTextHasItsEnglishTranslation) {
    QTranslator english;
    ASSERT_TRUE(english.load(PLINTHORA_BINARY_DIR "/translations/plinthora_en.qm"));
    QCoreApplication::installTranslator(&english);
    QStringList untranslated;
    for (const SpecifierPtr& row : page().specifiers()) {
        std::vector<std::string> texts{row->stringProperty("label"), row->stringProperty("footerText")};
        if (const Value* titles = row->propertyForKey("validTitles"); titles && titles->isArray())
            for (const Value& t : titles->asArray()) texts.push_back(t.asString());
        for (const std::string& t : texts)
            if (!t.empty() && rowText(t) == QString::fromStdString(t)) untranslated << QString::fromStdString(t);
    }
    EXPECT_EQ(untranslated, QStringList());
    EXPECT_EQ(static_cast<PSSwitchCell*>(cellFor("sr_deleteOriginal"))->titleLabel()->text(), "Delete the original");
    EXPECT_EQ(rowText(kNoAssets), "No assets");

    const QStringList usage = PlinthoraRootListController::usageInstructions().split('\n');
    EXPECT_TRUE(usage.contains("1. 套壳素材 (shells): " + dir_.filePath("Ozrin") + "/套壳素材/"))
        << usage.join('\n').toStdString();
    for (const QString& line : usage)
        EXPECT_FALSE(line.contains(QRegularExpression("[\\x{4e00}-\\x{9fff}]")) &&
                     !line.contains(QRegularExpression("套壳素材|横屏素材|水印素材")))
            << "left in Chinese: " << line.toStdString();
    tap("打开素材文件夹");
    EXPECT_EQ(alert().first, "Cannot open the file manager");
    closeAlerts();
    QCoreApplication::removeTranslator(&english);
}

// A file name that is not valid UTF-8 goes from the folder through the
// picker into the file as its very bytes, and is shown with them escaped.
TEST_F(RootPageTest, ANameThatIsNotUtf8IsKeptAsItsBytesAndShownEscaped) {
    addImages(kShellFolder, {"a.png"});
    const std::string odd = "b\xff\xfe.png";
    const std::string folder = fs_.realPath(kShellFolder);
    ASSERT_EQ(::link((folder + "/a.png").c_str(), (folder + "/" + odd).c_str()), 0);
    const QString shown = "b\\xff\\xfe.png";
    auto picker = [&]() -> ShellImageSelector* {
        tap("sr_selectedShell");
        QDialog* nav = openPicker(page());
        return nav ? nav->findChild<ShellImageSelector*>() : nullptr;
    };
    ShellImageSelector* first = picker();
    ASSERT_NE(first, nullptr);
    ASSERT_EQ(first->images.size(), 2);
    EXPECT_FALSE(ShellImageSelector::decodeThumbnail(first->images[1]).isNull())
        << "the file was not found by its name";
    auto* cell = static_cast<ShellImageCell*>(first->collectionView()->cellForItemAtIndexPath(1));
    ASSERT_NE(cell, nullptr);
    EXPECT_EQ(cell->nameLabel()->text(), shown);
    first->didSelectItemAtIndexPath(first->collectionView(), 1);
    first->done();
    QCoreApplication::processEvents();
    const Value now = prefs();
    const Value* stored = now.find("sr_selectedShell");
    ASSERT_NE(stored, nullptr);
    EXPECT_EQ(stored->asString(), odd);
    EXPECT_EQ(shownValue(cellFor("sr_selectedShell")), shown);
    // Opened again, the picker marks that very file.
    ShellImageSelector* again = picker();
    ASSERT_NE(again, nullptr);
    EXPECT_EQ(again->selectedImagePath, again->images.value(1));
    again->cancel();
}

}  // namespace
}  // namespace plinthora::prefs::testing

#include "RootPageTest.moc"
