// The screenshot and capture triggers, driven by the host's own home screen
// (method table and notifications) on the fakes, in virtual time.
#include "TestWorld.h"

#include "discovery/SRPhotoObserver.h"
#include "host/daemon/HomeScreen.h"
#include "host/daemon/MethodTable.h"

#include <memory>
#include <set>

namespace plinthora::testing {
namespace {

using host::HomeScreen;
using host::MethodTable;

class TriggersTest : public WorldTest {
protected:
    void SetUp() override {
        WorldTest::SetUp();
        startHost({});
    }

    // A host whose method table lacks the methods in `omitted`, with the
    // tweak started on it.
    void startHost(const std::set<std::string>& omitted, bool initTweak = true) {
        resetTweakForTesting();
        // Fresh centres too: observers are never removed, and each start of
        // the tweak adds its own.
        notify_ = std::make_unique<fake::RecordingNotifyCenter>(world_.time);
        localCenter_ = std::make_unique<fake::RecordingNotifyCenter>(world_.time);
        table_ = std::make_unique<MethodTable>();
        home_ = std::make_unique<HomeScreen>(*table_, localCenter_.get(), notify_.get(), omitted);
        world_.install(&plist_, &json_, imaging());
        platform().notify = notify_.get();
        platform().localCenter = localCenter_.get();
        platform().hooks = table_.get();
        if (initTweak) SRTweakInit();
        // Start-up may schedule nothing, but drain what it did.
        world_.time.runPending();
    }

    // One screenshot as the host announces it, with the notifications
    // delivered (they arrive on the main queue).
    void takeScreenshot() {
        home_->screenshotTaken("/shots/one.png");
        world_.time.runPending();
    }

    void setFeatures(bool shell, bool watermark) {
        settings().ssShellEnabled = shell;
        settings().ssWatermarkEnabled = watermark;
    }

    std::unique_ptr<fake::RecordingNotifyCenter> notify_;
    std::unique_ptr<fake::RecordingNotifyCenter> localCenter_;
    std::unique_ptr<MethodTable> table_;
    std::unique_ptr<HomeScreen> home_;
};

TEST_F(TriggersTest, OneScreenshotFiresSixTriggersAndRunsThePipelineOnce) {
    // What one accepted pipeline run costs in fetches here (an empty
    // library: the first search and its retry).
    SRUnifiedProcessor::sharedInstance().processScreenshotWithRetry(false);
    world_.time.advance(10);
    const int oneRun = world_.photos.fetchCount;
    ASSERT_GT(oneRun, 0);
    SRUnifiedProcessor::sharedInstance().resetForTesting();
    world_.photos.fetchCount = 0;

    takeScreenshot();
    // Two hooks of the application wait 2.0 s; the notification, the notify
    // name and the two screenshot-manager hooks wait 2.5 s.
    EXPECT_EQ(world_.time.pendingDelays(), (std::vector<double>{2.0, 2.0, 2.5, 2.5, 2.5, 2.5}));

    world_.time.advance(1.999);
    EXPECT_EQ(world_.photos.fetchCount, 0) << "nothing may look before the delay";
    world_.time.advance(0.001);
    EXPECT_EQ(world_.photos.fetchCount, 1) << "the first trigger's call is accepted at 2.0 s";
    world_.time.advance(10);
    EXPECT_EQ(world_.photos.fetchCount, oneRun) << "the other five calls fall inside the debounce";
    EXPECT_EQ(world_.time.pendingCount(), 0u);
}

TEST_F(TriggersTest, ScreenshotFeatureDecidesWhetherAnythingIsScheduled) {
    struct Case {
        bool shell, watermark;
        size_t scheduled;
    } cases[] = {
        {false, false, 0},
        {true, false, 6},
        {false, true, 6},  // watermark only still processes screenshots
        {true, true, 6},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(::testing::Message() << "shell " << c.shell << ", watermark " << c.watermark);
        SRUnifiedProcessor::sharedInstance().resetForTesting();
        world_.photos.fetchCount = 0;
        setFeatures(c.shell, c.watermark);
        takeScreenshot();
        EXPECT_EQ(world_.time.pendingCount(), c.scheduled);
        world_.time.advance(10);
        EXPECT_EQ(world_.photos.fetchCount > 0, c.scheduled > 0);
        world_.time.advance(10);
    }
}

TEST_F(TriggersTest, FeatureIsReadWhenTheTriggerFires) {
    setFeatures(false, false);
    home_->screenshotTaken("/shots/one.png");
    // Switched on after the hooks ran but before the notifications are
    // delivered: only the two notification triggers see it on.
    setFeatures(true, false);
    world_.time.runPending();
    EXPECT_EQ(world_.time.pendingDelays(), (std::vector<double>{2.5, 2.5}));
}

TEST_F(TriggersTest, HooksCallTheOriginalFirstWithTheSameArguments) {
    struct Case {
        const char* cls;
        const char* sel;
        HostObject self;
        std::any argument;
    };
    bool completionRan = false;
    const Case cases[] = {
        {host::kScreenshotManagerClass, "saveScreenshots", home_->screenshotManager(), {}},
        {host::kScreenshotManagerClass, "saveScreenshotsWithCompletion:", home_->screenshotManager(),
         host::SaveCompletion([&] { completionRan = true; })},
        {host::kApplicationClass, "_handleScreenShot:", home_->application(), host::ScreenshotEvent{"/shots/x.png"}},
        {host::kApplicationClass, "takeScreenshot", home_->application(), {}},
    };
    size_t pendingWhenOriginalRan = 99;
    home_->onCall = [&](const std::string&) { pendingWhenOriginalRan = world_.time.pendingCount(); };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.cls) + " " + c.sel);
        const size_t before = world_.time.pendingCount();
        const size_t callsBefore = home_->calls.size();
        table_->send(c.self, c.cls, c.sel, c.argument);
        ASSERT_EQ(home_->calls.size(), callsBefore + 1) << "the original ran once";
        EXPECT_EQ(home_->calls.back(), std::string(c.cls) + " " + c.sel);
        EXPECT_EQ(pendingWhenOriginalRan, before) << "the original ran before the hook scheduled";
        EXPECT_EQ(world_.time.pendingCount(), before + 1) << "then the hook scheduled its call";
    }
    EXPECT_TRUE(completionRan) << "the completion reached the original untouched";
    EXPECT_EQ(home_->handledEventPaths, std::vector<std::string>{"/shots/x.png"});
}

