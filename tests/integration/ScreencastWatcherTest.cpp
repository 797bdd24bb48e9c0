// The screencast folder as the host reads it: real files, real inotify.
#include "MediaTestSupport.h"

#include "host/daemon/ScreencastWatcher.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <set>

namespace plinthora::testing {
namespace {

using host::ScreencastWatcher;
using mediatest::waitUntil;

TEST(ScreencastWatcherNames, WhichNamesARecorderMayBeWriting) {
    struct Case {
        const char* name;
        bool recording;
    } cases[] = {
        {"Screencast.mp4", true},     {"Screencast.MOV", true},      {"a.webm", true},
        {"a.mkv", true},              {"a.webm.part", true},         {"a.mp4.tmp", true},
        {"a.mp4~", true},             {".a.mp4", false},             {".Plinthora_1.mp4.tmp", false},
        {"a.png", false},             {"a.mp4.png", false},          {".mp4", false},
        {"mp4", false},               {"", false},                   {"a.part", false},
    };
    for (const Case& c : cases) EXPECT_EQ(ScreencastWatcher::isRecordingName(c.name), c.recording) << c.name;
}

class ScreencastWatcherTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(dir_.isValid());
        watcher_ = std::make_unique<ScreencastWatcher>(
            dir_.path(), [this](const QString& p) { return own_.count(p.toStdString()) != 0; }, 200);
        ASSERT_TRUE(watcher_->isWatching());
        QObject::connect(watcher_.get(), &ScreencastWatcher::captureChanged,
                         [this](bool on) { changes_.push_back(on); });
    }

    QString path(const char* name) { return QDir(dir_.path()).filePath(name); }

    static void writeSome(QFile& f) {
        f.write(QByteArray(65536, '\1'));
        f.flush();
    }

    // A recording from start to end; waits for the capture to end.
    void record(const char* name) {
        QFile f(path(name));
        ASSERT_TRUE(f.open(QIODevice::WriteOnly));
        writeSome(f);
        const size_t before = changes_.size();
        waitUntil([&] { return watcher_->capturing(); });
        writeSome(f);
        f.close();
        ASSERT_TRUE(waitUntil([&] { return changes_.size() > before && !watcher_->capturing(); }));
    }

    QTemporaryDir dir_;
    std::set<std::string> own_;
    std::unique_ptr<ScreencastWatcher> watcher_;
    std::vector<bool> changes_;
};

TEST_F(ScreencastWatcherTest, ARecordingTurnsTheCaptureOnAndItsCloseTurnsItOff) {
    record("Screencast.mp4");
    EXPECT_EQ(changes_, (std::vector<bool>{true, false}));
}

TEST_F(ScreencastWatcherTest, AFileReopenedToFinishItIsOneRecording) {
    QFile f(path("Screencast.mp4"));
    ASSERT_TRUE(f.open(QIODevice::WriteOnly));
    writeSome(f);
    ASSERT_TRUE(waitUntil([&] { return watcher_->capturing(); }));
    f.close();
    // The writer comes back to move the index to the front.
    ASSERT_TRUE(f.open(QIODevice::ReadWrite));
    writeSome(f);
    f.close();
    ASSERT_TRUE(waitUntil([&] { return !watcher_->capturing(); }));
    EXPECT_EQ(changes_, (std::vector<bool>{true, false}));
}

TEST_F(ScreencastWatcherTest, ReadersTemporaryFilesOtherFilesAndOwnResultsAreNoCapture) {
    {
        QFile done(path("Old.mp4"));
        ASSERT_TRUE(done.open(QIODevice::WriteOnly));
        writeSome(done);
    }
    ASSERT_TRUE(waitUntil([&] { return !watcher_->capturing() && changes_.size() == 2; }));
    changes_.clear();

    // Each of these, had it counted, would be reported before the real
    // recording below: inotify keeps the order.
    QFile reader(path("Old.mp4"));
    ASSERT_TRUE(reader.open(QIODevice::ReadOnly));
    reader.readAll();
    reader.close();
    for (const char* name : {".Plinthora_x.mp4.tmp", "notes.txt", "shot.png"}) {
        QFile f(path(name));
        ASSERT_TRUE(f.open(QIODevice::WriteOnly));
        writeSome(f);
    }
    own_.insert(path("Plinthora_1.mp4").toStdString());
    ASSERT_TRUE(QFile::link(path("Old.mp4"), path("Plinthora_1.mp4")) || QFile::copy(path("Old.mp4"), path("Plinthora_1.mp4")));

    record("Real.webm");
    EXPECT_EQ(changes_, (std::vector<bool>{true, false}));
}

TEST_F(ScreencastWatcherTest, OverlappingRecordingsEndWhenTheLastOneCloses) {
    QFile a(path("a.mp4")), b(path("b.mkv"));
    ASSERT_TRUE(a.open(QIODevice::WriteOnly));
    writeSome(a);
    ASSERT_TRUE(b.open(QIODevice::WriteOnly));
    writeSome(b);
    ASSERT_TRUE(waitUntil([&] { return watcher_->capturing(); }));
    a.close();
    writeSome(b);
    b.close();
    ASSERT_TRUE(waitUntil([&] { return !watcher_->capturing(); }));
    EXPECT_EQ(changes_, (std::vector<bool>{true, false}));
}

}  // namespace
}  // namespace plinthora::testing
