#include "TestWorld.h"

namespace plinthora::testing {
namespace {

class RecentCaptureTableTest : public WorldTest {};

TEST_F(RecentCaptureTableTest, TwentyFiveSecondsIsStillRecent) {
    recordRecentAssetIdentifier("a");
    world_.time.advance(25.0);
    pruneRecentAssetIdentifiers();
    EXPECT_TRUE(isRecentlyHandled("a"));
    EXPECT_EQ(recentAssetCountForTesting(), 1u);

    world_.time.advance(0.001);
    EXPECT_FALSE(isRecentlyHandled("a"));
    pruneRecentAssetIdentifiers();
    EXPECT_EQ(recentAssetCountForTesting(), 0u);
}

TEST_F(RecentCaptureTableTest, StampingAgainRestartsTheWindow) {
    recordRecentAssetIdentifier("a");
    world_.time.advance(20);
    recordRecentAssetIdentifier("a");
    world_.time.advance(20);
    pruneRecentAssetIdentifiers();
    EXPECT_TRUE(isRecentlyHandled("a"));
}

TEST_F(RecentCaptureTableTest, EmptyIdentifiersAreNotStamped) {
    recordRecentAssetIdentifier("");
    EXPECT_EQ(recentAssetCountForTesting(), 0u);
    EXPECT_FALSE(isRecentlyHandled(""));
}

TEST_F(RecentCaptureTableTest, LastSavedHoldsOnlyTheLatest) {
    EXPECT_FALSE(lastSavedAssetIdentifier());
    setLastSavedAssetIdentifier("one");
    setLastSavedAssetIdentifier("two");
    EXPECT_EQ(lastSavedAssetIdentifier(), "two");
}

TEST_F(RecentCaptureTableTest, ConcurrentUseIsSerialised) {
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([t] {
            for (int i = 0; i < 500; ++i) {
                recordRecentAssetIdentifier("id" + std::to_string(t * 1000 + i));
                pruneRecentAssetIdentifiers();
                setLastSavedAssetIdentifier("x" + std::to_string(i));
                (void)isRecentlyHandled("id0");
            }
        });
    for (auto& th : threads) th.join();
    EXPECT_EQ(recentAssetCountForTesting(), 2000u);
}

}  // namespace
}  // namespace plinthora::testing
