// The folder-backed photo library on real folders: start-up scan, inotify,
// fetch order, header sizes, identifiers, atomic saves and trashing.
#include "platform/linux/FolderPhotoLibrary.h"
#include "platform/linux/MediaContent.h"
#include "platform/linux/MediaIndex.h"
#include "platform/linux/QtImaging.h"

#include "MediaTestSupport.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QImage>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QThread>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <map>
#include <ctime>
#include <mutex>
#include <set>
#include <vector>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

using namespace plinthora;
using namespace plinthora::linux_platform;
using namespace plinthora::mediatest;

namespace {

// A completion's outcome, awaited without pumping the event loop (the
// library completes on its own workers).
struct Outcome {
    std::mutex m;
    std::condition_variable cv;
    bool done = false;
    bool success = false;
    std::string id;
    bool onMainThread = false;
    int calls = 0;

    PhotoLibrary::ChangeCompletion completion() {
        return [this](bool ok, const std::string& created) {
            std::lock_guard lock(m);
            done = true;
            success = ok;
            id = created;
            onMainThread = QThread::currentThread() == QCoreApplication::instance()->thread();
            ++calls;
            cv.notify_all();
        };
    }
    bool wait() {
        std::unique_lock lock(m);
        return cv.wait_for(lock, std::chrono::seconds(20), [&] { return done; });
    }
};

std::set<std::string> idsOf(const std::vector<Asset>& assets) {
    std::set<std::string> out;
    for (const auto& a : assets) out.insert(a.localIdentifier);
    return out;
}

QStringList hiddenEntries(const QString& folder) {
    return QDir(folder).entryList(QDir::Hidden | QDir::Files | QDir::System).filter(QRegularExpression("^\\."));
}

Image solidBitmap(int w, int h, uint32_t argb) {
    auto b = std::make_shared<Bitmap>(w, h);
    std::fill(b->pixels.begin(), b->pixels.end(), argb);
    return b;
}

class FolderPhotoLibraryTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(root.isValid());
        images = root.path() + "/Pictures/Screenshots";
        videos = root.path() + "/Videos/Screencasts";
        ASSERT_TRUE(QDir().mkpath(images));
        ASSERT_TRUE(QDir().mkpath(videos));
        trashHome = root.path() + "/data/Trash";
    }
    std::unique_ptr<FolderPhotoLibrary> open() {
        return std::make_unique<FolderPhotoLibrary>(imaging, images, videos, Trash(trashHome.toStdString()));
    }
    std::string imagePath(const QString& name) const { return (images + "/" + name).toStdString(); }

    QTemporaryDir root;
    QString images, videos, trashHome;
    QtImaging imaging;
};

TEST_F(FolderPhotoLibraryTest, StartUpScanIndexesMediaByFolderAndSkipsTemporaryNames) {
    struct Case {
        bool inVideoFolder;
        const char* name;
        std::optional<MediaType> indexedAs;
    };
    const std::vector<Case> cases = {
        {false, "a.png", MediaType::Image},  {false, "b.JPG", MediaType::Image},
        {false, "c.jpeg", MediaType::Image}, {false, ".hidden.png", std::nullopt},
        {false, "d.png.tmp", std::nullopt},  {false, "e.png~", std::nullopt},
        {false, "f.png.part", std::nullopt}, {false, "notes.txt", std::nullopt},
        {false, "clip.mp4", std::nullopt},  // a video in the image folder
        {true, "v.mp4", MediaType::Video},   {true, "w.MKV", MediaType::Video},
        {true, "x.webm", MediaType::Video},  {true, "y.mov", MediaType::Video},
        {true, "z.avi", MediaType::Video},   {true, "t.M2TS", MediaType::Video},
        {true, "voice.ogg", std::nullopt},  // an Ogg is a recording only when its bytes say video
        {true, "u.wmv", std::nullopt},       {true, "shot.png", std::nullopt},  // an image in the video folder
        {true, ".v.mp4.part", std::nullopt},
    };
    for (const auto& c : cases) {
        const QByteArray bytes = c.inVideoFolder ? QByteArray("not really a movie") : encodedImage(8, 8, "PNG");
        ASSERT_TRUE(writeFile((c.inVideoFolder ? videos : images) + "/" + c.name, bytes));
    }
    QDir().mkpath(images + "/folder.png");  // a directory with a media name

    auto lib = open();
    std::set<std::string> wantImages, wantVideos;
    for (const auto& c : cases) {
        if (c.indexedAs == MediaType::Image) wantImages.insert(std::string("img:") + c.name);
        if (c.indexedAs == MediaType::Video) wantVideos.insert(std::string("vid:") + c.name);
    }
    EXPECT_EQ(idsOf(lib->fetchNewest(MediaType::Image, 100, 0)), wantImages);
    EXPECT_EQ(idsOf(lib->fetchNewest(MediaType::Video, 100, 0)), wantVideos);
    EXPECT_EQ(lib->indexedCount(), wantImages.size() + wantVideos.size());
    for (const auto& a : lib->fetchNewest(MediaType::Video, 100, 0)) {
        EXPECT_EQ(a.mediaType, MediaType::Video);
        EXPECT_EQ(a.pixelWidth, 0);
    }
}

