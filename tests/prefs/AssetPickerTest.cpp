// The asset picker over real folders: listing, marks, thumbnail loading,
// read-ahead, the cache and memory warnings.
#include "PrefsTestSupport.h"

#include "prefs/AssetFolder.h"
#include "prefs/ShellImageSelector.h"
#include "prefs/ThumbnailCache.h"
#include "prefs/framework/MemoryWarning.h"

#include <QBuffer>
#include <QLabel>
#include <QImageWriter>

#include <atomic>
#include <cmath>
#include <mutex>
#include <thread>

namespace plinthora::prefs::testing {
namespace {

// A picker in its own window, sized so that exactly three rows of three
// show.
class PickerTest : public PrefsFixture {
protected:
    std::unique_ptr<ShellImageSelector> makePicker(std::optional<QString> current, bool countLoads = false) {
        auto p = std::make_unique<ShellImageSelector>();
        p->assetsDirectory = kShellFolder;
        p->currentSelectedImage = std::move(current);
        if (countLoads) p->setDecoder([this](const QString& path) { return countedDecode(path); });
        // Short at first, so no fourth row is ever configured.
        p->resize(350, 200);
        p->show();
        p->viewDidLoad();
        QCoreApplication::processEvents();
        // Exactly three rows: the fourth starts 5 points below the edge.
        const double k = (p->collectionView()->viewport()->width() - 50) / 3.0;
        p->resize(350, static_cast<int>(std::ceil(3 * k + 125)));
        QCoreApplication::processEvents();
        return p;
    }
    static QStringList names(const QStringList& paths) {
        QStringList out;
        for (const QString& p : paths) out << p.section('/', -1);
        return out;
    }
    static bool settled(ShellImageSelector& p) {
        return waitUntil([&] { return p.imageLoadingOperations().empty(); }, 20000);
    }
    void addNumberedImages(int count) {
        QStringList list;
        for (int i = 0; i < count; ++i) list << QString::asprintf("img%03d.png", i);
        addImages(kShellFolder, list);
    }
    QStringList decodedSince(size_t from) {
        std::lock_guard lock(mutex_);
        QStringList out;
        for (size_t i = from; i < decoded_.size(); ++i) out << decoded_[i].section('/', -1);
        return out;
    }

    QImage countedDecode(const QString& path) {
        const int now = ++running_;
        int seen = peak_.load();
        while (now > seen && !peak_.compare_exchange_weak(seen, now)) {}
        std::this_thread::sleep_for(std::chrono::milliseconds(slowMs_));
        --running_;
        std::lock_guard lock(mutex_);
        decoded_.push_back(path);
        return ShellImageSelector::decodeThumbnail(path);
    }

