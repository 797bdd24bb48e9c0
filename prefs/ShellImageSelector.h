// The asset picker: a three-column grid of thumbnails of one asset folder,
// from which the user marks one file and confirms with "Done".
// Thumbnails are decoded off the main thread into a bounded cache; loads
// for cells that scroll away are cancelled, and large folders read a few
// items ahead once scrolling stops.
#pragma once

#include "prefs/framework/CollectionView.h"

#include <QDialog>
#include <QImage>
#include <QPointer>
#include <QThreadPool>
#include <QVariantAnimation>

#include <atomic>
#include <functional>
#include <map>
#include <memory>
#include <optional>

class QLabel;

namespace plinthora::prefs {

class ThumbnailCache;

inline constexpr int kThumbnailCacheCount = 50;
inline constexpr int64_t kThumbnailCacheCost = 50LL * 1024 * 1024;
inline constexpr int kConcurrentLoads = 3;
inline constexpr int kLargestThumbnailSide = 512;
inline constexpr int kReadAheadFrom = 51;
inline constexpr int kReadAheadReach = 3;
inline constexpr int kFadeMs = 200;

// An image shown scaled to fit inside, keeping its aspect, in a rounded
// frame; a new image cross-dissolves over the old one.
class ThumbnailView : public QWidget {
    Q_OBJECT
public:
    explicit ThumbnailView(QWidget* parent = nullptr);
    const QImage& image() const { return image_; }
    void setImage(const QImage& image, bool fade = false);

protected:
    void paintEvent(QPaintEvent*) override;

private:
    QImage image_, previous_;
    QVariantAnimation fade_;
};

class ShellImageCell : public CollectionViewCell {
    Q_OBJECT
public:
    explicit ShellImageCell(QWidget* parent = nullptr);
    void prepareForReuse() override;

    ThumbnailView* imageView() const { return imageView_; }
    QLabel* nameLabel() const { return nameLabel_; }
    QWidget* selectionIndicator() const { return selectionIndicator_; }
    QString imagePath;

protected:
    void resizeEvent(QResizeEvent*) override;

private:
    ThumbnailView* imageView_;
    QLabel* nameLabel_;
    QWidget* selectionIndicator_;
};

class ShellImageSelector : public QWidget, public CollectionViewDelegate {
    Q_OBJECT
public:
    // Called with the chosen file name, or with nullptr when "Done" is
    // tapped with nothing marked.
    using Completion = std::function<void(const QString* name)>;
    using Decoder = std::function<QImage(const QString& path)>;

    explicit ShellImageSelector(QWidget* parent = nullptr);
    ~ShellImageSelector() override;

    // Makes a picker for the (device) folder, puts it in a window with a
    // title bar, and shows that over `from`.
    static void presentFromViewController(QWidget* from, const QString& assetsDirectory,
                                          std::optional<QString> currentSelection, Completion completion);

    QString assetsDirectory;
    std::optional<QString> currentSelectedImage;
    Completion completionHandler;
    QStringList images;         // real full paths, sorted
    QString selectedImagePath;  // empty: nothing marked
    CollectionView* collectionView() const { return collectionView_; }
    ThumbnailCache& imageCache() const { return *imageCache_; }
    QThreadPool& imageProcessingQueue() { return imageProcessingQueue_; }
    const std::map<int, std::shared_ptr<std::atomic<bool>>>& imageLoadingOperations() const {
        return imageLoadingOperations_;
    }
    QSizeF thumbnailSize;

    // Lists the folder (once, when the view loads).
    void viewDidLoad();
    void loadAvailableImages();
    QImage safeLoadImageForPath(const QString& path);
    void loadImageAsyncForPath(const QString& path, int item, ShellImageCell* cell);
    QImage placeholderImage() const;
    void preloadImagesForVisibleArea();

    // Items read ahead around visible items lo..hi of `count` images.
    static std::vector<int> readAheadItems(int lo, int hi, int count);
    // The thumbnail of a file: its longest side at most 512 pixels, never
    // decoding the full image; null when it cannot be read.
    static QImage decodeThumbnail(const QString& path);
    // Replaces the decoder (tests count and slow down loads with it).
    void setDecoder(Decoder decoder);

    // CollectionViewDelegate
    int numberOfItemsInSection(CollectionView*) override { return static_cast<int>(images.size()); }
    CollectionViewCell* cellForItemAtIndexPath(CollectionView* view, int item) override;
    QSizeF sizeForItemAtIndexPath(CollectionView* view, int item) override;
    void didSelectItemAtIndexPath(CollectionView* view, int item) override;
    void didEndDisplayingCell(CollectionView* view, CollectionViewCell* cell, int item) override;
    void scrollViewDidEndDragging(CollectionView* view, bool decelerate) override;
    void scrollViewDidEndDecelerating(CollectionView* view) override;

public slots:
    void didReceiveMemoryWarning();
    void cancel();
    void done();

protected:
    void resizeEvent(QResizeEvent* event) override;

private:
    void dismiss();
    void cancelAllOperations();

    CollectionView* collectionView_;
    std::shared_ptr<ThumbnailCache> imageCache_;
    std::shared_ptr<Decoder> decoder_;
    std::map<int, std::shared_ptr<std::atomic<bool>>> imageLoadingOperations_;
    QThreadPool imageProcessingQueue_;
    bool loaded_ = false;
};

}  // namespace plinthora::prefs