TEST_F(FolderPhotoLibraryTest, OneFolderForBothKindsSortsFilesByExtension) {
    ASSERT_TRUE(writeFile(images + "/still.png", encodedImage(3, 3, "PNG")));
    ASSERT_TRUE(writeFile(images + "/moving.mp4", QByteArray(20, 'm')));
    FolderPhotoLibrary lib(imaging, images, images, Trash(trashHome.toStdString()));
    EXPECT_EQ(idsOf(lib.fetchNewest(MediaType::Image, 10, 0)), (std::set<std::string>{"img:still.png"}));
    EXPECT_EQ(idsOf(lib.fetchNewest(MediaType::Video, 10, 0)), (std::set<std::string>{"vid:moving.mp4"}));
    EXPECT_EQ(lib.indexedCount(), 2u);
    EXPECT_FALSE(lib.pathForIdentifier("img:moving.mp4").has_value());
    EXPECT_FALSE(lib.pathForIdentifier("vid:still.png").has_value());

    ASSERT_TRUE(writeFile(images + "/later.mkv", QByteArray(20, 'm')));
    ASSERT_TRUE(waitUntil([&] { return lib.fetchNewest(MediaType::Video, 10, 0).size() == 2; }));
    EXPECT_EQ(lib.fetchNewest(MediaType::Video, 1, 0)[0].localIdentifier, "vid:later.mkv");
}

TEST_F(FolderPhotoLibraryTest, CreatesMissingFoldersAndDefaultsUnderXdgFolders) {
    const QString fresh = root.path() + "/new/Shots";
    FolderPhotoLibrary lib(imaging, fresh, root.path() + "/new/Casts", Trash(trashHome.toStdString()));
    EXPECT_TRUE(QFileInfo(fresh).isDir());
    EXPECT_TRUE(QFileInfo(root.path() + "/new/Casts").isDir());
    EXPECT_TRUE(lib.isWatching());
    EXPECT_TRUE(FolderPhotoLibrary::defaultImageFolder().endsWith("/Screenshots"));
    EXPECT_TRUE(FolderPhotoLibrary::defaultVideoFolder().endsWith("/Screencasts"));
}

TEST_F(FolderPhotoLibraryTest, InotifyFollowsClosedRenamedAndRemovedFiles) {
    auto lib = open();
    ASSERT_TRUE(lib->isWatching());
    struct Seen {
        QString path;
        MediaType type;
        bool ours;
    };
    std::vector<Seen> seen;
    QObject::connect(lib.get(), &FolderPhotoLibrary::fileCompleted, [&](const QString& p, MediaType t, bool ours) {
        seen.push_back({p, t, ours});
    });
    auto indexed = [&](const std::string& id) {
        return idsOf(lib->fetchNewest(MediaType::Image, 100, 0)).count(id) > 0;
    };

    // Written in place and closed.
    ASSERT_TRUE(writeFile(images + "/direct.png", encodedImage(31, 17, "PNG")));
    ASSERT_TRUE(waitUntil([&] { return indexed("img:direct.png"); }));
    const auto direct = lib->fetchNewest(MediaType::Image, 1, 0);
    ASSERT_EQ(direct.size(), 1u);
    EXPECT_EQ(direct[0].pixelWidth, 31);
    EXPECT_EQ(direct[0].pixelHeight, 17);

    // Written under names that are renamed later: never indexed as such.
    ASSERT_TRUE(writeFile(images + "/.incoming.png", encodedImage(5, 6, "PNG")));
    ASSERT_TRUE(writeFile(images + "/download.png.part", encodedImage(5, 6, "PNG")));
    ASSERT_TRUE(writeFile(images + "/edit.png~", encodedImage(5, 6, "PNG")));
    ASSERT_TRUE(QFile::rename(images + "/.incoming.png", images + "/renamed.png"));
    ASSERT_TRUE(waitUntil([&] { return indexed("img:renamed.png"); }));
    // Events arrive in order, so by now the temporary names have been seen.
    EXPECT_EQ(idsOf(lib->fetchNewest(MediaType::Image, 100, 0)),
              (std::set<std::string>{"img:direct.png", "img:renamed.png"}));

    // A video closed in the video folder.
    ASSERT_TRUE(writeFile(videos + "/cast.webm", QByteArray(64, 'v')));
    ASSERT_TRUE(waitUntil([&] { return !lib->fetchNewest(MediaType::Video, 1, 0).empty(); }));

    ASSERT_EQ(seen.size(), 3u);
    EXPECT_EQ(seen[0].path.toStdString(), imagePath("direct.png"));
    EXPECT_EQ(seen[1].path.toStdString(), imagePath("renamed.png"));
    EXPECT_EQ(seen[2].type, MediaType::Video);
    for (const auto& s : seen) EXPECT_FALSE(s.ours);

    // Removed and renamed away.
    ASSERT_TRUE(QFile::remove(images + "/direct.png"));
    ASSERT_TRUE(QFile::rename(images + "/renamed.png", root.path() + "/elsewhere.png"));
    ASSERT_TRUE(waitUntil([&] { return lib->fetchNewest(MediaType::Image, 100, 0).empty(); }));
    EXPECT_EQ(lib->indexedCount(), 1u);
}

