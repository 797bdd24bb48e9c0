// `plinthora frame` as a user runs it: real binary, real files.
#include "host/common/SampleAssets.h"
#include "platform/linux/FolderPhotoLibrary.h"
#include "platform/linux/LinuxPlatform.h"
#include "platform/linux/MediaContent.h"
#include "platform/linux/QtImaging.h"
#include "platform/ports/Value.h"

#include "MediaTestSupport.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QImage>
#include <QProcess>
#include <QProcessEnvironment>
#include <QTemporaryDir>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <array>
#include <cstdio>
#include <cstdlib>
#include <set>
#include <string>
#include <vector>

namespace plinthora {
namespace {

using mediatest::capture;

struct CommandResult {
    int exitCode;
    QString out, err;
};

class FrameCommandTest : public ::testing::Test {
protected:
    void SetUp() override {
        dir_ = tmp_.path();
        ASSERT_TRUE(host::makeSampleScreenshot(117, 253).save(dir_ + "/shot.png"));
        host::SampleShell shell = host::makeSampleShell(135, 275);
        ASSERT_TRUE(shell.image.save(dir_ + "/shell.png"));
        ASSERT_TRUE(linux_platform::writeAtomically((dir_ + "/shell.cfg").toStdString(), shell.templateJson));
        QImage mark(10, 10, QImage::Format_ARGB32);
        mark.fill(qRgba(255, 255, 255, 255));
        ASSERT_TRUE(mark.save(dir_ + "/mark.png"));
    }

    CommandResult run(const QStringList& args, const QString& prefs = QString()) {
        QProcess p;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("PLINTHORA_DEVICE_ROOT", dir_ + "/device");
        env.insert("QT_QPA_PLATFORM", "offscreen");
        // As under cron or su: Qt complains of this unless kept quiet.
        env.remove("XDG_RUNTIME_DIR");
        env.remove("PLINTHORA_DEBUG");
        p.setProcessEnvironment(env);
        if (!prefs.isEmpty()) {
            QDir().mkpath(dir_ + "/device/Library/Preferences");
            QFile f(dir_ + "/device/Library/Preferences/com.ozrin.plinthora.plist");
            f.open(QIODevice::WriteOnly);
            f.write(prefs.toUtf8());
        }
        p.start(QString(PLINTHORA_BINARY_DIR) + "/host/plinthora", QStringList{"frame"} + args);
        p.waitForFinished(60000);
        return {p.exitCode(), QString::fromUtf8(p.readAllStandardOutput()),
                QString::fromUtf8(p.readAllStandardError())};
    }

