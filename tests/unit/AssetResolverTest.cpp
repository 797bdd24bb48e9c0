#include "TestWorld.h"

#include "compositing/SRAssetResolver.h"

namespace plinthora::testing {
namespace {

class AssetResolverTest : public WorldTest {
protected:
    void files(const std::string& folder, std::initializer_list<const char*> names) {
        for (const char* n : names) world_.fs.put(folder + "/" + n, "x");
    }
    std::optional<std::string> shell(bool landscape = false) {
        return SRAssetResolver::resolveShellPathIsLandscape(landscape);
    }
    static std::string in(const char* folder, const char* name) { return std::string(folder) + "/" + name; }
};

TEST(ImageNames, OnlyPngAndJpgQualify) {
    const std::vector<std::pair<const char*, bool>> cases = {
        {"Frame.PNG", true}, {"x.Jpg", true},      {"a.png", true}, {"x.jpeg", false}, {"x.heic", false},
        {"x.cfg", false},    {"x.png.bak", false}, {".png", true},  {"png", false},    {"x.gif", false},
    };
    for (auto [name, ok] : cases) EXPECT_EQ(SRAssetResolver::qualifiesAsImageName(name), ok) << name;
}

TEST_F(AssetResolverTest, FallbackFollowsTheListingOrder) {
    files(kShellFolder, {"notes.txt", "z.png", "a.jpg"});
    EXPECT_EQ(shell(), in(kShellFolder, "z.png"));
}

TEST_F(AssetResolverTest, SelectedNameIsUsedWithoutAnExtensionTest) {
    files(kShellFolder, {"a.png", "photo.jpeg"});
    settings().setSelectedShell(std::make_shared<const std::string>("photo.jpeg"));
    EXPECT_EQ(shell(), in(kShellFolder, "photo.jpeg"));
}

TEST_F(AssetResolverTest, MissingSelectionFallsBack) {
    files(kShellFolder, {"b.png"});
    settings().setSelectedShell(std::make_shared<const std::string>("gone.png"));
    EXPECT_EQ(shell(), in(kShellFolder, "b.png"));
}

TEST_F(AssetResolverTest, SelectionThatIsNotABareNameIsIgnored) {
    files(kShellFolder, {"first.png"});
    world_.fs.put("/var/mobile/Ozrin/secret.png", "x");
    world_.fs.put("/etc/passwd", "x");
    const std::vector<std::string> badNames = {
        "../secret.png", "..", ".", "/etc/passwd", "sub/first.png", std::string("first.png\0x", 11), std::string()};
    for (const std::string& bad : badNames) {
        SCOPED_TRACE(bad);
        settings().setSelectedShell(std::make_shared<const std::string>(bad));
        EXPECT_EQ(shell(), in(kShellFolder, "first.png"));
        settings().setSelectedWatermark(std::make_shared<const std::string>(bad));
        EXPECT_EQ(SRAssetResolver::resolveWatermarkPath(), std::nullopt);
    }
}

TEST_F(AssetResolverTest, RandomChoice) {
    settings().randomShell = true;
    settings().setSelectedShell(std::make_shared<const std::string>("c.png"));

    // Nothing qualifies: no answer, and no draw.
    files(kShellFolder, {"a.cfg", "b.jpeg"});
    EXPECT_EQ(shell(), std::nullopt);
    EXPECT_TRUE(world_.random.bounds.empty());

    // One candidate, every time; the selection plays no part.
    files(kShellFolder, {"only.PNG", "c.png.bak"});
    for (int i = 0; i < 3; ++i) EXPECT_EQ(shell(), in(kShellFolder, "only.PNG"));
    EXPECT_EQ(world_.random.bounds, (std::vector<uint32_t>{1, 1, 1}));

    // The draw indexes the qualifying names in listing order.
    files(kShellFolder, {"two.jpg", "three.png"});
    world_.random.script = {2, 0};
    EXPECT_EQ(shell(), in(kShellFolder, "three.png"));
    EXPECT_EQ(shell(), in(kShellFolder, "only.PNG"));
    EXPECT_EQ(world_.random.bounds.back(), 3u);
}

TEST_F(AssetResolverTest, LandscapeUsesItsOwnFolderOnly) {
    files(kShellFolder, {"x.png"});
    settings().setSelectedShell(std::make_shared<const std::string>("x.png"));

    // The folder does not exist yet: it is created and nothing is found.
    EXPECT_FALSE(world_.fs.isDirectory(kLandscapeShellFolder));
    EXPECT_EQ(shell(true), std::nullopt);
    EXPECT_TRUE(world_.fs.isDirectory(kLandscapeShellFolder));

    files(kLandscapeShellFolder, {"wide.jpg"});
    EXPECT_EQ(shell(true), in(kLandscapeShellFolder, "wide.jpg"));

    files(kLandscapeShellFolder, {"x.png"});
    EXPECT_EQ(shell(true), in(kLandscapeShellFolder, "x.png"));
}

TEST_F(AssetResolverTest, WatermarkLookupNeverCreatesItsFolder) {
    EXPECT_EQ(SRAssetResolver::resolveWatermarkPath(), std::nullopt);
    EXPECT_FALSE(world_.fs.exists(kWatermarkFolder));

    files(kWatermarkFolder, {"w.jpeg", "w.png"});
    EXPECT_EQ(SRAssetResolver::resolveWatermarkPath(), in(kWatermarkFolder, "w.png"));
    settings().randomWatermark = true;
    world_.random.script = {0};
    EXPECT_EQ(SRAssetResolver::resolveWatermarkPath(), in(kWatermarkFolder, "w.png"));
}

TEST(SystemRandom, DrawsStayInRangeAndCoverIt) {
    linux_platform::SystemRandom r;
    EXPECT_EQ(r.uniform(0), 0u);
    EXPECT_EQ(r.uniform(1), 0u);
    std::vector<int> seen(7, 0);
    for (int i = 0; i < 7000; ++i) {
        uint32_t v = r.uniform(7);
        ASSERT_LT(v, 7u);
        ++seen[v];
    }
    for (int n : seen) EXPECT_GT(n, 700);  // 1000 expected each; far from any plausible chance
}

}  // namespace
}  // namespace plinthora::testing