TEST_F(FolderPhotoLibraryTest, FilesLinkedInWholeAreReportedOnce) {
    auto lib = open();
    ASSERT_TRUE(lib->isWatching());
    std::vector<QString> seen;
    QObject::connect(lib.get(), &FolderPhotoLibrary::fileCompleted,
                     [&](const QString& p, MediaType, bool) { seen.push_back(p); });
    const QByteArray png = encodedImage(12, 8, "PNG");

    // A hard link: the name appears with its data, and no close follows.
    ASSERT_TRUE(writeFile(root.path() + "/outside.png", png));
    ASSERT_EQ(::link((root.path() + "/outside.png").toUtf8().constData(), imagePath("linked.png").c_str()), 0);
    // An unnamed temp file made visible whole, as some copy routines do.
    const int fd = ::open(images.toUtf8().constData(), O_TMPFILE | O_WRONLY, 0644);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(::write(fd, png.constData(), size_t(png.size())), png.size());
    const std::string procPath = "/proc/self/fd/" + std::to_string(fd);
    ASSERT_EQ(::linkat(AT_FDCWD, procPath.c_str(), AT_FDCWD, imagePath("tmpfile.png").c_str(), AT_SYMLINK_FOLLOW), 0);
    ::close(fd);
    // Created and left empty, and created and still being written: neither
    // is complete yet.
    const int empty = ::open(imagePath("empty.png").c_str(), O_CREAT | O_WRONLY, 0644);
    const int slow = ::open(imagePath("slow.png").c_str(), O_CREAT | O_WRONLY, 0644);
    ASSERT_GE(empty, 0);
    ASSERT_GE(slow, 0);
    ASSERT_EQ(::write(slow, png.constData(), 10), 10);

    ASSERT_TRUE(waitUntil([&] { return seen.size() >= 2; }));
    waitUntil([] { return false; }, 1500);  // past the settling time of the others
    EXPECT_EQ(std::set<QString>(seen.begin(), seen.end()),
              (std::set<QString>{QString::fromStdString(imagePath("linked.png")),
                                 QString::fromStdString(imagePath("tmpfile.png"))}));
    EXPECT_EQ(seen.size(), 2u);

    // Their writers' closes report them then, as for any file.
    ASSERT_EQ(::write(slow, png.constData() + 10, size_t(png.size() - 10)), png.size() - 10);
    ::close(slow);
    ::close(empty);
    ASSERT_TRUE(waitUntil([&] { return seen.size() >= 4; }));
    EXPECT_EQ(std::set<QString>(seen.begin() + 2, seen.end()),
              (std::set<QString>{QString::fromStdString(imagePath("slow.png")),
                                 QString::fromStdString(imagePath("empty.png"))}));
}

TEST_F(FolderPhotoLibraryTest, RewrittenFileIsRefreshedNotDuplicated) {
    auto lib = open();
    ASSERT_TRUE(writeFile(images + "/same.png", encodedImage(10, 10, "PNG")));
    ASSERT_TRUE(waitUntil([&] { return lib->indexedCount() == 1; }));
    ASSERT_TRUE(writeFile(images + "/same.png", encodedImage(20, 12, "PNG")));
    ASSERT_TRUE(waitUntil([&] {
        const auto a = lib->fetchNewest(MediaType::Image, 10, 0);
        return a.size() == 1 && a[0].pixelWidth == 20;
    }));
    EXPECT_EQ(lib->indexedCount(), 1u);
    EXPECT_EQ(lib->fetchNewest(MediaType::Image, 10, 0)[0].pixelHeight, 12);
}

