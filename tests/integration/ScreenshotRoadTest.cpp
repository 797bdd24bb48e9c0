// A screenshot's whole road on the real platform: a PNG in a real folder is
// found by the pipeline, dressed in the sample shell, saved under a new
// name, and the original goes to the Trash or stays, as the settings and
// the save's outcome say.
#include "MediaTestSupport.h"

#include "compositing/SRAssetResolver.h"
#include "compositing/SRUnifiedProcessor.h"
#include "history/RecentCaptureTable.h"
#include "host/common/SampleAssets.h"
#include "platform/fake/FakePlatform.h"
#include "platform/linux/FolderPhotoLibrary.h"
#include "platform/linux/LinuxPlatform.h"
#include "platform/linux/QtImaging.h"
#include "settings/SRSettings.h"

#include <QDir>
#include <QFile>
#include <QImage>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QUrl>

#include <gtest/gtest.h>

#include <cctype>
#include <csignal>
#include <cstdlib>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

namespace plinthora {
namespace {

using mediatest::waitUntil;

// Pixels that are not opaque and that no path of non-opaque pixels joins to
// the canvas's border: see-through spots inside the device (a hairline
// between bezel and picture). The empty canvas and the body's soft outer
// rim are reachable from the border and do not count.
int seeThroughInsideDevice(const QImage& image) {
    const QImage img = image.convertToFormat(QImage::Format_ARGB32);
    const int w = img.width(), h = img.height();
    auto clear = [&](int x, int y) { return qAlpha(reinterpret_cast<const QRgb*>(img.constScanLine(y))[x]) < 255; };
    std::vector<char> reached(size_t(w) * size_t(h), 0);
    std::vector<std::pair<int, int>> todo;
    auto visit = [&](int x, int y) {
        if (x < 0 || y < 0 || x >= w || y >= h || reached[size_t(y) * w + x] || !clear(x, y)) return;
        reached[size_t(y) * w + x] = 1;
        todo.emplace_back(x, y);
    };
    for (int x = 0; x < w; ++x) visit(x, 0), visit(x, h - 1);
    for (int y = 0; y < h; ++y) visit(0, y), visit(w - 1, y);
    while (!todo.empty()) {
        const auto [x, y] = todo.back();
        todo.pop_back();
        visit(x + 1, y), visit(x - 1, y), visit(x, y + 1), visit(x, y - 1);
    }
    int enclosed = 0;
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) enclosed += clear(x, y) && !reached[size_t(y) * w + x];
    return enclosed;
}

class ScreenshotRoadTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(tmp_.isValid());
        root_ = tmp_.path();
        ::setenv("PLINTHORA_DEVICE_ROOT", (root_ + "/device").toUtf8().constData(), 1);
        ::setenv("XDG_DATA_HOME", (root_ + "/data").toUtf8().constData(), 1);
        shots_ = root_ + "/Screenshots";
        library_ = std::make_unique<linux_platform::FolderPhotoLibrary>(
            imaging_, shots_, root_ + "/Screencasts", linux_platform::Trash(linux_platform::Trash::defaultHomeTrash()));

