#include "TestWorld.h"

#include <plist/plist.h>

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
        {"numbers as booleans", {{"sr_deleteOriginal", Value::integer(2)}, {"sr_vibrationEnabled", Value::real(0)}},
         [] {
             EXPECT_TRUE(settings().deleteOriginal);
             EXPECT_FALSE(settings().vibrationEnabled);
         }},
        {"opacity not clamped", {{"sr_watermarkOpacity", Value::real(0.37)}},
         [] { EXPECT_FLOAT_EQ(settings().watermarkOpacity, 0.37f); }},
        {"mode kept out of range", {{"sr_watermarkMode", Value::integer(3)}},
         [] { EXPECT_EQ(settings().watermarkMode, 3); }},
        {"negative mode", {{"sr_watermarkMode", Value::integer(-2)}},
         [] { EXPECT_EQ(settings().watermarkMode, -2); }},
        {"mode from a string", {{"sr_watermarkMode", Value::string("2")}},
         [] { EXPECT_EQ(settings().watermarkMode, 2); }},
        {"opacity from a string", {{"sr_watermarkOpacity", Value::string("0.5 ")}},
         [] { EXPECT_FLOAT_EQ(settings().watermarkOpacity, 0.5f); }},
        {"mode beyond any integer is absent",
         {{"sr_watermarkMode", Value::real(1e300)}},
         [] { EXPECT_EQ(settings().watermarkMode, 1); }},
        {"array counts as absent", {{"sr_ssShellEnabled", Value::array()}},
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

}  // namespace
}  // namespace plinthora::testing