TEST_F(FolderPhotoLibraryTest, FetchAnswersFromTheIndexNewestFirstWithLimitAndCutoff) {
    auto lib = open();
    const double before = double(std::time(nullptr)) - 1;
    std::vector<std::string> order;  // oldest first
    for (int i = 0; i < 6; ++i) {
        const QString name = QString("shot%1.png").arg(i);
        ASSERT_TRUE(writeFile(images + "/" + name, encodedImage(4 + i, 4, "PNG")));
        // The host reports what it sees; the watcher has not run yet.
        ASSERT_TRUE(lib->indexFile(images + "/" + name).has_value());
        order.push_back("img:" + name.toStdString());
        std::this_thread::sleep_for(std::chrono::milliseconds(15));  // distinct birth times
    }
    ASSERT_TRUE(writeFile(videos + "/late.mp4", QByteArray(10, 'v')));
    ASSERT_TRUE(lib->indexFile(videos + "/late.mp4").has_value());
    const double after = double(std::time(nullptr)) + 1;

    const auto all = lib->fetchNewest(MediaType::Image, 100, 0);
    ASSERT_EQ(all.size(), 6u);
    for (size_t i = 0; i < all.size(); ++i) {
        EXPECT_EQ(all[i].localIdentifier, order[order.size() - 1 - i]);
        EXPECT_EQ(all[i].mediaType, MediaType::Image);
        EXPECT_GE(all[i].creationDate, before);
        EXPECT_LE(all[i].creationDate, after);
        if (i > 0) {
            EXPECT_GT(all[i - 1].creationDate, all[i].creationDate);
        }
    }

    // Limits and cutoffs are the index's alone: the same assets in an index
    // of their own, with no folder behind it.
    MediaIndex index;
    for (const Asset& a : all) index.put(a.localIdentifier, a);
    struct Case {
        int limit;
        int cutoffIndex;  // index into `all` whose date is the cutoff, or -1 for 0
        size_t expected;
    };
    for (const Case& c : std::vector<Case>{
             {2, -1, 2}, {100, -1, 6}, {0, -1, 0}, {-3, -1, 0}, {100, 2, 2}, {1, 2, 1}, {100, 0, 0}, {100, 5, 5}}) {
        const double cutoff = c.cutoffIndex < 0 ? 0 : all[size_t(c.cutoffIndex)].creationDate;
        const auto got = index.newest(MediaType::Image, c.limit, cutoff);
        ASSERT_EQ(got.size(), c.expected) << "limit " << c.limit << " cutoff #" << c.cutoffIndex;
        for (size_t i = 0; i < got.size(); ++i) {
            EXPECT_EQ(got[i].localIdentifier, all[i].localIdentifier);
            EXPECT_GT(got[i].creationDate, cutoff);
        }
    }
    EXPECT_EQ(idsOf(lib->fetchNewest(MediaType::Video, 100, 0)), (std::set<std::string>{"vid:late.mp4"}));

    // indexFile twice changes nothing; a file that is gone leaves the index.
    ASSERT_TRUE(lib->indexFile(images + "/shot3.png").has_value());
    EXPECT_EQ(lib->indexedCount(), 7u);
    ASSERT_TRUE(QFile::remove(images + "/shot3.png"));
    EXPECT_FALSE(lib->indexFile(images + "/shot3.png").has_value());
    EXPECT_EQ(lib->fetchNewest(MediaType::Image, 100, 0).size(), 5u);
    EXPECT_FALSE(lib->indexFile(root.path() + "/outside.png").has_value());
}

TEST(ImageHeaderTest, PixelSizeComesFromTheHeaderAndMatchesTheDecodedImage) {
    QtImaging imaging;
    const QByteArray jpeg = encodedImage(40, 24, "JPEG");
    struct Case {
        const char* what;
        QByteArray bytes;
        std::optional<PixelSize> expected;
    };
    const std::vector<Case> cases = {
        {"png", encodedImage(37, 19, "PNG"), PixelSize{37, 19}},
        {"jpeg without exif", jpeg, PixelSize{40, 24}},
        {"jpeg orientation 1", withExifOrientation(jpeg, 1, true), PixelSize{40, 24}},
        {"jpeg orientation 3", withExifOrientation(jpeg, 3, false), PixelSize{40, 24}},
        {"jpeg orientation 5", withExifOrientation(jpeg, 5, true), PixelSize{24, 40}},
        {"jpeg orientation 6 big-endian", withExifOrientation(jpeg, 6, true), PixelSize{24, 40}},
        {"jpeg orientation 6 little-endian", withExifOrientation(jpeg, 6, false), PixelSize{24, 40}},
        {"jpeg orientation 8", withExifOrientation(jpeg, 8, false), PixelSize{24, 40}},
        {"jpeg with a 60 KB segment first", withFillerSegment(withExifOrientation(jpeg, 6, true), 60000),
         PixelSize{24, 40}},
        {"jpeg with a fill byte before a marker", QByteArray("\xFF\xD8\xFF", 3) + jpeg.mid(2), PixelSize{40, 24}},
        {"truncated png", encodedImage(37, 19, "PNG").left(20), std::nullopt},
        {"truncated jpeg", jpeg.left(30), std::nullopt},
        {"not an image", QByteArray("hello, world, this is text"), std::nullopt},
    };
    QTemporaryDir dir;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        const auto fromBytes = imagePixelSizeFromBytes(c.bytes.toStdString());
        ASSERT_EQ(fromBytes.has_value(), c.expected.has_value());
        const QString path = dir.path() + "/img";
        ASSERT_TRUE(writeFile(path, c.bytes));
        const auto fromFile = readImagePixelSize(path.toStdString());
        ASSERT_EQ(fromFile.has_value(), c.expected.has_value());
        if (!c.expected) continue;
        EXPECT_EQ(*fromBytes, *c.expected);
        EXPECT_EQ(*fromFile, *c.expected);
        // The size a fetch reports is the size the image decodes to.
        const Image decoded = imaging.decode(c.bytes.toStdString());
        ASSERT_TRUE(decoded);
        EXPECT_EQ(decoded->width, c.expected->width);
        EXPECT_EQ(decoded->height, c.expected->height);
    }
}

TEST_F(FolderPhotoLibraryTest, AssetOfARotatedJpegHasUprightSize) {
    ASSERT_TRUE(writeFile(images + "/portrait.jpg", withExifOrientation(encodedImage(64, 48, "JPEG"), 6, true)));
    auto lib = open();
    const auto assets = lib->fetchNewest(MediaType::Image, 5, 0);
    ASSERT_EQ(assets.size(), 1u);
    EXPECT_EQ(assets[0].pixelWidth, 48);
    EXPECT_EQ(assets[0].pixelHeight, 64);
}