        Platform p;
        ports_.fillIn(p);
        p.notify = &notify_;
        p.imaging = &imaging_;
        p.photos = library_.get();
        p.pasteboard = &pasteboard_;
        p.sound = &sound_;
        p.screen = &screen_;
        setPlatform(p);
        resetRecentCaptureTableForTesting();
        SRUnifiedProcessor::sharedInstance().resetForTesting();
        host::installSampleAssets(ports_.fs);
        loadSettings();
    }
    void TearDown() override {
        library_->waitForPendingWork();
        ::unsetenv("PLINTHORA_DEVICE_ROOT");
    }

    QString dropScreenshot(const QString& name) {
        const QString path = shots_ + "/" + name;
        EXPECT_TRUE(host::makeSampleScreenshot(1170, 2532).save(path, "PNG"));
        // The library learns of it from inotify, as it would of any new file.
        const std::string id = "img:" + name.toStdString();
        EXPECT_TRUE(waitUntil([&] {
            for (const Asset& a : library_->fetchNewest(MediaType::Image, 5, 0))
                if (a.localIdentifier == id) return true;
            return false;
        }));
        return path;
    }
    QStringList results() {
        QStringList out;
        for (const QString& n : QDir(shots_).entryList(QDir::Files))
            if (library_->wroteItself(shots_ + "/" + n)) out << shots_ + "/" + n;
        return out;
    }
    void runPipeline() {
        SRUnifiedProcessor::sharedInstance().processScreenshotWithRetry(false);
        library_->waitForPendingWork();
        // Completions may have queued work for the main thread.
        waitUntil([] { return false; }, 50);
    }

    QTemporaryDir tmp_;
    QString root_, shots_;
    linux_platform::QtImaging imaging_;
    linux_platform::BasicPorts ports_;
    fake::RecordingNotifyCenter notify_{ports_.dispatch};
    fake::RecordingPasteboard pasteboard_;
    fake::RecordingSound sound_;
    fake::FixedScreen screen_;
    std::unique_ptr<linux_platform::FolderPhotoLibrary> library_;
};

TEST_F(ScreenshotRoadTest, ScreenshotIsFramedAndSavedUnderANewName) {
    const QString original = dropScreenshot("Screenshot 1.png");
    runPipeline();

    const QStringList saved = results();
    ASSERT_EQ(saved.size(), 1);
    EXPECT_NE(saved[0], original);
    QImage framed(saved[0]);
    EXPECT_EQ(framed.size(), QSize(1350, 2750));  // the sample shell's size
    EXPECT_EQ(qAlpha(framed.pixel(0, 0)), 0);     // outside the body
    EXPECT_EQ(qAlpha(framed.pixel(675, 1375)), 255);
    EXPECT_EQ(seeThroughInsideDevice(framed), 0);
    EXPECT_TRUE(QFile::exists(original));
    EXPECT_EQ(sound_.played, std::vector<int>{1519});
    EXPECT_EQ(lastSavedAssetIdentifier(), "img:" + QFileInfo(saved[0]).fileName().toStdString());
}

// The samples fit their own templates: framed by a plain warp and the shell
// drawn over it, with no mending of the hole's edge, a screen-sized
// picture leaves no sliver inside either device.
// The landscape sample is a desktop's: its screen is upright 16:9, so a
// 1920 x 1080 screenshot keeps its shape (and here its very size).
TEST_F(ScreenshotRoadTest, SampleShellsHoldTheirPictureWithoutASliver) {
    for (bool landscape : {false, true}) {
        SCOPED_TRACE(landscape ? "landscape" : "portrait");
        const std::string path = std::string(landscape ? kLandscapeShellFolder : kShellFolder) +
                                 (landscape ? "/Sample Laptop.png" : "/Sample Phone.png");
        const Image shell = loadImageFile(path);
        ASSERT_TRUE(shell);
        const QImage shot = host::makeSampleScreenshot(landscape ? 1920 : 1170, landscape ? 1080 : 2532);
        auto content = std::make_shared<Bitmap>(shot.width(), shot.height());
        for (int y = 0; y < shot.height(); ++y)
            for (int x = 0; x < shot.width(); ++x) content->at(x, y) = shot.pixel(x, y);  // opaque
        const SRShellLayout l =
            SRUnifiedProcessor::sharedInstance().getLayoutForShell(path, shell->size(), content->size());
        if (landscape) {
            EXPECT_EQ(l.lt.y, l.rt.y);
            EXPECT_EQ(l.lb.y, l.rb.y);
            EXPECT_EQ(l.lt.x, l.lb.x);
            EXPECT_EQ(l.rt.x, l.rb.x);
            EXPECT_EQ(l.rt.x - l.lt.x, 1920);
            EXPECT_EQ(l.lb.y - l.lt.y, 1080);
        }
        Bitmap plain = imaging_.perspective(*content, Quad{l.lt, l.rt, l.lb, l.rb}, shell->width, shell->height);
        imaging_.draw(plain, *shell, Rect{0, 0, double(shell->width), double(shell->height)}, BlendMode::Normal, 1.0);
        const QImage framed(reinterpret_cast<const uchar*>(plain.pixels.data()), plain.width, plain.height,
                            QImage::Format_ARGB32_Premultiplied);
        EXPECT_EQ(qAlpha(framed.pixel(plain.width / 2, plain.height / 2)), 255);
        EXPECT_EQ(seeThroughInsideDevice(framed), 0);
    }
}

