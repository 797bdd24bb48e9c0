// The sound port with and without a device. Without one it must stay
// silent and give up quietly; with ALSA's null device the play path runs
// for real.
#include "platform/linux/CanberraSound.h"

#include "MediaTestSupport.h"

#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <thread>
#include <vector>

using namespace plinthora::linux_platform;
using namespace plinthora::mediatest;

namespace {

TEST(CanberraSoundTest, OnlyTheCompletionSoundHasAnEvent) {
    struct Case {
        int id;
        const char* event;
    };
    for (const Case& c :
         std::vector<Case>{{1519, "complete"}, {0, nullptr}, {1108, nullptr}, {-1, nullptr}, {1520, nullptr}}) {
        const char* got = CanberraSound::eventIdFor(c.id);
        if (!c.event) {
            EXPECT_EQ(got, nullptr) << c.id;
        } else {
            EXPECT_STREQ(got, c.event) << c.id;
        }
    }
}

// HOME points at a folder whose .asoundrc makes the default ALSA device a
// null sink, so playing succeeds without sound hardware.
class NullDeviceSoundTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(home.isValid());
        ASSERT_TRUE(writeFile(home.path() + "/.asoundrc", "pcm.!default { type null }\n"));
    }
    QTemporaryDir home;
    ScopedEnv homeEnv{"HOME", home.path().toStdString()};
};

TEST_F(NullDeviceSoundTest, PlaysTheCompletionSoundAndIgnoresOtherIds) {
    CanberraSound sound;
    for (int id : {0, 1108, -5, 4095}) sound.play(id);
    EXPECT_EQ(sound.attempts(), 0) << "ids without a sound never reach libcanberra";
    sound.play(1519);
    if (!sound.available()) GTEST_SKIP() << "ALSA configuration already loaded without the null device";
    sound.play(1519);
    EXPECT_EQ(sound.attempts(), 2);
    EXPECT_TRUE(sound.available());
}

// Threads of this process now.
int threadCount() { return int(QDir("/proc/self/task").entryList(QDir::Dirs | QDir::NoDotAndDotDot).size()); }

// A port that goes away while its sound is still playing (at exit, or a
// second port in the same process) must not take the process down: the
// backend finishes each sound on a thread of its own, after the port is
// gone. Each round waits for that thread to end before the next port loads
// the backend again, so every round is a chance for a thread to return
// into unloaded code.
TEST_F(NullDeviceSoundTest, PortsCanGoAwayWhileTheirSoundStillPlays) {
    const int before = threadCount();
    int playingAtTheEnd = 0;
    for (int round = 0; round < 20; ++round) {
        {
            CanberraSound sound;
            sound.play(1519);
            if (!sound.available()) GTEST_SKIP() << "ALSA configuration already loaded without the null device";
            ASSERT_EQ(sound.attempts(), 1) << "a new port reaches libcanberra with its first sound";
            playingAtTheEnd += threadCount() > before;
        }
        ASSERT_TRUE(waitUntil([&] { return threadCount() <= before; }, 30000)) << "a sound never ended";
    }
    EXPECT_GT(playingAtTheEnd, 0) << "no sound was still playing when its port went away";
}

TEST(CanberraSoundTest, PlayingWithOrWithoutADeviceIsSafeFromAnyThread) {
    CanberraSound sound;
    sound.play(1519);
    sound.play(1519);
    std::vector<std::thread> threads;
    for (int i = 0; i < 4; ++i) threads.emplace_back([&] { sound.play(1519); });
    for (auto& t : threads) t.join();
    // Either every play reached libcanberra, or it gave up at the first
    // failure and stayed quiet after that.
    if (sound.available()) {
        EXPECT_EQ(sound.attempts(), 6);
    } else {
        EXPECT_LE(sound.attempts(), 1);
    }
}

}  // namespace