TEST_F(FolderPhotoLibraryTest, IdentifiersAreStableAcrossInstancesAndResolveOnlyInsideTheFolders) {
    const QByteArray png = encodedImage(9, 9, "PNG");
    struct File {
        const char* name;
        const char* format;
    };
    for (const File& f :
         {File{"one.png", "PNG"}, File{"two.jpg", "JPEG"}, File{"Three Four.PNG", "PNG"}, File{"ünï 截图.png", "PNG"}})
        ASSERT_TRUE(writeFile(images + "/" + QString::fromUtf8(f.name), encodedImage(9, 9, f.format)));
    ASSERT_TRUE(writeFile(videos + "/rec.mp4", QByteArray(100, 'm')));

    std::vector<Asset> first, second;
    {
        auto lib = open();
        first = lib->fetchNewest(MediaType::Image, 100, 0);
        auto v = lib->fetchNewest(MediaType::Video, 100, 0);
        first.insert(first.end(), v.begin(), v.end());
    }
    {
        auto lib = open();
        second = lib->fetchNewest(MediaType::Image, 100, 0);
        auto v = lib->fetchNewest(MediaType::Video, 100, 0);
        second.insert(second.end(), v.begin(), v.end());

        ASSERT_EQ(first.size(), 5u);
        ASSERT_EQ(second.size(), first.size());
        EXPECT_EQ(idsOf(first).size(), first.size()) << "identifiers must be unique";
        for (size_t i = 0; i < first.size(); ++i) {
            EXPECT_FALSE(first[i].localIdentifier.empty());
            EXPECT_EQ(first[i].localIdentifier, second[i].localIdentifier);
            EXPECT_EQ(first[i].creationDate, second[i].creationDate);
            const auto path = lib->pathForIdentifier(first[i].localIdentifier);
            ASSERT_TRUE(path.has_value());
            const auto onDisk = readFile(QString::fromStdString(*path));
            ASSERT_TRUE(onDisk.has_value());
            if (first[i].mediaType == MediaType::Image) {
                const auto data = lib->requestImageData(first[i]);
                ASSERT_TRUE(data.has_value());
                EXPECT_EQ(*data, onDisk->toStdString());
            } else {
                EXPECT_FALSE(lib->requestImageData(first[i]).has_value()) << "a video has no image data";
            }
        }

        ASSERT_TRUE(writeFile(root.path() + "/secret.png", png));
        for (const char* bad : {"", "img:", "img:../secret.png", "img:../../secret.png", "vid:one.png", "img:rec.mp4",
                                "img:.hidden.png", "img:missing.png", "asset-1", "one.png"}) {
            EXPECT_FALSE(lib->pathForIdentifier(bad).has_value()) << bad;
            Asset a;
            a.localIdentifier = bad;
            EXPECT_FALSE(lib->requestImageData(a).has_value()) << bad;
        }
    }
}

TEST_F(FolderPhotoLibraryTest, RequestVideoFileHandsOverTheRealPathLater) {
    ASSERT_TRUE(writeFile(videos + "/take.mov", QByteArray(10, 'm')));
    auto lib = open();
    const auto videoAssets = lib->fetchNewest(MediaType::Video, 1, 0);
    ASSERT_EQ(videoAssets.size(), 1u);

    struct Answer {
        std::mutex m;
        std::condition_variable cv;
        std::vector<std::optional<std::string>> got;
    } answer;
    auto handler = [&](std::optional<std::string> p) {
        std::lock_guard lock(answer.m);
        answer.got.push_back(std::move(p));
        answer.cv.notify_all();
    };
    Asset missing;
    missing.localIdentifier = "vid:gone.mp4";
    missing.mediaType = MediaType::Video;
    lib->requestVideoFile(videoAssets[0], handler);
    lib->requestVideoFile(missing, handler);
    std::unique_lock lock(answer.m);
    ASSERT_TRUE(answer.cv.wait_for(lock, std::chrono::seconds(10), [&] { return answer.got.size() == 2; }));
    std::set<std::optional<std::string>> got(answer.got.begin(), answer.got.end());
    EXPECT_EQ(got, (std::set<std::optional<std::string>>{std::nullopt, (videos + "/take.mov").toStdString()}));
}

