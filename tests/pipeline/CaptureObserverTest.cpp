// Recording discovery on the fakes, in virtual time: when it looks, what it
// takes, and that every end of a run clears the in-progress flag.
#include "PixelTestSupport.h"
#include "TestWorld.h"

#include "compositing/SRAssetResolver.h"
#include "discovery/SRPhotoObserver.h"
#include "platform/linux/QtImaging.h"

namespace plinthora::testing {
namespace {

class CaptureObserverTest : public WorldTest {
protected:
    void SetUp() override {
        WorldTest::SetUp();
        // Watermark only, and no watermark file: every handed-over
        // recording is re-encoded, with no pictures needed.
        settings().recShellEnabled = false;
        settings().recWatermarkEnabled = true;
    }
    Imaging* imaging() override { return &imaging_; }
    SRPhotoObserver& observer() { return SRPhotoObserver::sharedInstance(); }

    // A recording in the library, `age` seconds old, whose file is a movie.
    Asset recording(double age, const std::string& id) {
        const std::string path = "/recordings/" + id + ".mp4";
        world_.video.movies[path] = MovieInfo{true, {40, 80}, {}, 2.0, false};
        return world_.photos.add(MediaType::Video, 40, 80, age, path, id);
    }
    // Source files of the exports started so far.
    std::vector<std::string> exported() {
        std::vector<std::string> out;
        for (const auto& e : world_.video.exports) out.push_back(e.request.sourcePath);
        return out;
    }
    linux_platform::QtImaging imaging_;
};

TEST_F(CaptureObserverTest, HandsTheRecordingOverOnceAndAHalfSecondsAfterTheCaptureEnd) {
    recording(100, "older");
    const Asset fresh = recording(1, "fresh");
    observer().stop();
    EXPECT_TRUE(observer().recordingProcessingForTesting());
    world_.time.advance(1.499);
    EXPECT_EQ(world_.photos.fetchCount, 0);
    world_.time.advance(0.001);
    EXPECT_EQ(world_.photos.fetchCount, 1);
    EXPECT_TRUE(isRecentlyHandled(fresh.localIdentifier)) << "stamped when taken up";
    EXPECT_TRUE(observer().recordingProcessingForTesting()) << "on until the video request answers";

    world_.time.advance(0.1);  // the library hands the file over
    EXPECT_EQ(exported(), std::vector<std::string>{"/recordings/fresh.mp4"});
    EXPECT_FALSE(observer().recordingProcessingForTesting()) << "the run ends at the handover, not the export";

    // The export completes and is delivered; nothing else looked again.
    world_.time.advance(5);
    EXPECT_EQ(world_.photos.videoPaths.size(), 1u);
    EXPECT_EQ(world_.photos.fetchCount, 1);
    EXPECT_EQ(world_.time.pendingCount(), 0u);
}

TEST_F(CaptureObserverTest, NothingFoundMeansTwoAttemptsThenSilence) {
    recording(121, "outside-the-window");
    observer().stop();
    world_.time.advance(1.5);
    EXPECT_EQ(world_.photos.fetchCount, 1);
    // The retry call comes on the main queue 1.5 s later, its attempt 1.5 s
    // after that.
    world_.time.advance(2.999);
    EXPECT_EQ(world_.photos.fetchCount, 1);
    world_.time.advance(0.001);
    EXPECT_EQ(world_.photos.fetchCount, 2);
    EXPECT_FALSE(observer().recordingProcessingForTesting());
    EXPECT_EQ(world_.time.pendingCount(), 0u);
    EXPECT_TRUE(exported().empty());
}

TEST_F(CaptureObserverTest, WhichRecordingIsTaken) {
    struct Case {
        const char* what;
        double stampAge;  // how long ago "newest" was stamped at the attempt; < 0: never
        bool sameDates;   // "newest" and "second" share a creation date
        const char* taken;
    };
    const std::vector<Case> cases = {
        {"stamped exactly 25 s ago: still skipped", 25.0, false, "second"},
        {"stamped 25.001 s ago: taken again", 25.001, false, "newest"},
        {"equal dates: the first one listed stays", -1, true, "newest"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        SetUp();
        world_.photos.assets.clear();
        world_.video.exports.clear();
        const Asset newest = recording(c.sameDates ? 50 : 40, "newest");
        recording(50, "second");  // listed after "newest" on equal dates
        if (c.stampAge >= 0) {
            recordRecentAssetIdentifier(newest.localIdentifier);
            world_.time.advance(c.stampAge - 1.5);
        }
        observer().stop();
        world_.time.advance(1.6);
        EXPECT_EQ(exported(), std::vector<std::string>{"/recordings/" + std::string(c.taken) + ".mp4"});
        world_.time.advance(10);
    }
}

// The library dates a recording by when it became whole: one whose
// recorder opened the file 130 s before closing it is as new as its end.
// Our own result, once its stamp has lapsed, is still never a recording.
TEST_F(CaptureObserverTest, ALongRecordingIsTakenAndOurResultNeverIs) {
    settings().deleteOriginal = true;
    world_.time.advance(130);  // the capture runs; nothing is in the library yet
    recording(0, "long");
    observer().stop();
    world_.time.advance(1.6);
    EXPECT_EQ(exported(), std::vector<std::string>{"/recordings/long.mp4"});
    world_.time.advance(5);
    ASSERT_EQ(world_.photos.videoPaths.size(), 1u);
    EXPECT_EQ(world_.photos.deleted, std::vector<std::string>{"long"});

    world_.time.advance(30);  // the result's stamp has lapsed
    observer().stop();
    world_.time.advance(5);
    EXPECT_EQ(world_.photos.fetchCount, 3) << "two attempts, both finding nothing";
    EXPECT_EQ(exported().size(), 1u);
    EXPECT_FALSE(observer().recordingProcessingForTesting());
}

TEST_F(CaptureObserverTest, EveryEndOfARunClearsTheFlag) {
    // A capture end during a run is dropped.
    observer().stop();
    world_.time.advance(0.5);
    observer().stop();
    EXPECT_EQ(world_.time.pendingCount(), 1u);
    world_.time.advance(1.0);
    EXPECT_EQ(world_.photos.fetchCount, 1);

    // Both features switched off while the retry waits: the retry ends the
    // run, so the next capture end is heard again.
    settings().recWatermarkEnabled = false;
    world_.time.advance(1.5);
    EXPECT_FALSE(observer().recordingProcessingForTesting());
    EXPECT_EQ(world_.photos.fetchCount, 1);
    EXPECT_EQ(world_.time.pendingCount(), 0u);

    // Both off from the start: nothing happens at all.
    observer().stop();
    EXPECT_FALSE(observer().recordingProcessingForTesting());
    EXPECT_EQ(world_.time.pendingCount(), 0u);

    // A shell template that cannot be read as numbers fails the pipeline's
    // preparation: the run ends without an export, and the next one starts.
    settings().recShellEnabled = true;
    world_.fs.put(std::string(kShellFolder) + "/frame.png", pngOf(solid(40, 80, 0xffff0000)));
    world_.fs.put(std::string(kShellFolder) + "/frame.cfg", "[1, 2]");
    recording(1, "fresh");
    observer().stop();
    world_.time.advance(1.6);
    EXPECT_TRUE(exported().empty());
    EXPECT_FALSE(observer().recordingProcessingForTesting());
    observer().stop();
    EXPECT_TRUE(observer().recordingProcessingForTesting());
}

}  // namespace
}  // namespace plinthora::testing
