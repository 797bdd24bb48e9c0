// A scrolling grid of reusable cells, laid out in rows (a flow layout):
// cells exist only for the items on screen, a cell that scrolls out goes
// back to a pool and is handed out again, and the delegate hears when a
// cell stops being shown and when scrolling comes to rest.
#pragma once

#include <QAbstractScrollArea>
#include <QTimer>

#include <functional>
#include <map>
#include <vector>

namespace plinthora::prefs {

class CollectionViewCell : public QWidget {
    Q_OBJECT
public:
    using QWidget::QWidget;
    // Called when a cell is taken from the pool for another item.
    virtual void prepareForReuse() {}
};

class CollectionView;

class CollectionViewDelegate {
public:
    virtual ~CollectionViewDelegate() = default;
    virtual int numberOfItemsInSection(CollectionView* view) = 0;
    virtual CollectionViewCell* cellForItemAtIndexPath(CollectionView* view, int item) = 0;
    virtual QSizeF sizeForItemAtIndexPath(CollectionView* view, int item) = 0;
    virtual void didSelectItemAtIndexPath(CollectionView*, int) {}
    virtual void didEndDisplayingCell(CollectionView*, CollectionViewCell*, int) {}
    virtual void scrollViewDidEndDragging(CollectionView*, bool) {}
    virtual void scrollViewDidEndDecelerating(CollectionView*) {}
};

class CollectionView : public QAbstractScrollArea {
    Q_OBJECT
public:
    explicit CollectionView(QWidget* parent = nullptr);

    void setDelegate(CollectionViewDelegate* delegate) { delegate_ = delegate; }
    // Spacing between items in a row, between rows, and around the section.
    void setSpacing(double item, double line, double inset);

    using CellFactory = std::function<CollectionViewCell*()>;
    void registerCellClass(CellFactory factory) { factory_ = std::move(factory); }
    CollectionViewCell* dequeueReusableCell();

    void reloadData();
    // The cell shown for the item, or nullptr when it is off screen.
    CollectionViewCell* cellForItemAtIndexPath(int item) const;
    std::vector<int> indexPathsForVisibleItems() const;
    QRectF frameForItem(int item) const;
    // Scrolls so that `item`'s row is at the top (as far as possible).
    void scrollToItem(int item);

protected:
    void resizeEvent(QResizeEvent* event) override;
    void scrollContentsBy(int dx, int dy) override;
    void mouseReleaseEvent(QMouseEvent* event) override;
    bool viewportEvent(QEvent* event) override;

private:
    void layoutItems();
    void updateVisibleCells();

    CollectionViewDelegate* delegate_ = nullptr;
    CellFactory factory_;
    double itemSpacing_ = 10, lineSpacing_ = 10, inset_ = 10;
    std::vector<QRectF> frames_;
    std::map<int, CollectionViewCell*> visible_;
    std::vector<CollectionViewCell*> pool_;
    QTimer restTimer_;
    bool dragging_ = false;
};

}  // namespace plinthora::prefs