TEST_F(FolderPhotoLibraryTest, CreateImageAssetSavesANewDecodableFileAndNeverOverwrites) {
    // Every name the library could pick in the next seconds is taken
    // already; none of them may be touched.
    const QByteArray sentinel("taken");
    const auto now = std::chrono::system_clock::now();
    std::vector<QString> taken;
    for (int ms = 0; ms < 3000; ++ms) {
        const auto t = now + std::chrono::milliseconds(ms);
        const std::time_t secs = std::chrono::system_clock::to_time_t(t);
        std::tm local{};
        localtime_r(&secs, &local);
        char stamp[32];
        std::strftime(stamp, sizeof stamp, "%Y%m%d_%H%M%S", &local);
        const int milli =
            int(std::chrono::duration_cast<std::chrono::milliseconds>(t.time_since_epoch()).count() % 1000);
        const QString name = QString("Plinthora_%1_%2.png").arg(stamp).arg(milli, 3, 10, QChar('0'));
        if (!taken.empty() && taken.back().endsWith(name)) continue;
        taken.push_back(images + "/" + name);
        ASSERT_TRUE(writeFile(taken.back(), sentinel));
    }
    // Opened after them, so they are in the index from its first scan
    // whenever the watcher gets to their events.
    auto lib = open();
    const size_t before = lib->indexedCount();
    // The watcher reports our own files as ours and the others' as theirs.
    std::map<std::string, bool> reported;
    QObject::connect(lib.get(), &FolderPhotoLibrary::fileCompleted,
                     [&](const QString& p, MediaType, bool self) { reported[p.toStdString()] = self; });

    Outcome a, b;
    // While the completion runs (where delivery marks the result as ours),
    // a search must not be offered the result.
    std::set<std::string> fetchedInCompletion;
    lib->createImageAsset(solidBitmap(12, 7, 0xFF2080C0),
                          [&, done = a.completion()](bool ok, const std::string& created) {
                              fetchedInCompletion = idsOf(lib->fetchNewest(MediaType::Image, 100, 0));
                              done(ok, created);
                          });
    lib->createImageAsset(solidBitmap(5, 9, 0xFFC08020), b.completion());
    ASSERT_TRUE(a.wait());
    ASSERT_TRUE(b.wait());
    ASSERT_TRUE(a.success);
    ASSERT_TRUE(b.success);
    EXPECT_EQ(a.calls, 1);
    EXPECT_FALSE(a.onMainThread);
    EXPECT_NE(a.id, b.id);

    struct Expect {
        const Outcome& o;
        int w, h;
        QRgb colour;
    };
    for (const Expect& e : {Expect{a, 12, 7, qRgb(0x20, 0x80, 0xC0)}, Expect{b, 5, 9, qRgb(0xC0, 0x80, 0x20)}}) {
        const auto path = lib->pathForIdentifier(e.o.id);
        ASSERT_TRUE(path.has_value());
        const QString qpath = QString::fromStdString(*path);
        EXPECT_TRUE(QFileInfo(qpath).fileName().startsWith("Plinthora_"));
        EXPECT_TRUE(qpath.endsWith(".png"));
        EXPECT_TRUE(lib->wroteItself(qpath));
        QImage decoded(qpath);
        ASSERT_FALSE(decoded.isNull());
        EXPECT_EQ(decoded.size(), QSize(e.w, e.h));
        EXPECT_EQ(decoded.pixel(0, 0), e.colour);
        EXPECT_EQ(decoded.pixel(e.w - 1, e.h - 1), e.colour);
        // Indexed, and fetched once the completion has returned.
        ASSERT_TRUE(waitUntil([&] { return idsOf(lib->fetchNewest(MediaType::Image, 100, 0)).count(e.o.id) == 1; }));
    }
    EXPECT_EQ(fetchedInCompletion.count(a.id), 0u) << "offered to a search before its completion returned";
    for (const QString& t : taken) ASSERT_EQ(readFile(t), sentinel) << t.toStdString();
    EXPECT_EQ(lib->indexedCount(), before + 2);
    EXPECT_TRUE(hiddenEntries(images).isEmpty()) << hiddenEntries(images).join(",").toStdString();

    const std::string pathA = *lib->pathForIdentifier(a.id), pathB = *lib->pathForIdentifier(b.id);
    ASSERT_TRUE(waitUntil([&] { return reported.count(pathA) && reported.count(pathB); }));
    EXPECT_TRUE(reported[pathA]);
    EXPECT_TRUE(reported[pathB]);
    const QString other = images + "/Other.png";
    ASSERT_TRUE(writeFile(other, sentinel));
    ASSERT_TRUE(waitUntil([&] { return reported.count(other.toStdString()) > 0; }));
    EXPECT_FALSE(reported[other.toStdString()]);
    EXPECT_FALSE(lib->wroteItself(taken.front()));
}

TEST_F(FolderPhotoLibraryTest, CreateImageAssetFailsWithNothingLeftWhereTheFolderCannotTakeIt) {
    // Tests run as root, where a 0555 folder is still writable; these
    // folders cannot be written by anyone.
    const QString blocker = root.path() + "/blocker";
    ASSERT_TRUE(writeFile(blocker, "a regular file"));
    struct Case {
        const char* what;
        QString folder;
    };
    for (const Case& c : {Case{"a regular file where the folder should be", blocker},
                          Case{"a folder under a regular file", blocker + "/Screenshots"},
                          Case{"a folder in /proc", "/proc/self/plinthora-screenshots"}}) {
        SCOPED_TRACE(c.what);
        FolderPhotoLibrary lib(imaging, c.folder, videos, Trash(trashHome.toStdString()));
        Outcome o;
        lib.createImageAsset(solidBitmap(4, 4, 0xFF000000), o.completion());
        ASSERT_TRUE(o.wait());
        EXPECT_FALSE(o.success);
        EXPECT_TRUE(o.id.empty());
        EXPECT_EQ(lib.indexedCount(), 0u);
    }
    EXPECT_EQ(readFile(blocker), QByteArray("a regular file"));
    QStringList left = QDir(root.path()).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot);
    left.sort();
    EXPECT_EQ(left.join(",").toStdString(), "Pictures,Videos,blocker");

    auto lib = open();
    Outcome none;
    lib->createImageAsset(nullptr, none.completion());
    ASSERT_TRUE(none.wait());
    EXPECT_FALSE(none.success);
    EXPECT_TRUE(QDir(images).entryList(QDir::Files | QDir::Hidden).isEmpty());
}