    QTemporaryDir tmp_;
    QString dir_;
};

TEST_F(FrameCommandTest, FramesIntoTheShellBesideTheInput) {
    CommandResult r = run({dir_ + "/shot.png", "--shell", dir_ + "/shell.png"});
    ASSERT_EQ(r.exitCode, 0) << r.err.toStdString();
    EXPECT_EQ(r.out.trimmed(), dir_ + "/shot-framed.png");
    QImage out(dir_ + "/shot-framed.png");
    EXPECT_EQ(out.size(), QSize(135, 275));
    EXPECT_EQ(qAlpha(out.pixel(0, 0)), 0);
}

TEST_F(FrameCommandTest, BadInputGivesOneLineAndFailure) {
    QFile junk(dir_ + "/junk.png");
    junk.open(QIODevice::WriteOnly);
    junk.write("not an image");
    junk.close();
    struct Case {
        const char* what;
        QStringList args;
    };
    const std::vector<Case> cases = {
        {"missing input", {dir_ + "/nope.png"}},
        {"undecodable input", {dir_ + "/junk.png"}},
        {"no input", {}},
        {"undecodable shell", {dir_ + "/shot.png", "--shell", dir_ + "/junk.png"}},
        {"overwriting the input", {dir_ + "/shot.png", "-o", dir_ + "/shot.png"}},
        {"bad mode", {dir_ + "/shot.png", "--mode", "two"}},
        {"mode out of range", {dir_ + "/shot.png", "--mode", "3"}},
        {"unknown blend", {dir_ + "/shot.png", "--blend", "screen"}},
        {"opacity out of range", {dir_ + "/shot.png", "--opacity", "1.5"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        CommandResult r = run(c.args);
        EXPECT_NE(r.exitCode, 0);
        const QStringList lines = r.err.trimmed().split('\n');
        ASSERT_FALSE(lines.isEmpty());
        EXPECT_TRUE(lines.last().startsWith("plinthora frame: ")) << r.err.toStdString();
        EXPECT_TRUE(r.out.isEmpty());
    }
    // The input is untouched.
    EXPECT_EQ(QImage(dir_ + "/shot.png").size(), QSize(117, 253));
}

// A batch: a folder with one undecodable picture and a file given beside
// it, into an output folder that does not exist yet. The others are framed,
// the bad one is named on one line, the exit status says something failed,
// and a second run replaces nothing.
TEST_F(FrameCommandTest, BatchFramesTheRestNamesTheBadOneAndReplacesNothing) {
    QDir().mkpath(dir_ + "/in");
    for (const QString name : {"a.png", "b.png", "c.PNG"})
        ASSERT_TRUE(host::makeSampleScreenshot(117, 253).save(dir_ + "/in/" + name, "PNG"));
    QFile junk(dir_ + "/in/broken.png");
    ASSERT_TRUE(junk.open(QIODevice::WriteOnly));
    junk.write("\x89PNG but not really");
    junk.close();
    const QString out = dir_ + "/out/new";
    const QStringList args = {dir_ + "/in", dir_ + "/shot.png", "-o", out, "--shell", dir_ + "/shell.png"};

    CommandResult r = run(args);
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_EQ(r.err, "plinthora frame: " + dir_ + "/in/broken.png: not a PNG or JPEG image, or too large\n");
    QStringList written = r.out.split('\n', Qt::SkipEmptyParts);
    written.sort();
    EXPECT_EQ(written, (QStringList{out + "/a-framed.png", out + "/b-framed.png", out + "/c-framed.png",
                                    out + "/shot-framed.png"}));
    for (const QString& path : written) EXPECT_EQ(QImage(path).size(), QSize(135, 275)) << path.toStdString();

    QFile mine(out + "/a-framed.png");
    ASSERT_TRUE(mine.open(QIODevice::WriteOnly | QIODevice::Truncate));
    mine.write("mine");
    mine.close();
    r = run(args);
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_TRUE(r.out.contains(out + "/a-framed-2.png\n")) << r.out.toStdString();
    ASSERT_TRUE(mine.open(QIODevice::ReadOnly));
    EXPECT_EQ(mine.readAll(), "mine");
    EXPECT_EQ(QDir(out).entryList(QDir::Files | QDir::Hidden).size(), 8);  // no temporary left behind
}

TEST_F(FrameCommandTest, OptionsOverrideThePreferences) {
    const QString prefs = QString::fromStdString(linux_platform::LibplistPropertyLists().toXml(
        Value::dict({{"sr_watermarkOpacity", Value::real(0.0)}, {"sr_watermarkMode", Value::integer(1)}})));
    const QStringList base = {dir_ + "/shot.png", "--shell", dir_ + "/shell.png", "--watermark", dir_ + "/mark.png"};

    ASSERT_EQ(run(base + QStringList{"-o", dir_ + "/faint.png"}, prefs).exitCode, 0);
    ASSERT_EQ(run({dir_ + "/shot.png", "--shell", dir_ + "/shell.png", "-o", dir_ + "/plain.png"}, prefs).exitCode, 0);
    ASSERT_EQ(run(base + QStringList{"-o", dir_ + "/strong.png", "--opacity", "1"}, prefs).exitCode, 0);

    // Opacity 0 from the file: as if there were no watermark.
    EXPECT_EQ(QImage(dir_ + "/faint.png"), QImage(dir_ + "/plain.png"));
    // --opacity 1 wins over the file: an opaque white mark over everything.
    EXPECT_EQ(QImage(dir_ + "/strong.png").pixel(67, 137), qRgba(255, 255, 255, 255));
}

// A movie goes through the recording pipeline without the daemon: told
// apart by its content (here under a picture's name), framed into an MP4 of
// the shell's size made even, its audio kept. A movie that cannot be read
// is one line and a failure, and leaves nothing behind.
TEST_F(FrameCommandTest, MoviesAreFramedWithTheirAudioAndBadOnesFailInOneLine) {
    const QString movie = dir_ + "/clip.png";
    ASSERT_EQ(std::system(("ffmpeg -v error -nostdin -y -f lavfi -i color=c=red:s=116x252:r=30:d=0.5 -f lavfi "
                           "-i sine=duration=0.5 -c:v libx264 -pix_fmt yuv420p -c:a aac -f mp4 '" +
                           movie + "'")
                              .toUtf8()
                              .constData()),
              0);
    QFile whole(movie);
    ASSERT_TRUE(whole.open(QIODevice::ReadOnly));
    const QByteArray bytes = whole.readAll();
    QFile cut(dir_ + "/cut.mp4");
    ASSERT_TRUE(cut.open(QIODevice::WriteOnly));
    cut.write(bytes.left(bytes.size() / 2));
    cut.close();
    QFile fake(dir_ + "/fake.mp4");
    ASSERT_TRUE(fake.open(QIODevice::WriteOnly));
    fake.write(QByteArray("\0\0\0\x18"
                          "ftypisom",
                          12) +
               QByteArray(200, 'x'));
    fake.close();

    CommandResult r = run({movie, "--shell", dir_ + "/shell.png"});
    ASSERT_EQ(r.exitCode, 0) << r.err.toStdString();
    const QString framed = dir_ + "/clip-framed.mp4";
    EXPECT_EQ(r.out.trimmed(), framed);
    const auto info = nlohmann::json::parse(
        capture("ffprobe -v error -print_format json -show_streams '" + framed + "'"), nullptr, false);
    ASSERT_TRUE(info.is_object());
    std::vector<std::string> kinds;
    for (const auto& st : info["streams"]) {
        kinds.push_back(st.value("codec_name", ""));
        if (st.value("codec_type", "") != "video") continue;
        EXPECT_EQ(st.value("width", 0), 136);  // 135 × 275 made even
        EXPECT_EQ(st.value("height", 0), 276);
        EXPECT_EQ(st.value("avg_frame_rate", ""), "30/1");
    }
    EXPECT_EQ(kinds, (std::vector<std::string>{"h264", "aac"}));
    // The recording fills the hole; the canvas around the device is black.
    const std::string rgb =
        capture("ffmpeg -v error -nostdin -i '" + framed + "' -frames:v 1 -f rawvideo -pix_fmt rgb24 -");
    ASSERT_EQ(rgb.size(), size_t(136 * 276 * 3));
    auto pixel = [&](int x, int y) {
        const size_t i = (size_t(y) * 136 + size_t(x)) * 3;
        return std::array<int, 3>{uint8_t(rgb[i]), uint8_t(rgb[i + 1]), uint8_t(rgb[i + 2])};
    };
    const auto centre = pixel(67, 137), corner = pixel(0, 0);
    EXPECT_GT(centre[0], 230);
    EXPECT_LT(centre[1] + centre[2], 30);
    EXPECT_LT(corner[0] + corner[1] + corner[2], 15);

    for (const QString name : {"cut.mp4", "fake.mp4"}) {
        SCOPED_TRACE(name.toStdString());
        r = run({dir_ + "/" + name, "--shell", dir_ + "/shell.png"});
        EXPECT_EQ(r.exitCode, 1);
        EXPECT_TRUE(r.out.isEmpty());
        EXPECT_TRUE(r.err.startsWith("plinthora frame: " + dir_ + "/" + name + ": ")) << r.err.toStdString();
        EXPECT_EQ(r.err.count('\n'), 1) << r.err.toStdString();
    }
    // Nothing else appeared: no output for the bad ones, no temporary file.
    QStringList files = QDir(dir_).entryList(QDir::Files | QDir::Hidden);
    files.sort();
    EXPECT_EQ(files, (QStringList{"clip-framed.mp4", "clip.png", "cut.mp4", "fake.mp4", "mark.png", "shell.cfg",
                                  "shell.png", "shot.png"}));
}

// What screen recorders write, as short movies made here: each is known by
// its bytes and by its name, indexed as a recording, and framed from a
// folder into an MP4. An Ogg of sound only is none of these, and our own
// results in the folder (marked, whatever their name) are left out, so a
// second run over it frames nothing twice.
TEST_F(FrameCommandTest, EveryRecordersContainerIsKnownIndexedAndFramedFromAFolder) {
    using linux_platform::MovieContainer;
    struct Case {
        const char* name;
        const char* codec;  // ffmpeg's arguments after the input
        MovieContainer container;
    };
    const std::vector<Case> cases = {
        {"a.mp4", "-c:v libx264", MovieContainer::Mpeg4},
        {"b.mov", "-c:v libx264", MovieContainer::Mpeg4},
        {"c.mkv", "-c:v libx264", MovieContainer::Matroska},
        {"d.webm", "-c:v libvpx", MovieContainer::Matroska},
        {"e.ts", "-c:v libx264 -f mpegts", MovieContainer::MpegTs},
        {"f.m2ts", "-c:v libx264 -f mpegts -mpegts_m2ts_mode 1", MovieContainer::MpegTs},
        {"g.ogv", "-c:v libtheora", MovieContainer::Ogg},
        {"h.ogg", "-c:v libtheora", MovieContainer::Ogg},
        {"i.avi", "-c:v mpeg4", MovieContainer::Avi},
        {"j.flv", "-c:v flv", MovieContainer::Flv},
    };
    const QString casts = dir_ + "/casts";
    ASSERT_TRUE(QDir().mkpath(casts));
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string path = (casts + "/" + c.name).toStdString();
        ASSERT_EQ(std::system(("ffmpeg -v error -nostdin -y -f lavfi -i testsrc=s=58x126:r=15:d=0.2 " +
                               std::string(c.codec) + " '" + path + "'")
                                  .c_str()),
                  0);
        EXPECT_EQ(linux_platform::movieContainer(*linux_platform::readFileHead(path)), c.container);
    }
    const std::string voice = (casts + "/voice.ogg").toStdString();
    ASSERT_EQ(
        std::system(("ffmpeg -v error -nostdin -y -f lavfi -i sine=d=0.2 -c:a libvorbis '" + voice + "'").c_str()), 0);
    EXPECT_EQ(linux_platform::movieContainer(*linux_platform::readFileHead(voice)), MovieContainer::None);
    {
        linux_platform::QtImaging imaging;
        linux_platform::FolderPhotoLibrary library(imaging, dir_ + "/device/shots", casts);
        std::set<std::string> indexed, expected;
        for (const Asset& a : library.fetchNewest(MediaType::Video, 100, 0)) indexed.insert(a.localIdentifier);
        for (const Case& c : cases) expected.insert(std::string("vid:") + c.name);
        EXPECT_EQ(indexed, expected);
    }

    const QString out = dir_ + "/out";
    CommandResult r = run({casts, "--shell", dir_ + "/shell.png", "-o", out + "/"});
    ASSERT_EQ(r.exitCode, 0) << r.err.toStdString();
    QStringList framed = QDir(out).entryList(QDir::Files);
    ASSERT_EQ(framed.size(), int(cases.size())) << framed.join(' ').toStdString();
    for (const Case& c : cases) {
        const QString result = out + "/" + QFileInfo(c.name).completeBaseName() + "-framed.mp4";
        EXPECT_EQ(capture("ffprobe -v error -select_streams v:0 -show_entries stream=codec_name,width,height "
                          "-of csv=p=0 '" +
                          result + "'"),
                  "h264,136,276\n")
            << c.name;
    }
    // Our results, moved in among the recordings under any name: nothing
    // new is framed.
    ASSERT_TRUE(QFile::rename(out + "/a-framed.mp4", casts + "/Screencast 2.mp4"));
    ASSERT_TRUE(QFile::rename(out + "/b-framed.mp4", casts + "/Plinthora_20200101_000000_000.mp4"));
    QDir(out).removeRecursively();
    ASSERT_TRUE(QFile::remove(casts + "/a.mp4"));
    ASSERT_TRUE(QFile::remove(casts + "/b.mov"));
    r = run({casts, "--shell", dir_ + "/shell.png", "-o", out + "/"});
    EXPECT_EQ(r.exitCode, 0) << r.err.toStdString();
    EXPECT_EQ(QDir(out).entryList(QDir::Files).size(), int(cases.size()) - 2);
}

}  // namespace
}  // namespace plinthora