TEST_F(TriggersTest, AMissingHostMethodLeavesTheOtherHooksInstalled) {
    struct Case {
        const char* omitted;
        size_t screenshotTriggers;  // of six
        bool captureHooked;
    } cases[] = {
        {"SpringBoard takeScreenshot", 5, true},
        {"SpringBoard _handleScreenShot:", 5, true},
        {"SBScreenshotManager saveScreenshots", 5, true},
        {"SBScreenshotManager saveScreenshotsWithCompletion:", 5, true},
        {"UIScreen _setCaptured:", 6, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.omitted);
        startHost({c.omitted});
        settings().recShellEnabled = true;
        EXPECT_FALSE(table_->hookMessage("UIScreen", "noSuchMethod:", {}, nullptr));
        takeScreenshot();
        EXPECT_EQ(world_.time.pendingCount(), c.screenshotTriggers);
        world_.time.advance(10);

        const int starts = SRPhotoObserver::sharedInstance().startCountForTesting;
        home_->setScreenCaptured(true);
        EXPECT_EQ(SRPhotoObserver::sharedInstance().startCountForTesting - starts, c.captureHooked ? 1 : 0);
    }
}

TEST_F(TriggersTest, CaptureStateChangesStartAndStopTheObserver) {
    struct Case {
        bool from, to;
        bool recShell, recWatermark;
        int starts, stops;
    } cases[] = {
        {false, true, true, false, 1, 0},  {true, false, true, false, 0, 1},
        {true, false, false, true, 0, 1},  // watermark alone still counts
        {true, true, true, true, 0, 0},    // no change
        {false, false, true, true, 0, 0},  // no change
        {true, false, false, false, 0, 0}, {false, true, false, false, 0, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(::testing::Message()
                     << c.from << "->" << c.to << " shell " << c.recShell << " watermark " << c.recWatermark);
        // The last case's recording search runs out first.
        world_.time.advance(10);
        // The starting state is set by the host before the tweak is there.
        startHost({}, false);
        home_->setScreenCaptured(c.from);
        SRTweakInit();
        settings().recShellEnabled = c.recShell;
        settings().recWatermarkEnabled = c.recWatermark;
        SRPhotoObserver& observer = SRPhotoObserver::sharedInstance();
        const int starts = observer.startCountForTesting, stops = observer.stopCountForTesting;
        const size_t callsBefore = home_->calls.size();

        home_->setScreenCaptured(c.to);

        EXPECT_EQ(observer.startCountForTesting - starts, c.starts);
        EXPECT_EQ(observer.stopCountForTesting - stops, c.stops);
        ASSERT_EQ(home_->calls.size(), callsBefore + 1) << "the original runs in every case";
        EXPECT_EQ(home_->calls.back(), std::string("UIScreen _setCaptured: ") + (c.to ? "YES" : "NO"));
        EXPECT_EQ(home_->screenCaptured(), c.to);
        EXPECT_EQ(world_.time.pendingDelays(), c.stops ? std::vector<double>{1.5} : std::vector<double>{})
            << "only a capture end schedules work: the recording search, 1.5 s later";
    }
}

TEST_F(TriggersTest, OddCaptureMethodsOfTheHostCountAsNoChange) {
    // The screen is captured; each host below either cannot tell the old
    // state or hands over something that is not a state.
    const auto answering = [](std::any answer) {
        return [answer](MethodTable& t) {
            t.define("UIScreen", "isCaptured", [answer](HostObject, std::any) { return answer; });
        };
    };
    struct Case {
        const char* what;
        std::set<std::string> omitted;
        std::function<void(MethodTable&)> redefine;
        std::any argument;
    };
    const std::vector<Case> cases = {
        {"no isCaptured", {"UIScreen isCaptured"}, nullptr, false},
        {"isCaptured answers an int", {}, answering(1), false},
        {"isCaptured answers nothing", {}, answering(std::any()), false},
        {"_setCaptured: gets an int", {}, nullptr, std::any(0)},
        {"_setCaptured: gets nothing", {}, nullptr, std::any()},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        startHost(c.omitted, false);
        home_->setScreenCaptured(true);
        if (c.redefine) c.redefine(*table_);
        SRTweakInit();
        settings().recShellEnabled = true;
        SRPhotoObserver& observer = SRPhotoObserver::sharedInstance();
        const int starts = observer.startCountForTesting, stops = observer.stopCountForTesting;
        const size_t callsBefore = home_->calls.size();

        EXPECT_NO_THROW(table_->send(home_->screen(), "UIScreen", "_setCaptured:", c.argument));

        EXPECT_EQ(observer.startCountForTesting, starts);
        EXPECT_EQ(observer.stopCountForTesting, stops);
        EXPECT_EQ(home_->calls.size(), callsBefore + 1) << "the original runs in every case";
    }
}

}  // namespace
}  // namespace plinthora::testing