TEST_F(FolderPhotoLibraryTest, CreateVideoAssetCopiesUnderANewNameAndKeepsTheSource) {
    const QString source = root.path() + "/SR_0.25.MKV";
    QByteArray movie;
    for (int i = 0; i < 300000; ++i) movie.append(char(i * 7));
    ASSERT_TRUE(writeFile(source, movie));
    auto lib = open();

    Outcome o;
    lib->createVideoAsset(source.toStdString(), o.completion());
    ASSERT_TRUE(o.wait());
    ASSERT_TRUE(o.success);
    const auto path = lib->pathForIdentifier(o.id);
    ASSERT_TRUE(path.has_value());
    const QString qpath = QString::fromStdString(*path);
    EXPECT_TRUE(qpath.startsWith(videos + "/Plinthora_"));
    EXPECT_TRUE(qpath.endsWith(".mkv"));
    EXPECT_EQ(readFile(qpath), movie);
    EXPECT_EQ(readFile(source), movie);
    EXPECT_TRUE(lib->wroteItself(qpath));
    // Offered to fetches once the save's completion has returned.
    lib->waitForPendingWork();
    EXPECT_EQ(idsOf(lib->fetchNewest(MediaType::Video, 10, 0)), (std::set<std::string>{o.id}));
    EXPECT_TRUE(hiddenEntries(videos).isEmpty());

    Outcome missing;
    lib->createVideoAsset((root.path() + "/nope.mp4").toStdString(), missing.completion());
    ASSERT_TRUE(missing.wait());
    EXPECT_FALSE(missing.success);
    EXPECT_EQ(QDir(videos).entryList(QDir::Files | QDir::Hidden).size(), 1);
}

TEST_F(FolderPhotoLibraryTest, DeleteAssetsMovesOriginalsToTheTrashAndOutOfTheIndex) {
    ScopedEnv xdg("XDG_DATA_HOME", (root.path() + "/xdg").toStdString());
    const QString name = QString::fromUtf8("shot 100%_截图.png");
    const QByteArray png = encodedImage(6, 6, "PNG");
    ASSERT_TRUE(writeFile(images + "/" + name, png));
    ASSERT_TRUE(writeFile(images + "/keep.png", png));
    // The default trash follows XDG_DATA_HOME.
    FolderPhotoLibrary lib(imaging, images, videos);
    std::vector<Asset> doomed;
    for (const auto& a : lib.fetchNewest(MediaType::Image, 10, 0))
        if (a.localIdentifier != "img:keep.png") doomed.push_back(a);
    ASSERT_EQ(doomed.size(), 1u);

    Outcome o;
    lib.deleteAssets(doomed, o.completion());
    ASSERT_TRUE(o.wait());
    EXPECT_TRUE(o.success);
    EXPECT_TRUE(o.id.empty());
    EXPECT_FALSE(QFileInfo::exists(images + "/" + name));
    EXPECT_EQ(readFile(root.path() + "/xdg/Trash/files/" + name), png);
    EXPECT_TRUE(QFileInfo::exists(root.path() + "/xdg/Trash/info/" + name + ".trashinfo"));
    EXPECT_EQ(idsOf(lib.fetchNewest(MediaType::Image, 10, 0)), (std::set<std::string>{"img:keep.png"}));

    // Deleting what is no longer there reports failure and touches nothing.
    Outcome again;
    lib.deleteAssets(doomed, again.completion());
    ASSERT_TRUE(again.wait());
    EXPECT_FALSE(again.success);
    EXPECT_TRUE(QFileInfo::exists(images + "/keep.png"));
}

}  // namespace

// A capture is dated by when it became whole, not by when its writer
// created it: a recorder opens its file when the recording starts. And the
// library knows our results by the mark they carry, in a later run too,
// whatever their name.
TEST_F(FolderPhotoLibraryTest, CapturesAreDatedByTheirEndAndResultsKnownByTheirBytes) {
    auto lib = open();
    const int fd = ::open((videos + "/Long recording.mkv").toLocal8Bit().constData(), O_WRONLY | O_CREAT, 0644);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(::write(fd, "\x1A\x45\xDF\xA3", 4), 4);
    QThread::msleep(1200);
    ASSERT_EQ(::write(fd, "frames", 6), 6);
    const double closed = double(std::time(nullptr));
    ::close(fd);
    ASSERT_TRUE(waitUntil([&] { return !lib->fetchNewest(MediaType::Video, 1, 0).empty(); }));
    EXPECT_GE(lib->fetchNewest(MediaType::Video, 1, 0)[0].creationDate, closed - 0.5);

    Outcome saved;
    lib->createImageAsset(solidBitmap(30, 60, 0xff336699), saved.completion());
    ASSERT_TRUE(saved.wait() && saved.success);
    const std::string resultPath = *lib->pathForIdentifier(saved.id);
    // The same picture without the mark, under a result's name; and a movie
    // whose comment is the mark, under a recorder's name.
    ASSERT_TRUE(writeFile(images + "/Plinthora_20200101_000000_000.png", encodedImage(30, 60, "PNG")));
    ASSERT_EQ(std::system(("ffmpeg -v error -nostdin -y -f lavfi -i color=s=32x64:d=0.1 -c:v libx264 -metadata "
                           "comment=Plinthora '" +
                           videos.toStdString() + "/Screencast.mp4'")
                              .c_str()),
              0);
    lib.reset();
    lib = open();
    std::map<std::string, bool> own;
    for (MediaType type : {MediaType::Image, MediaType::Video})
        for (const Asset& a : lib->fetchNewest(type, 10, 0)) own[a.localIdentifier] = a.ownResult;
    EXPECT_EQ(own, (std::map<std::string, bool>{{saved.id, true},
                                                {"img:Plinthora_20200101_000000_000.png", false},
                                                {"vid:Long recording.mkv", false},
                                                {"vid:Screencast.mp4", true}}));
    EXPECT_TRUE(isOwnResult(resultPath));
}

