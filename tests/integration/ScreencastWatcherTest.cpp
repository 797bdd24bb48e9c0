// The screencast folder as the host reads it: real files, real inotify.
#include "MediaTestSupport.h"

#include "host/daemon/ScreencastWatcher.h"
#include "platform/linux/FolderPhotoLibrary.h"
#include "platform/linux/QtImaging.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
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
        {"Screencast.mp4", true},
        {"Screencast.MOV", true},
        {"a.webm", true},
        {"a.mkv", true},
        {"a.webm.part", true},
        {"a.mp4.tmp", true},
        {"a.mp4~", true},
        {".a.mp4", false},
        {".Plinthora_1.mp4.tmp", false},
        {"a.png", false},
        {"a.mp4.png", false},
        {".mp4", false},
        {"mp4", false},
        {"", false},
        {"a.part", false},
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
    ASSERT_TRUE(QFile::link(path("Old.mp4"), path("Plinthora_1.mp4")) ||
                QFile::copy(path("Old.mp4"), path("Plinthora_1.mp4")));

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

// Watches of this process, counted over its inotify instances.
std::pair<int, int> inotifyInstancesAndWatches() {
    int instances = 0, watches = 0;
    for (const auto& fd : std::filesystem::directory_iterator("/proc/self/fd")) {
        std::error_code ec;
        if (std::filesystem::read_symlink(fd.path(), ec).string() != "anon_inode:inotify") continue;
        ++instances;
        std::ifstream info("/proc/self/fdinfo/" + fd.path().filename().string());
        for (std::string line; std::getline(info, line);) watches += line.rfind("inotify wd:", 0) == 0;
    }
    return {instances, watches};
}

TEST_F(ScreencastWatcherTest, TheLibraryAndTheWatcherShareOneWatchThatOutlivesEitherOfThem) {
    QTemporaryDir images;
    linux_platform::QtImaging imaging;
    auto library = std::make_unique<linux_platform::FolderPhotoLibrary>(imaging, images.path(), dir_.path());
    std::vector<std::string> completed;
    QObject::connect(
        library.get(), &linux_platform::FolderPhotoLibrary::fileCompleted,
        [&](const QString& p, MediaType, bool) { completed.push_back(QFileInfo(p).fileName().toStdString()); });
    EXPECT_EQ(inotifyInstancesAndWatches(), std::make_pair(1, 2));  // the two folders, once each

    record("one.mp4");
    ASSERT_TRUE(waitUntil([&] { return !completed.empty(); }));
    EXPECT_EQ(completed.back(), "one.mp4");

    // Each keeps working without the other.
    watcher_.reset();
    {
        QFile f(path("two.mp4"));
        ASSERT_TRUE(f.open(QIODevice::WriteOnly));
        writeSome(f);
    }
    ASSERT_TRUE(waitUntil([&] { return completed.back() == "two.mp4"; }));
    watcher_ = std::make_unique<ScreencastWatcher>(dir_.path(), nullptr, 200);
    library.reset();
    EXPECT_EQ(inotifyInstancesAndWatches(), std::make_pair(1, 1));
    QObject::connect(watcher_.get(), &ScreencastWatcher::captureChanged, [this](bool on) { changes_.push_back(on); });
    changes_.clear();
    record("three.mp4");
    EXPECT_EQ(changes_, (std::vector<bool>{true, false}));
}

}  // namespace
}  // namespace plinthora::testing
