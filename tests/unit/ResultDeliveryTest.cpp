#include "PixelTestSupport.h"
#include "TestWorld.h"

namespace plinthora::testing {
namespace {

class ResultDeliveryTest : public WorldTest {
protected:
    void SetUp() override {
        WorldTest::SetUp();
        original_ = world_.photos.add(MediaType::Image, 30, 60, 1, "bytes");
    }
    Image image() { return shared(solid(2, 2, 0xff112233)); }
    SRUnifiedProcessor& processor() { return SRUnifiedProcessor::sharedInstance(); }
    bool originalPresent() {
        for (const auto& s : world_.photos.assets)
            if (s.asset.localIdentifier == original_.localIdentifier) return true;
        return false;
    }
    Asset original_;
};

TEST_F(ResultDeliveryTest, PasteboardPath) {
    settings().saveToClipboard = true;
    settings().deleteOriginal = true;
    processor().finalizeScreenshot(image(), original_);
    world_.time.advance(1);
    EXPECT_EQ(world_.pasteboard.images.size(), 1u);
    EXPECT_EQ(world_.sound.played, std::vector<int>{1519});
    EXPECT_EQ(world_.photos.deleted, std::vector<std::string>{original_.localIdentifier});
    EXPECT_EQ(world_.photos.assets.size(), 0u);  // nothing new saved
    EXPECT_FALSE(lastSavedAssetIdentifier());
    EXPECT_EQ(recentAssetCountForTesting(), 0u);

    // Without an original there is nothing to delete.
    processor().finalizeScreenshot(image(), std::nullopt);
    world_.time.advance(1);
    EXPECT_EQ(world_.photos.deleted.size(), 1u);

    // A picture the clipboard (and whatever stands in for it) did not keep
    // leaves the original where it is.
    const Asset another = world_.photos.add(MediaType::Image, 31, 60, 1, "bytes");
    world_.pasteboard.keeps = false;
    processor().finalizeScreenshot(image(), another);
    world_.time.advance(1);
    EXPECT_EQ(world_.pasteboard.images.size(), 3u);
    EXPECT_EQ(world_.photos.deleted.size(), 1u);
}

TEST_F(ResultDeliveryTest, LibraryPathStampsTheNewAssetOnlyAfterTheSave) {
    settings().vibrationEnabled = false;
    processor().finalizeScreenshot(image(), original_);
    EXPECT_FALSE(lastSavedAssetIdentifier());  // not before the library confirms
    world_.time.advance(1);
    ASSERT_EQ(world_.photos.assets.size(), 2u);
    const std::string created = world_.photos.assets.back().asset.localIdentifier;
    EXPECT_EQ(lastSavedAssetIdentifier(), created);
    EXPECT_TRUE(isRecentlyHandled(created));
    EXPECT_TRUE(world_.sound.played.empty());
    EXPECT_TRUE(originalPresent());
}

TEST_F(ResultDeliveryTest, DeletionStartsOnlyOnceTheSaveCompleted) {
    settings().deleteOriginal = true;
    processor().finalizeScreenshot(image(), original_);
    // Only the save is pending; the deletion is not started alongside it.
    EXPECT_EQ(world_.time.pendingCount(), 1u);
    world_.time.advance(world_.photos.changeDelay);
    EXPECT_EQ(world_.photos.assets.size(), 2u);
    EXPECT_TRUE(world_.photos.deleted.empty());
    world_.time.advance(world_.photos.changeDelay);
    EXPECT_EQ(world_.photos.deleted, std::vector<std::string>{original_.localIdentifier});
    EXPECT_EQ(world_.sound.played, std::vector<int>{1519});
}

TEST_F(ResultDeliveryTest, FailedSaveKeepsTheOriginalAndStaysQuiet) {
    settings().deleteOriginal = true;
    world_.photos.failSaves = true;
    recordRecentAssetIdentifier("old");
    world_.time.advance(26);  // "old" is due for pruning
    processor().finalizeScreenshot(image(), original_);
    world_.time.advance(1);
    EXPECT_TRUE(originalPresent());
    EXPECT_TRUE(world_.photos.deleted.empty());
    EXPECT_TRUE(world_.sound.played.empty());
    EXPECT_FALSE(lastSavedAssetIdentifier());
    EXPECT_EQ(recentAssetCountForTesting(), 0u);  // the table was still pruned
}

TEST_F(ResultDeliveryTest, VideoFileIsRemovedWhetherOrNotTheSaveSucceeded) {
    for (bool fail : {false, true}) {
        SCOPED_TRACE(fail);
        world_.photos.failSaves = fail;
        world_.fs.put("/tmp/SR_1.mp4", "movie");
        settings().saveToClipboard = true;  // applies to screenshots only
        processor().finalizeVideoAtURL("/tmp/SR_1.mp4", original_);
        world_.time.advance(1);
        EXPECT_FALSE(world_.fs.exists("/tmp/SR_1.mp4"));
        EXPECT_TRUE(world_.pasteboard.images.empty());
        EXPECT_EQ(world_.photos.videoPaths.size(), 1u);
    }
}

TEST_F(ResultDeliveryTest, LastSavedFollowsTheLastCompletedSave) {
    processor().finalizeScreenshot(image(), std::nullopt);
    world_.photos.changeDelay = 0.01;
    processor().finalizeScreenshot(image(), std::nullopt);
    world_.time.advance(1);
    // The second save completed first; the first one completed last.
    ASSERT_EQ(world_.photos.assets.size(), 3u);
    EXPECT_EQ(lastSavedAssetIdentifier(), world_.photos.assets.back().asset.localIdentifier);
    EXPECT_TRUE(isRecentlyHandled(world_.photos.assets[1].asset.localIdentifier));
}

TEST_F(ResultDeliveryTest, ASaveThatNamesNoAssetKeepsTheLastSavedOne) {
    processor().finalizeScreenshot(image(), std::nullopt);
    world_.time.advance(1);
    const auto previous = lastSavedAssetIdentifier();
    ASSERT_TRUE(previous);

    world_.photos.reportNoIdentifier = true;
    for (bool video : {false, true}) {
        SCOPED_TRACE(video);
        if (video)
            processor().finalizeVideoAtURL("/tmp/SR_2.mp4", std::nullopt);
        else
            processor().finalizeScreenshot(image(), std::nullopt);
        world_.time.advance(1);
        EXPECT_EQ(lastSavedAssetIdentifier(), previous);
        EXPECT_FALSE(isRecentlyHandled(""));
    }
    // Still a success: the sound plays for each save.
    EXPECT_EQ(world_.sound.played.size(), 3u);
}

}  // namespace
}  // namespace plinthora::testing