// A capture folder that goes away is watched again as soon as a folder is
// at its path: replaced in one go, removed with its parent and made again,
// moved away and back. What the new folder holds is indexed.
TEST_F(FolderPhotoLibraryTest, AFolderThatComesAndGoesIsWatchedAgain) {
    auto lib = open();
    std::vector<std::pair<QString, bool>> changes;
    QObject::connect(lib.get(), &FolderPhotoLibrary::watchChanged,
                     [&](const QString& folder, bool watching) { changes.emplace_back(folder, watching); });
    const QString parked = root.path() + "/parked";
    struct Case {
        const char* what;
        std::function<void()> away, back;
    };
    const std::vector<Case> cases = {
        {"removed and made again", [&] { QDir(images).removeRecursively(); }, [&] { QDir().mkpath(images); }},
        {"removed with its parent", [&] { QDir(root.path() + "/Pictures").removeRecursively(); },
         [&] { QDir().mkpath(images); }},
        {"moved away and back", [&] { ASSERT_TRUE(QDir().rename(images, parked)); },
         [&] { ASSERT_TRUE(QDir().rename(parked, images)); }},
    };
    int n = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        changes.clear();
        c.away();
        ASSERT_TRUE(waitUntil([&] { return !lib->isWatching(images); })) << "the loss went unseen";
        c.back();
        // Written before the daemon could watch the new folder, and after.
        ASSERT_TRUE(writeFile(images + QString("/early-%1.png").arg(n), encodedImage(8, 8, "PNG")));
        ASSERT_TRUE(waitUntil([&] { return lib->isWatching(images); })) << "never watched again";
        ASSERT_TRUE(writeFile(images + QString("/late-%1.png").arg(n), encodedImage(8, 8, "PNG")));
        ASSERT_TRUE(waitUntil([&] { return lib->fetchNewest(MediaType::Image, 100, 0).size() >= 2; }));
        std::set<std::string> ids = idsOf(lib->fetchNewest(MediaType::Image, 100, 0));
        const std::string suffix = std::to_string(n) + ".png";
        EXPECT_TRUE(ids.count("img:early-" + suffix) && ids.count("img:late-" + suffix));
        EXPECT_EQ(changes, (std::vector<std::pair<QString, bool>>{{images, false}, {images, true}}));
        EXPECT_TRUE(lib->isWatching(videos));
        // The next case starts from an empty folder.
        for (const QString& f : QDir(images).entryList(QDir::Files)) QFile::remove(images + "/" + f);
        waitUntil([&] { return lib->fetchNewest(MediaType::Image, 100, 0).empty(); });
        ++n;
    }
}

// More folders than the two: a picture written into one is indexed under
// its whole path, found by its identifier, and its result is saved beside
// it; the first folder's files keep their plain names.
TEST_F(FolderPhotoLibraryTest, MoreFoldersAreWatchedAndResultsLandBesideTheirOriginals) {
    auto lib = open();
    const QString shots = root.path() + "/Shots";
    lib->addFolder(shots, MediaType::Image);
    EXPECT_TRUE(lib->isWatching(shots));
    EXPECT_EQ(lib->folders(MediaType::Image), (QStringList{images, shots}));
    ASSERT_TRUE(writeFile(shots + "/shot.png", encodedImage(8, 8, "PNG")));
    ASSERT_TRUE(writeFile(images + "/plain.png", encodedImage(8, 8, "PNG")));
    ASSERT_TRUE(waitUntil([&] { return lib->fetchNewest(MediaType::Image, 10, 0).size() == 2; }));
    const std::string id = "img:" + (shots + "/shot.png").toStdString();
    EXPECT_EQ(idsOf(lib->fetchNewest(MediaType::Image, 10, 0)), (std::set<std::string>{id, "img:plain.png"}));
    Asset asset;
    asset.localIdentifier = id;
    ASSERT_TRUE(lib->requestImageData(asset).has_value());
    Outcome saved;
    lib->createImageAsset(solidBitmap(8, 8, 0xff00ff00), saved.completion());
    ASSERT_TRUE(saved.wait() && saved.success);
    EXPECT_EQ(QFileInfo(QString::fromStdString(*lib->pathForIdentifier(saved.id))).path(), shots);
    EXPECT_FALSE(lib->pathForIdentifier("img:" + (root.path() + "/elsewhere/shot.png").toStdString()));
}