TEST_F(ScreenshotRoadTest, DeletedOriginalGoesToTheTrashRestorably) {
    settings().deleteOriginal = true;
    const QString original = dropScreenshot("shot 100%.png");
    runPipeline();
    ASSERT_TRUE(waitUntil([&] { return !QFile::exists(original); }));

    ASSERT_EQ(results().size(), 1);
    const QString trash = root_ + "/data/Trash";
    EXPECT_TRUE(QFile::exists(trash + "/files/shot 100%.png"));
    auto info = mediatest::readFile(trash + "/info/shot 100%.png.trashinfo");
    ASSERT_TRUE(info);
    const QString text = QString::fromUtf8(*info);
    EXPECT_TRUE(text.startsWith("[Trash Info]\n")) << text.toStdString();
    const QString encoded = QString::fromUtf8(QUrl::toPercentEncoding(original, "/"));
    EXPECT_TRUE(text.contains("\nPath=" + encoded + "\n")) << text.toStdString();
    EXPECT_TRUE(text.contains(QRegularExpression("\nDeletionDate=\\d{4}-\\d\\d-\\d\\dT\\d\\d:\\d\\d:\\d\\d\n")));
}

TEST_F(ScreenshotRoadTest, FailedSaveKeepsTheOriginalAndReportsNothing) {
    settings().deleteOriginal = true;
    const QString original = dropScreenshot("Screenshot 2.png");
    // No file may grow past 4 KiB while the pipeline runs: the result's
    // write fails the way a full disk makes it fail (root ignores modes).
    std::signal(SIGXFSZ, SIG_IGN);
    rlimit old{};
    ::getrlimit(RLIMIT_FSIZE, &old);
    rlimit small = old;
    small.rlim_cur = 4096;
    ::setrlimit(RLIMIT_FSIZE, &small);
    runPipeline();
    ::setrlimit(RLIMIT_FSIZE, &old);

    EXPECT_TRUE(isRecentlyHandled("img:Screenshot 2.png"));  // it was taken up
    EXPECT_TRUE(results().isEmpty());
    EXPECT_TRUE(QFile::exists(original));
    EXPECT_TRUE(sound_.played.empty());
    EXPECT_FALSE(lastSavedAssetIdentifier());
    EXPECT_EQ(QDir(shots_).entryList(QDir::Files | QDir::Hidden).size(), 1);  // no temp left
}

// Bad input on the screenshot road: whatever the preferences, the asset
// folders or the capture hold, the tweak ends silently, the original stays
// as it was, and nothing is read from outside the asset folders.
struct BadInput {
    const char* what;
    // Arranges the bad input; `t` gives the test's folders.
    std::function<void(class BadInputTest& t)> arrange;
    QSize expected;  // the result's size; empty: no result at all
};
void PrintTo(const BadInput& c, std::ostream* os) { *os << c.what; }

// The CRC of a PNG chunk (type and data), for headers the tests rewrite.
quint32 pngCrc(const char* p, int n) {
    quint32 c = 0xffffffffu;
    for (int i = 0; i < n; ++i) {
        c ^= quint8(p[i]);
        for (int k = 0; k < 8; ++k) c = (c >> 1) ^ (0xedb88320u & (0u - (c & 1u)));
    }
    return ~c;
}

