// `plinthora frame` as a user runs it: real binary, real files.
#include "host/common/SampleAssets.h"
#include "platform/linux/LinuxPlatform.h"
#include "platform/ports/Value.h"

#include <QDir>
#include <QFile>
#include <QImage>
#include <QProcess>
#include <QProcessEnvironment>
#include <QTemporaryDir>

#include <gtest/gtest.h>

namespace plinthora {
namespace {

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
        return {p.exitCode(), QString::fromUtf8(p.readAllStandardOutput()), QString::fromUtf8(p.readAllStandardError())};
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

}  // namespace
}  // namespace plinthora