    std::atomic<int> running_{0}, peak_{0};
    int slowMs_ = 0;
    std::mutex mutex_;
    std::vector<QString> decoded_;
};

TEST_F(PickerTest, ListsImagesBySuffixSortedWithoutCaseAndMarksTheRightOne) {
    addImages(kShellFolder, {"b.png", "A.PNG", "c.gif", "d.png.txt", "e.JPEG", "a.jpg", "Z.jpeg"});
    const QStringList sorted = {"a.jpg", "A.PNG", "b.png", "e.JPEG", "Z.jpeg"};
    struct Case {
        const char* name;
        std::optional<QString> current;
        const char* marked;
    } cases[] = {
        {"nil", std::nullopt, "a.jpg"},
        {"empty text", QString(""), "a.jpg"},
        {"placeholder", QString("无可用素材"), "a.jpg"},
        {"a listed name", QString("e.JPEG"), "e.JPEG"},
        {"a deleted name", QString("gone.png"), "a.jpg"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        auto picker = makePicker(c.current);
        EXPECT_EQ(names(picker->images), sorted);
        EXPECT_EQ(picker->selectedImagePath.section('/', -1), c.marked);
        // Done without a tap hands back the marked name.
        QString got;
        picker->completionHandler = [&](const QString* n) { got = n ? *n : "nil"; };
        picker->done();
        EXPECT_EQ(got, c.marked);
    }
    // A tap moves the mark, and only the tapped cell shows the frame.
    auto picker = makePicker(std::nullopt);
    picker->didSelectItemAtIndexPath(picker->collectionView(), 2);
    for (int item : picker->collectionView()->indexPathsForVisibleItems()) {
        auto* cell = static_cast<ShellImageCell*>(picker->collectionView()->cellForItemAtIndexPath(item));
        EXPECT_EQ(cell->selectionIndicator()->isVisible(), item == 2) << item;
        EXPECT_EQ(cell->nameLabel()->text(), sorted[item]);
    }
}

TEST_F(PickerTest, ReadAheadCoversThreeItemsBeyondTheVisibleOnesInLargeFoldersOnly) {
    struct Case {
        int lo, hi, count;
        std::vector<int> items;
    } cases[] = {
        {0, 8, 100, {9, 10, 11}}, {20, 28, 100, {17, 18, 19, 29, 30, 31}}, {95, 99, 100, {92, 93, 94}}, {0, 8, 50, {}},
        {0, 8, 51, {9, 10, 11}},
    };
    for (const Case& c : cases)
        EXPECT_EQ(ShellImageSelector::readAheadItems(c.lo, c.hi, c.count), c.items)
            << c.lo << "-" << c.hi << " of " << c.count;

    // Once scrolling stops, what lies just beyond the screen is in the
    // cache: rows 0-2 show, items 9-11 are read ahead, nothing further.
    for (int count : {50, 100}) {
        SCOPED_TRACE(count);
        QDir(real(kShellFolder)).removeRecursively();
        addNumberedImages(count);
        auto picker = makePicker(std::nullopt);
        ASSERT_TRUE(settled(*picker));
        std::vector<int> visible = picker->collectionView()->indexPathsForVisibleItems();
        ASSERT_EQ(visible, (std::vector<int>{0, 1, 2, 3, 4, 5, 6, 7, 8}));
        picker->scrollViewDidEndDecelerating(picker->collectionView());
        const int expected = count == 100 ? 12 : 9;
        waitUntil([&] { return picker->imageCache().count() >= expected; }, 5000);
        QThreadPool::globalInstance()->waitForDone();
        EXPECT_EQ(picker->imageCache().count(), expected);
        for (int i = 0; i < expected; ++i)
            EXPECT_FALSE(picker->imageCache().objectForKey(picker->images[i]).isNull()) << i;
    }
}

TEST_F(PickerTest, ScrollingFastCancelsLoadsOfCellsThatLeftAndRunsAtMostThreeAtOnce) {
    // Fewer than 51 images: no read-ahead joins the loads.
    addNumberedImages(50);
    slowMs_ = 150;
    auto picker = makePicker(std::nullopt, true);
    // Row by row to the end, faster than the loads finish.
    for (int item = 0; item < 50; item += 3) {
        picker->collectionView()->scrollToItem(item);
        QCoreApplication::processEvents();
    }
    ASSERT_TRUE(settled(*picker));
    picker->imageProcessingQueue().waitForDone();
    EXPECT_LE(peak_.load(), kConcurrentLoads);
    EXPECT_GE(peak_.load(), 2) << "loads never overlapped; the test proves nothing";
    const QStringList decoded = decodedSince(0);
    EXPECT_LT(decoded.size(), 35) << "loads for cells that scrolled away were not cancelled";
    // The cells on screen at the end got their thumbnails all the same.
    for (int item : picker->collectionView()->indexPathsForVisibleItems()) {
        auto* cell = static_cast<ShellImageCell*>(picker->collectionView()->cellForItemAtIndexPath(item));
        EXPECT_EQ(cell->imageView()->image().size(), QSize(8, 8)) << item;
    }
}

TEST_F(PickerTest, AMemoryWarningReloadsExactlyTheVisibleThumbnails) {
    addNumberedImages(30);
    auto picker = makePicker(std::nullopt, true);
    ASSERT_TRUE(settled(*picker));
    picker->collectionView()->scrollToItem(9);
    ASSERT_TRUE(settled(*picker));
    QStringList visible;
    for (int item : picker->collectionView()->indexPathsForVisibleItems())
        visible << picker->images[item].section('/', -1);
    ASSERT_EQ(visible.size(), 9);
    const size_t before = decoded_.size();
    MemoryWarningCenter::instance().post();
    ASSERT_TRUE(settled(*picker));
    picker->imageProcessingQueue().waitForDone();
    QStringList again = decodedSince(before);
    again.sort();
    visible.sort();
    EXPECT_EQ(again, visible);
    EXPECT_EQ(picker->imageCache().count(), 9);
}

TEST_F(PickerTest, ThumbnailsAreBoundedAndTheCacheKeepsBothLimits) {
    struct Case {
        QSize file;
        QSize thumbnail;
    } sizes[] = {{{2000, 1000}, {512, 256}}, {{700, 1400}, {256, 512}}, {{300, 100}, {300, 100}}};
    for (const Case& c : sizes) {
        QImage img(c.file, QImage::Format_RGB32);
        img.fill(Qt::blue);
        const QString path = dir_.filePath("t.png");
        ASSERT_TRUE(img.save(path));
        EXPECT_EQ(ShellImageSelector::decodeThumbnail(path).size(), c.thumbnail) << c.file.width();
    }
    ASSERT_TRUE(mediatest::writeFile(dir_.filePath("broken.png"), "\x89PNG\r\n\x1a\nnot really"));
    EXPECT_TRUE(ShellImageSelector::decodeThumbnail(dir_.filePath("broken.png")).isNull());

    // Fifty 512 × 512 thumbnails reach both limits together.
    ThumbnailCache cache(kThumbnailCacheCount, kThumbnailCacheCost);
    const QImage thumb(1, 1, QImage::Format_ARGB32);
    for (int i = 0; i < 60; ++i) {
        cache.setObject(QString::number(i), thumb, 512 * 512 * 4);
        if (i == 30) cache.objectForKey("0");  // used again: kept
    }
    EXPECT_EQ(cache.count(), 50);
    EXPECT_EQ(cache.totalCost(), kThumbnailCacheCost);
    EXPECT_FALSE(cache.objectForKey("0").isNull());
    EXPECT_TRUE(cache.objectForKey("1").isNull());
    // Large thumbnails: the cost limit binds first.
    cache.removeAllObjects();
    for (int i = 0; i < 10; ++i) cache.setObject(QString::number(i), thumb, 20 * 1024 * 1024);
    EXPECT_EQ(cache.count(), 2);
    EXPECT_LE(cache.totalCost(), kThumbnailCacheCost);
}

TEST_F(PickerTest, AFileThatCannotBeDecodedLeavesAnEmptyImageAreaNotThePlaceholder) {
    addImages(kShellFolder, {"good.png"});
    ASSERT_TRUE(mediatest::writeFile(real(kShellFolder) + "/bad.png", "not an image"));
    auto picker = makePicker(std::nullopt);
    ASSERT_TRUE(settled(*picker));
    QCoreApplication::processEvents();
    auto* bad = static_cast<ShellImageCell*>(picker->collectionView()->cellForItemAtIndexPath(0));
    auto* good = static_cast<ShellImageCell*>(picker->collectionView()->cellForItemAtIndexPath(1));
    EXPECT_EQ(bad->nameLabel()->text(), "bad.png");
    EXPECT_TRUE(bad->imageView()->image().isNull());
    EXPECT_EQ(good->imageView()->image().size(), QSize(8, 8));
    EXPECT_EQ(picker->imageCache().count(), 1) << "nothing is cached for a file that failed";
}

}  // namespace
}  // namespace plinthora::prefs::testing