class BadInputTest : public ScreenshotRoadTest, public ::testing::WithParamInterface<BadInput> {
public:
    using ScreenshotRoadTest::ports_;
    QString prefsPath() const { return QString::fromStdString(ports_.fs.realPath(kPreferencesPath)); }
    QString assets(const char* folder = kShellFolder) const {
        return QString::fromStdString(ports_.fs.realPath(folder));
    }
    void writePrefs(const QByteArray& bytes) {
        QDir().mkpath(QFileInfo(prefsPath()).path());
        ASSERT_TRUE(mediatest::writeFile(prefsPath(), bytes));
    }
    void writePrefs(const Value::Dict& d) { writePrefs(QByteArray::fromStdString(ports_.plist.toXml(Value::dict(d)))); }
    // A shell of its own size beside the asset folders: a result of this
    // size would mean a name reached outside them.
    void plantOutsideShell() {
        ASSERT_TRUE(host::makeSampleScreenshot(100, 100).save(assets("/var/mobile/Ozrin") + "/outside.png"));
    }
    bool screenshotIsNotAnImage = false;
};

const QSize kFramed(1350, 2750), kUnframed(1170, 2532);

TEST_P(BadInputTest, EndsSilentlyAndLosesNothing) {
    const BadInput& c = GetParam();
    c.arrange(*this);
    loadSettings();  // as the preferences notification would

    QString original;
    if (screenshotIsNotAnImage) {
        original = shots_ + "/Screenshot 3.png";
        ASSERT_TRUE(mediatest::writeFile(original, QByteArray("this is a text file, not a picture\n")));
        waitUntil([] { return false; }, 200);
    } else {
        original = dropScreenshot("Screenshot 3.png");
    }
    const auto before = mediatest::readFile(original);
    runPipeline();
    // Nothing found starts the one retry; it must end inside this test.
    if (c.expected.isEmpty()) waitUntil([] { return false; }, 2000);

    EXPECT_EQ(mediatest::readFile(original), before) << "the original changed";
    EXPECT_FALSE(SRUnifiedProcessor::sharedInstance().screenshotProcessingForTesting());
    const QStringList saved = results();
    if (c.expected.isEmpty()) {
        EXPECT_TRUE(saved.isEmpty());
    } else {
        ASSERT_EQ(saved.size(), 1);
        EXPECT_EQ(QImage(saved[0]).size(), c.expected);
    }
    EXPECT_TRUE(QDir(shots_).entryList({".*"}, QDir::Files | QDir::Hidden).isEmpty()) << "a temporary file was left";
}

