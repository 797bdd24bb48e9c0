#include "CommaLocale.h"
#include "TestWorld.h"

#include "compositing/SRShellLayout.h"
#include "util/Numbers.h"

#include <plist/plist.h>

#include <clocale>
#include <cmath>
#include <cstdlib>
#include <limits>


namespace plinthora::testing {
namespace {

class SettingsTest : public WorldTest {};

TEST_F(SettingsTest, NoFileGivesEveryDefault) {
    settings().ssShellEnabled = false;
    settings().setSelectedShell(std::make_shared<const std::string>("x.png"));
    loadSettings();
    SRSettings& s = settings();
    EXPECT_TRUE(s.recShellEnabled);
    EXPECT_TRUE(s.ssShellEnabled);
    EXPECT_FALSE(s.recWatermarkEnabled);
    EXPECT_FALSE(s.ssWatermarkEnabled);
    EXPECT_FALSE(s.randomShell);
    EXPECT_FALSE(s.randomWatermark);
    EXPECT_EQ(s.selectedShell(), nullptr);
    EXPECT_EQ(s.selectedWatermark(), nullptr);
    EXPECT_FLOAT_EQ(s.watermarkOpacity, 1.0f);
    EXPECT_EQ(s.watermarkMode, 1);
    EXPECT_EQ(*s.watermarkBlendMode(), "正常");
    EXPECT_TRUE(s.vibrationEnabled);
    EXPECT_FALSE(s.deleteOriginal);
    EXPECT_FALSE(s.saveToClipboard);
}

TEST_F(SettingsTest, PartialFileKeepsOtherDefaults) {
    writePrefs({{"sr_ssShellEnabled", Value::boolean(false)}});
    loadSettings();
    EXPECT_FALSE(settings().ssShellEnabled);
    EXPECT_TRUE(settings().recShellEnabled);
    EXPECT_TRUE(settings().vibrationEnabled);
}

TEST_F(SettingsTest, ConversionsOfStoredValues) {
    struct Case {
        const char* what;
        Value::Dict prefs;
        std::function<void()> check;
    };
    const std::vector<Case> cases = {
        {"numbers as booleans",
         {{"sr_deleteOriginal", Value::integer(2)}, {"sr_vibrationEnabled", Value::real(0)}},
         [] {
             EXPECT_TRUE(settings().deleteOriginal);
             EXPECT_FALSE(settings().vibrationEnabled);
         }},
        {"opacity not clamped",
         {{"sr_watermarkOpacity", Value::real(0.37)}},
         [] { EXPECT_FLOAT_EQ(settings().watermarkOpacity, 0.37f); }},
        {"mode kept out of range",
         {{"sr_watermarkMode", Value::integer(3)}},
         [] { EXPECT_EQ(settings().watermarkMode, 3); }},
        {"negative mode", {{"sr_watermarkMode", Value::integer(-2)}}, [] { EXPECT_EQ(settings().watermarkMode, -2); }},
        {"mode from a string",
         {{"sr_watermarkMode", Value::string("2")}},
         [] { EXPECT_EQ(settings().watermarkMode, 2); }},
        {"opacity from a string",
         {{"sr_watermarkOpacity", Value::string("0.5 ")}},
         [] { EXPECT_FLOAT_EQ(settings().watermarkOpacity, 0.5f); }},
        {"mode beyond any integer is absent",
         {{"sr_watermarkMode", Value::real(1e300)}},
         [] { EXPECT_EQ(settings().watermarkMode, 1); }},
        {"array counts as absent",
         {{"sr_ssShellEnabled", Value::array()}},
         [] { EXPECT_TRUE(settings().ssShellEnabled); }},
        {"strings taken as stored",
         {{"sr_watermarkBlendMode", Value::string("柔光")}, {"sr_selectedShell", Value::string("a b.png")}},
         [] {
             EXPECT_EQ(*settings().watermarkBlendMode(), "柔光");
             EXPECT_EQ(*settings().selectedShell(), "a b.png");
         }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        settings().apply(Value::dict());
        writePrefs(c.prefs);
        loadSettings();
        c.check();
    }
}

TEST_F(SettingsTest, MalformedFileGivesDefaults) {
    for (const char* bytes : {"not a plist", "<?xml version=\"1.0\"?><plist><dict><key>x", ""}) {
        world_.fs.put(kPreferencesPath, bytes);
        settings().ssShellEnabled = false;
        loadSettings();
        EXPECT_TRUE(settings().ssShellEnabled) << bytes;
    }
    // A property list whose root is not a dictionary.
    world_.fs.put(kPreferencesPath, plist_.toXml(Value::array({Value::boolean(false)})));
    settings().ssShellEnabled = false;
    loadSettings();
    EXPECT_TRUE(settings().ssShellEnabled);
}

TEST_F(SettingsTest, BinaryPropertyListIsRead) {
    plist_t root = plist_new_dict();
    plist_dict_set_item(root, "sr_saveToClipboard", plist_new_bool(1));
    plist_dict_set_item(root, "sr_watermarkMode", plist_new_uint(2));
    plist_dict_set_item(root, "sr_selectedWatermark", plist_new_string("水印.png"));
    char* bin = nullptr;
    uint32_t len = 0;
    plist_to_bin(root, &bin, &len);
    world_.fs.put(kPreferencesPath, std::string(bin, len));
    plist_to_bin_free(bin);
    plist_free(root);

    loadSettings();
    EXPECT_TRUE(settings().saveToClipboard);
    EXPECT_EQ(settings().watermarkMode, 2);
    EXPECT_EQ(*settings().selectedWatermark(), "水印.png");
}

// A writer that does not write atomically leaves a torn file for a moment;
// a notification then reads every default, and the next one after the
// whole file restores the values.
TEST_F(SettingsTest, TornFileGivesDefaultsUntilTheNextNotification) {
    registerForPreferenceChanges();
    const std::string whole = plist_.toXml(
        Value::dict({{"sr_ssShellEnabled", Value::boolean(false)}, {"sr_watermarkMode", Value::integer(2)}}));
    // Cut inside the dictionary (a cut after its end still reads whole).
    for (size_t cut : {whole.size() / 2, whole.find("<integer>") + 4}) {
        SCOPED_TRACE(cut);
        world_.fs.put(kPreferencesPath, whole.substr(0, cut));
        world_.notify.post(kPreferencesChangedNotification);
        world_.time.runPending();
        EXPECT_TRUE(settings().ssShellEnabled);
        EXPECT_EQ(settings().watermarkMode, 1);

        world_.fs.put(kPreferencesPath, whole);
        world_.notify.post(kPreferencesChangedNotification);
        world_.time.runPending();
        EXPECT_FALSE(settings().ssShellEnabled);
        EXPECT_EQ(settings().watermarkMode, 2);
    }
}

TEST_F(SettingsTest, RemovedKeysReturnToDefaultOnTheNextNotification) {
    registerForPreferenceChanges();
    writePrefs({{"sr_selectedShell", Value::string("frame.png")}, {"sr_ssShellEnabled", Value::boolean(false)}});
    loadSettings();
    SharedString held = settings().selectedShell();
    ASSERT_NE(held, nullptr);

    writePrefs({});
    // Nothing changes until the notification arrives.
    EXPECT_FALSE(settings().ssShellEnabled);
    world_.notify.post(kPreferencesChangedNotification);
    world_.time.runPending();
    EXPECT_TRUE(settings().ssShellEnabled);
    EXPECT_EQ(settings().selectedShell(), nullptr);
    // A reader that took the string before the reload still holds it.
    EXPECT_EQ(*held, "frame.png");
}

TEST_F(SettingsTest, WriterKeepsUnknownKeysAndPostsAfterTheWrite) {
    writePrefs({{"someoneElsesKey", Value::string("keep me")}, {"sr_deleteOriginal", Value::boolean(false)}});
    std::optional<Value> fileAtPost;
    world_.notify.onPost = [&](const std::string&) {
        fileAtPost = plist_.parse(*world_.fs.readFile(kPreferencesPath));
    };

    EXPECT_TRUE(writePreference("sr_deleteOriginal", Value::boolean(true)));

    ASSERT_EQ(world_.notify.posted, std::vector<std::string>{kPreferencesChangedNotification});
    ASSERT_TRUE(fileAtPost);
    EXPECT_EQ(fileAtPost->find("sr_deleteOriginal")->asBool(), true);
    EXPECT_EQ(fileAtPost->find("someoneElsesKey")->asString(), "keep me");
}

TEST_F(SettingsTest, WriterCreatesThePreferencesFolder) {
    ASSERT_FALSE(world_.fs.exists("/var/mobile/Library/Preferences"));
    EXPECT_TRUE(writePreference("sr_randomShell", Value::boolean(true)));
    loadSettings();
    EXPECT_TRUE(settings().randomShell);
}

TEST_F(SettingsTest, WriterPostsEvenWhenTheWriteFails) {
    world_.fs.createDirectories("/var/mobile/Library/Preferences");
    world_.fs.failWrites = true;
    EXPECT_FALSE(writePreference("sr_ssShellEnabled", Value::boolean(false)));
    EXPECT_EQ(world_.notify.posted.size(), 1u);
    EXPECT_FALSE(world_.fs.exists(kPreferencesPath));
}

TEST_F(SettingsTest, WriterStartsFromAnEmptyDictionaryWhenTheFileIsBad) {
    world_.fs.put(kPreferencesPath, "garbage");
    EXPECT_TRUE(writePreference("sr_watermarkOpacity", Value::real(0.25)));
    auto v = plist_.parse(*world_.fs.readFile(kPreferencesPath));
    ASSERT_TRUE(v && v->isDict());
    EXPECT_EQ(v->asDict().size(), 1u);
    loadSettings();
    EXPECT_FLOAT_EQ(settings().watermarkOpacity, 0.25f);
}

TEST_F(SettingsTest, NumbersWithoutAWholeNumberLeaveTheModeAtItsDefault) {
    const double inf = std::numeric_limits<double>::infinity();
    const std::vector<Value> noReading = {Value::real(std::nan("")),
                                          Value::real(inf),
                                          Value::real(-inf),
                                          Value::real(1e19),
                                          Value::real(-1e300),
                                          Value::real(3e9),
                                          Value::integer(int64_t(1) << 32 | 2)};
    for (const Value& v : noReading) {
        SCOPED_TRACE(v.asReal());
        settings().watermarkMode = 7;
        settings().apply(Value::dict({{"sr_watermarkMode", v}}));
        EXPECT_EQ(settings().watermarkMode, 1);
    }
    // Reals that have one are truncated, as before.
    settings().apply(Value::dict({{"sr_watermarkMode", Value::real(-2.9)}}));
    EXPECT_EQ(settings().watermarkMode, -2);
}

// Qt applications hand the user's locale to the C library. Under a
// comma-decimal one the files must still read (and write) "0.37" as 0.37.
TEST_F(SettingsTest, FileNumbersReadTheSameUnderACommaDecimalLocale) {
    ASSERT_TRUE(useCommaLocale()) << "cannot make a de_DE locale (package locales)";
    ASSERT_EQ(std::strtod("0.5", nullptr), 0.0) << "the locale does not use a decimal comma";

    writePrefs({{"sr_watermarkOpacity", Value::real(0.37)}, {"sr_watermarkMode", Value::string("2.0")}});
    loadSettings();
    EXPECT_FLOAT_EQ(settings().watermarkOpacity, 0.37f);
    EXPECT_EQ(settings().watermarkMode, 2);
    settings().apply(Value::dict({{"sr_watermarkOpacity", Value::string("0.25")}}));
    EXPECT_FLOAT_EQ(settings().watermarkOpacity, 0.25f);

    const std::string xml = plist_.toXml(Value::dict({{"r", Value::real(120.5)}}));
    EXPECT_NE(xml.find("120.5"), std::string::npos) << xml;

    auto tmpl = json_.parse(R"({"template_width": 120.5, "template_height": "240.25px"})");
    ASSERT_TRUE(tmpl);
    EXPECT_FLOAT_EQ(templateNumber(*tmpl, "template_width"), 120.5f);
    EXPECT_FLOAT_EQ(templateNumber(*tmpl, "template_height"), 240.25f);
    std::setlocale(LC_ALL, "C");
}

TEST(LeadingDecimal, ReadsWhatAStringReaderTakes) {
    const double inf = std::numeric_limits<double>::infinity();
    const std::vector<std::pair<std::string, double>> cases = {
        {"120.5", 120.5}, {"  -0.25x", -0.25}, {"+.5", 0.5},     {"7.", 7},     {"1e3px", 1000},
        {"2e", 2},        {"1e999", inf},      {"-1e999", -inf}, {"1e-999", 0}, {"inf", 0},
        {"nan", 0},       {"0x1p3", 0},        {"--1", 0},       {"", 0},       {".e1", 0},
    };
    for (const auto& [text, expect] : cases) EXPECT_EQ(leadingDecimal(text), expect) << text;
}

}  // namespace
}  // namespace plinthora::testing
