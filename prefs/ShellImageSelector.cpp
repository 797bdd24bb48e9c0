#include "prefs/ShellImageSelector.h"

#include "prefs/AssetFolder.h"
#include "prefs/PrefsEnvironment.h"
#include "prefs/ThumbnailCache.h"
#include "prefs/framework/MemoryWarning.h"
#include "prefs/framework/PSSpecifier.h"

#include <QApplication>
#include <QCoreApplication>
#include <QHBoxLayout>
#include <QFile>
#include <QImageReader>
#include <QLabel>
#include <QPainter>
#include <QPainterPath>
#include <QPushButton>
#include <QScreen>
#include <QThread>
#include <QVBoxLayout>

#include <algorithm>

#include <fcntl.h>
#include <unistd.h>

namespace plinthora::prefs {

namespace {

QImage loadThumbnail(const QString& path, ThumbnailCache& cache, const ShellImageSelector::Decoder& decode) {
    if (QImage cached = cache.objectForKey(path); !cached.isNull()) return cached;
    QImage image = decode(path);
    if (image.isNull()) return {};
    image.setDevicePixelRatio(1);
    cache.setObject(path, image, static_cast<int64_t>(image.width()) * image.height() * 4);
    return image;
}

QString lastComponent(const QString& path) { return path.section('/', -1); }

}  // namespace

// ---- thumbnail view -------------------------------------------------------------

ThumbnailView::ThumbnailView(QWidget* parent) : QWidget(parent) {
    fade_.setStartValue(0.0);
    fade_.setEndValue(1.0);
    fade_.setDuration(kFadeMs);
    connect(&fade_, &QVariantAnimation::valueChanged, this, [this] { update(); });
    connect(&fade_, &QVariantAnimation::finished, this, [this] {
        previous_ = QImage();
        update();
    });
}

void ThumbnailView::setImage(const QImage& image, bool fade) {
    fade_.stop();
    previous_ = fade ? image_ : QImage();
    image_ = image;
    if (fade) fade_.start();
    update();
}

void ThumbnailView::paintEvent(QPaintEvent*) {
    QPainter p(this);
    p.setRenderHint(QPainter::Antialiasing);
    p.setRenderHint(QPainter::SmoothPixmapTransform);
    const QRectF bounds = QRectF(rect()).adjusted(0.5, 0.5, -0.5, -0.5);
    QPainterPath clip;
    clip.addRoundedRect(bounds, 8, 8);
    p.setClipPath(clip);
    auto drawFitted = [&](const QImage& img, double opacity) {
        if (img.isNull() || opacity <= 0) return;
        const QSizeF size = img.deviceIndependentSize().scaled(bounds.size(), Qt::KeepAspectRatio);
        QRectF target(QPointF(), size);
        target.moveCenter(bounds.center());
        p.setOpacity(opacity);
        p.drawImage(target, img);
    };
    const double t = fade_.state() == QAbstractAnimation::Running ? fade_.currentValue().toDouble() : 1.0;
    drawFitted(previous_, 1.0 - t);
    drawFitted(image_, t);
    p.setOpacity(1);
    p.setClipping(false);
    p.setPen(QPen(QColor(170, 170, 170), 1));
    p.setBrush(Qt::NoBrush);
    p.drawRoundedRect(bounds, 8, 8);
}

// ---- cell -------------------------------------------------------------------------

ShellImageCell::ShellImageCell(QWidget* parent)
    : CollectionViewCell(parent),
      imageView_(new ThumbnailView(this)),
      nameLabel_(new QLabel(this)),
      selectionIndicator_(new QWidget(this)) {
    QFont f = nameLabel_->font();
    f.setPixelSize(10);
    nameLabel_->setFont(f);
    nameLabel_->setAlignment(Qt::AlignCenter);
    // Added last, so the frame lies over the image and the name.
    selectionIndicator_->setAttribute(Qt::WA_TransparentForMouseEvents);
    selectionIndicator_->setAttribute(Qt::WA_StyledBackground);
    selectionIndicator_->setStyleSheet(
        "border: 3px solid rgb(0, 122, 255); border-radius: 8px; background: rgba(0, 122, 255, 26);");
    selectionIndicator_->hide();
}

void ShellImageCell::resizeEvent(QResizeEvent*) {
    const int w = width(), h = height();
    imageView_->setGeometry(5, 5, w - 10, h - 30);
    nameLabel_->setGeometry(2, h - 25 + 2, w - 4, 20);
    selectionIndicator_->setGeometry(0, 0, w, h);
}

void ShellImageCell::prepareForReuse() {
    imageView_->setImage(QImage());
    nameLabel_->clear();
    selectionIndicator_->hide();
}

// ---- picker -----------------------------------------------------------------------

ShellImageSelector::ShellImageSelector(QWidget* parent)
    : QWidget(parent),
      collectionView_(new CollectionView(this)),
      imageCache_(std::make_shared<ThumbnailCache>(kThumbnailCacheCount, kThumbnailCacheCost)),
      decoder_(std::make_shared<Decoder>(&ShellImageSelector::decodeThumbnail)) {
    imageProcessingQueue_.setMaxThreadCount(kConcurrentLoads);
    connect(&MemoryWarningCenter::instance(), &MemoryWarningCenter::didReceiveMemoryWarning, this,
            &ShellImageSelector::didReceiveMemoryWarning);

    collectionView_->setSpacing(10, 10, 10);
    collectionView_->setStyleSheet("background: #f2f2f7;");
    collectionView_->setDelegate(this);
    collectionView_->registerCellClass([] { return new ShellImageCell; });
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->addWidget(collectionView_);
}

ShellImageSelector::~ShellImageSelector() {
    cancelAllOperations();
    imageCache_->removeAllObjects();
    collectionView_->setDelegate(nullptr);
    // The queue's own teardown waits for loads under way; they see their
    // cancellation and stop.
}

void ShellImageSelector::setDecoder(Decoder decoder) { decoder_ = std::make_shared<Decoder>(std::move(decoder)); }

void ShellImageSelector::presentFromViewController(QWidget* from, const QString& assetsDirectory,
                                                   std::optional<QString> currentSelection, Completion completion) {
    auto* navigation = new QDialog(from);
    navigation->setAttribute(Qt::WA_DeleteOnClose);
    navigation->setObjectName("ShellImageSelectorNavigation");
    navigation->setWindowTitle(QCoreApplication::translate("Picker", "选择素材"));
    navigation->resize(from ? from->width() : 390, 640);

    auto* picker = new ShellImageSelector(navigation);
    picker->assetsDirectory = assetsDirectory;
    picker->completionHandler = std::move(completion);
    picker->currentSelectedImage = std::move(currentSelection);

    auto* bar = new QWidget;
    bar->setObjectName("NavigationBar");
    bar->setStyleSheet(
        "#NavigationBar { background: #f9f9f9; border-bottom: 1px solid #d1d1d6; }"
        "QPushButton { border: none; color: #007aff; padding: 10px 14px; }");
    auto* row = new QHBoxLayout(bar);
    row->setContentsMargins(0, 0, 0, 0);
    auto* cancel = new QPushButton(QCoreApplication::translate("Picker", "取消"));
    cancel->setObjectName("Cancel");
    auto* title = new QLabel(QCoreApplication::translate("Picker", "选择素材"));
    title->setAlignment(Qt::AlignCenter);
    QFont tf = title->font();
    tf.setBold(true);
    title->setFont(tf);
    auto* doneButton = new QPushButton(QCoreApplication::translate("Picker", "完成"));
    doneButton->setObjectName("Done");
    QFont df = doneButton->font();
    df.setBold(true);
    doneButton->setFont(df);
    row->addWidget(cancel);
    row->addWidget(title, 1);
    row->addWidget(doneButton);
    QObject::connect(cancel, &QPushButton::clicked, picker, &ShellImageSelector::cancel);
    QObject::connect(doneButton, &QPushButton::clicked, picker, &ShellImageSelector::done);

    auto* layout = new QVBoxLayout(navigation);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(0);
    layout->addWidget(bar);
    layout->addWidget(picker, 1);
    picker->viewDidLoad();
    navigation->open();
}

void ShellImageSelector::viewDidLoad() {
    if (loaded_) return;
    loaded_ = true;
    loadAvailableImages();
}

void ShellImageSelector::loadAvailableImages() {
    FileSystem& fs = *PrefsEnvironment::current().fs;
    const std::string folder = bytesFromText(assetsDirectory);
    const QString real = textFromBytes(fs.realPath(folder));
    images.clear();
    // Every path shares the folder, so sorting names sorts the paths.
    for (const QString& name : listImageNames(fs, folder)) images << real + "/" + name;

    selectedImagePath.clear();
    if (currentSelectedImage && *currentSelectedImage != kNoAssets) {
        const QString wanted = real + "/" + *currentSelectedImage;
        if (images.contains(wanted) && !currentSelectedImage->isEmpty())
            selectedImagePath = wanted;
        else if (!images.isEmpty())
            selectedImagePath = images.first();
    } else if (!images.isEmpty()) {
        selectedImagePath = images.first();
    }
    collectionView_->reloadData();
}

QImage ShellImageSelector::decodeThumbnail(const QString& path) {
    // Opened by its bytes: Qt's own file names cannot hold every name.
    const int fd = ::open(bytesFromText(path).c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return {};
    QFile file;
    if (!file.open(fd, QIODevice::ReadOnly, QFileDevice::AutoCloseHandle)) {
        ::close(fd);
        return {};
    }
    QImageReader reader(&file);
    reader.setAutoTransform(true);
    const QSize size = reader.size();
    if (size.isValid() && std::max(size.width(), size.height()) > kLargestThumbnailSide)
        reader.setScaledSize(size.scaled(kLargestThumbnailSide, kLargestThumbnailSide, Qt::KeepAspectRatio));
    QImage image = reader.read();
    // A reader that could not tell the size up front decoded it whole.
    if (!image.isNull() && std::max(image.width(), image.height()) > kLargestThumbnailSide)
        image =
            image.scaled(kLargestThumbnailSide, kLargestThumbnailSide, Qt::KeepAspectRatio, Qt::SmoothTransformation);
    return image;
}

QImage ShellImageSelector::safeLoadImageForPath(const QString& path) {
    return loadThumbnail(path, *imageCache_, *decoder_);
}

QImage ShellImageSelector::placeholderImage() const {
    const double scale = screen() ? screen()->devicePixelRatio() : 1.0;
    QImage image((thumbnailSize * scale).toSize().expandedTo(QSize(1, 1)), QImage::Format_ARGB32_Premultiplied);
    image.fill(QColor::fromRgbF(0.95f, 0.95f, 0.95f, 1.0f));
    image.setDevicePixelRatio(scale);
    return image;
}

CollectionViewCell* ShellImageSelector::cellForItemAtIndexPath(CollectionView* view, int item) {
    auto* cell = static_cast<ShellImageCell*>(view->dequeueReusableCell());
    const QString& path = images[item];
    cell->imagePath = path;
    cell->nameLabel()->setText(shownText(lastComponent(path)));
    cell->selectionIndicator()->setVisible(path == selectedImagePath);
    cell->imageView()->setImage(placeholderImage());
    loadImageAsyncForPath(path, item, cell);
    return cell;
}

void ShellImageSelector::loadImageAsyncForPath(const QString& path, int item, ShellImageCell* cell) {
    if (auto it = imageLoadingOperations_.find(item); it != imageLoadingOperations_.end()) *it->second = true;
    if (QImage cached = imageCache_->objectForKey(path); !cached.isNull()) {
        cell->imageView()->setImage(cached);
        imageLoadingOperations_.erase(item);
        return;
    }
    auto cancelled = std::make_shared<std::atomic<bool>>(false);
    QPointer<ShellImageSelector> self(this);
    QPointer<ShellImageCell> weakCell(cell);
    auto cache = imageCache_;
    auto decoder = decoder_;
    imageLoadingOperations_[item] = cancelled;
    imageProcessingQueue_.start([=] {
        if (*cancelled) return;
        const QImage image = loadThumbnail(path, *cache, *decoder);
        if (*cancelled) return;
        QMetaObject::invokeMethod(
            qApp,
            [=] {
                if (*cancelled || !self) return;
                if (self->collectionView_->cellForItemAtIndexPath(item) == weakCell.data() && weakCell &&
                    weakCell->imagePath == path)
                    weakCell->imageView()->setImage(image, true);
                // A newer load for this position keeps its own record.
                auto it = self->imageLoadingOperations_.find(item);
                if (it != self->imageLoadingOperations_.end() && it->second == cancelled)
                    self->imageLoadingOperations_.erase(it);
            },
            Qt::QueuedConnection);
    });
}

QSizeF ShellImageSelector::sizeForItemAtIndexPath(CollectionView* view, int) {
    const double k = (view->viewport()->width() - 50) / 3.0;
    return {k, k + 30};
}

void ShellImageSelector::resizeEvent(QResizeEvent* event) {
    QWidget::resizeEvent(event);
    const double k = (collectionView_->viewport()->width() - 50) / 3.0;
    thumbnailSize = QSizeF(k - 10, k - 10);
}

void ShellImageSelector::didSelectItemAtIndexPath(CollectionView* view, int item) {
    selectedImagePath = images.value(item);
    view->reloadData();
}

void ShellImageSelector::didEndDisplayingCell(CollectionView*, CollectionViewCell*, int item) {
    if (auto it = imageLoadingOperations_.find(item); it != imageLoadingOperations_.end()) {
        *it->second = true;
        imageLoadingOperations_.erase(it);
    }
}

void ShellImageSelector::scrollViewDidEndDragging(CollectionView*, bool decelerate) {
    if (!decelerate) preloadImagesForVisibleArea();
}

void ShellImageSelector::scrollViewDidEndDecelerating(CollectionView*) { preloadImagesForVisibleArea(); }

std::vector<int> ShellImageSelector::readAheadItems(int lo, int hi, int count) {
    std::vector<int> items;
    if (count < kReadAheadFrom) return items;
    const int start = std::max(0, lo - kReadAheadReach);
    const int end = std::min(count - 1, hi + kReadAheadReach);
    for (int i = start; i <= end; ++i)
        if (i < lo || i > hi) items.push_back(i);
    return items;
}

void ShellImageSelector::preloadImagesForVisibleArea() {
    const std::vector<int> visible = collectionView_->indexPathsForVisibleItems();
    if (visible.empty()) return;
    const auto [lo, hi] = std::minmax_element(visible.begin(), visible.end());
    QStringList paths;
    for (int i : readAheadItems(*lo, *hi, static_cast<int>(images.size()))) paths << images[i];
    if (paths.isEmpty()) return;
    auto cache = imageCache_;
    auto decoder = decoder_;
    // Behind every other task of the shared pool.
    QThreadPool::globalInstance()->start(
        [paths, cache, decoder] {
            for (const QString& path : paths)
                if (cache->objectForKey(path).isNull()) loadThumbnail(path, *cache, *decoder);
        },
        -1);
}

void ShellImageSelector::cancelAllOperations() {
    for (auto& [item, cancelled] : imageLoadingOperations_) *cancelled = true;
    imageLoadingOperations_.clear();
}

void ShellImageSelector::didReceiveMemoryWarning() {
    imageCache_->removeAllObjects();
    cancelAllOperations();
    for (int item : collectionView_->indexPathsForVisibleItems())
        if (auto* cell = static_cast<ShellImageCell*>(collectionView_->cellForItemAtIndexPath(item)))
            loadImageAsyncForPath(images[item], item, cell);
}

void ShellImageSelector::dismiss() {
    if (auto* navigation = qobject_cast<QDialog*>(parentWidget()))
        navigation->close();
    else
        close();
}

void ShellImageSelector::cancel() { dismiss(); }

void ShellImageSelector::done() {
    if (completionHandler) {
        if (!selectedImagePath.isEmpty()) {
            const QString name = lastComponent(selectedImagePath);
            completionHandler(&name);
        } else {
            completionHandler(nullptr);
        }
    }
    dismiss();
}

}  // namespace plinthora::prefs