INSTANTIATE_TEST_SUITE_P(
    ScreenshotRoad, BadInputTest,
    ::testing::Values(
        BadInput{"preferences file is a directory", [](BadInputTest& test) { QDir().mkpath(test.prefsPath()); },
                 kFramed},
        BadInput{"empty preferences file", [](BadInputTest& test) { test.writePrefs(QByteArray()); }, kFramed},
        BadInput{"50 MB preferences file",
                 [](BadInputTest& test) {
                     test.writePrefs(QByteArray("<?xml version=\"1.0\"?><plist><dict>") + QByteArray(50 << 20, 'x'));
                 },
                 kFramed},
        BadInput{"preferences root is an array",
                 [](BadInputTest& test) {
                     test.writePrefs(QByteArray::fromStdString(
                         test.ports_.plist.toXml(Value::array({Value::string("sr_ssShellEnabled")}))));
                 },
                 kFramed},
        BadInput{"every key of the wrong type",
                 [](BadInputTest& test) {
                     Value::Dict d;
                     for (const SettingSpec& s : kSettingsSchema)
                         d[s.key] = s.type == SettingType::Name ? Value::dict({{"x", Value::integer(1)}})
                                                                : Value::array({Value::boolean(false)});
                     test.writePrefs(d);
                 },
                 kFramed},
        BadInput{"selected shell climbs out of the folder",
                 [](BadInputTest& test) {
                     test.plantOutsideShell();
                     test.writePrefs({{"sr_selectedShell", Value::string("../outside.png")}});
                 },
                 kFramed},
        BadInput{"selected shell is an absolute path",
                 [](BadInputTest& test) {
                     test.plantOutsideShell();
                     test.writePrefs(
                         {{"sr_selectedShell",
                           Value::string(test.assets("/var/mobile/Ozrin").toStdString() + "/outside.png")}});
                 },
                 kFramed},
        BadInput{"selected shell holds a NUL",
                 [](BadInputTest& test) {
                     test.plantOutsideShell();
                     using namespace std::string_literals;
                     test.writePrefs(QByteArray::fromStdString(
                         "<plist><dict><key>sr_selectedShell</key><string>..\0/outside.png</string></dict></plist>"s));
                 },
                 kFramed},
        BadInput{"selected shell of 10,000 characters",
                 [](BadInputTest& test) {
                     test.writePrefs({{"sr_selectedShell", Value::string(std::string(10000, 'a'))}});
                 },
                 kFramed},
        BadInput{"selected shell is a link to an endless device",
                 [](BadInputTest& test) {
                     ASSERT_EQ(::symlink("/dev/zero", (test.assets() + "/zero.png").toLocal8Bit().constData()), 0);
                     test.writePrefs({{"sr_selectedShell", Value::string("zero.png")}});
                 },
                 kUnframed},
        BadInput{"selected shell is a FIFO",
                 [](BadInputTest& test) {
                     ASSERT_EQ(::mkfifo((test.assets() + "/pipe.png").toLocal8Bit().constData(), 0644), 0);
                     test.writePrefs({{"sr_selectedShell", Value::string("pipe.png")}});
                 },
                 kUnframed},
        BadInput{"shell folder full of non-images",
                 [](BadInputTest& test) {
                     QDir(test.assets()).removeRecursively();
                     QDir().mkpath(test.assets());
                     for (const char* n : {"a.png", "b.jpg", "c.PNG"})
                         ASSERT_TRUE(mediatest::writeFile(test.assets() + "/" + n, "not an image"));
                     test.writePrefs({{"sr_randomShell", Value::boolean(true)}});
                 },
                 kUnframed},
        BadInput{"shell folder cannot be listed",
                 [](BadInputTest& test) {
                     QDir(test.assets()).removeRecursively();
                     ASSERT_TRUE(mediatest::writeFile(test.assets(), "a file where the folder should be"));
                 },
                 kUnframed},
        BadInput{"shell declares 40000 x 40000 pixels",
                 [](BadInputTest& test) {
                     QByteArray png = mediatest::encodedImage(8, 8, "PNG");
                     // IHDR width and height, then the chunk's CRC over type and data.
                     for (int i = 0; i < 2; ++i) {
                         png[16 + 4 * i] = 0;
                         png[17 + 4 * i] = 0;
                         png[18 + 4 * i] = char(0x9c);
                         png[19 + 4 * i] = 0x40;
                     }
                     const quint32 crc = pngCrc(png.constData() + 12, 17);
                     for (int i = 0; i < 4; ++i) png[29 + i] = char(crc >> (24 - 8 * i));
                     ASSERT_TRUE(mediatest::writeFile(test.assets() + "/huge.png", png));
                     test.writePrefs({{"sr_selectedShell", Value::string("huge.png")}});
                 },
                 kUnframed},
        BadInput{"watermark of 1 x 1",
                 [](BadInputTest& test) {
                     ASSERT_TRUE(mediatest::writeFile(test.assets(kWatermarkFolder) + "/dot.png",
                                                      mediatest::encodedImage(1, 1, "PNG")));
                     test.writePrefs({{"sr_ssWatermarkEnabled", Value::boolean(true)},
                                      {"sr_selectedWatermark", Value::string("dot.png")}});
                 },
                 kFramed},
        BadInput{"screenshot that is not an image", [](BadInputTest& test) { test.screenshotIsNotAnImage = true; },
                 QSize()}),
    [](const ::testing::TestParamInfo<BadInput>& param) {
        std::string name;
        for (const char* p = param.param.what; *p; ++p)
            if (std::isalnum(static_cast<unsigned char>(*p))) name += *p;
        return name;
    });

}  // namespace
}  // namespace plinthora
