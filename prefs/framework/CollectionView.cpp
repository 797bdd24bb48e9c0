#include "prefs/framework/CollectionView.h"

#include <QMouseEvent>
#include <QScrollBar>

#include <algorithm>
#include <cmath>

namespace plinthora::prefs {

namespace {
// How long the grid must stay still before scrolling counts as ended.
constexpr int kRestMs = 150;
}  // namespace

CollectionView::CollectionView(QWidget* parent) : QAbstractScrollArea(parent) {
    setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    // The item size follows the width: a bar that came and went would
    // re-flow the grid under the user's pointer.
    setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    setFrameShape(QFrame::NoFrame);
    restTimer_.setSingleShot(true);
    restTimer_.setInterval(kRestMs);
    connect(&restTimer_, &QTimer::timeout, this, [this] {
        if (delegate_) delegate_->scrollViewDidEndDecelerating(this);
    });
    connect(verticalScrollBar(), &QScrollBar::sliderPressed, this, [this] { dragging_ = true; });
    connect(verticalScrollBar(), &QScrollBar::sliderReleased, this, [this] {
        dragging_ = false;
        restTimer_.stop();
        if (delegate_) delegate_->scrollViewDidEndDragging(this, false);
    });
}

void CollectionView::setSpacing(double item, double line, double inset) {
    itemSpacing_ = item;
    lineSpacing_ = line;
    inset_ = inset;
    layoutItems();
}

CollectionViewCell* CollectionView::dequeueReusableCell() {
    if (!pool_.empty()) {
        CollectionViewCell* cell = pool_.back();
        pool_.pop_back();
        cell->prepareForReuse();
        return cell;
    }
    CollectionViewCell* cell = factory_ ? factory_() : new CollectionViewCell;
    cell->setParent(viewport());
    return cell;
}

void CollectionView::reloadData() {
    for (auto& [item, cell] : visible_) {
        cell->hide();
        pool_.push_back(cell);
        if (delegate_) delegate_->didEndDisplayingCell(this, cell, item);
    }
    visible_.clear();
    layoutItems();
}

CollectionViewCell* CollectionView::cellForItemAtIndexPath(int item) const {
    auto it = visible_.find(item);
    return it == visible_.end() ? nullptr : it->second;
}

std::vector<int> CollectionView::indexPathsForVisibleItems() const {
    std::vector<int> items;
    for (const auto& entry : visible_) items.push_back(entry.first);
    return items;
}

QRectF CollectionView::frameForItem(int item) const {
    return item >= 0 && item < static_cast<int>(frames_.size()) ? frames_[item] : QRectF();
}

void CollectionView::scrollToItem(int item) {
    verticalScrollBar()->setValue(qRound(frameForItem(item).top() - inset_));
}

void CollectionView::layoutItems() {
    frames_.clear();
    const int count = delegate_ ? delegate_->numberOfItemsInSection(this) : 0;
    const double width = viewport()->width();
    double x = inset_, y = inset_, rowHeight = 0;
    for (int i = 0; i < count; ++i) {
        const QSizeF size = delegate_->sizeForItemAtIndexPath(this, i);
        if (x > inset_ && x + size.width() > width - inset_ + 0.5) {
            x = inset_;
            y += rowHeight + lineSpacing_;
            rowHeight = 0;
        }
        frames_.emplace_back(QPointF(x, y), size);
        x += size.width() + itemSpacing_;
        rowHeight = std::max(rowHeight, size.height());
    }
    const double contentHeight = count ? y + rowHeight + inset_ : 0;
    verticalScrollBar()->setRange(0, std::max(0, static_cast<int>(std::ceil(contentHeight)) - viewport()->height()));
    verticalScrollBar()->setPageStep(viewport()->height());
    verticalScrollBar()->setSingleStep(20);
    updateVisibleCells();
}

void CollectionView::updateVisibleCells() {
    const double top = verticalScrollBar()->value();
    // An item that only touches an edge (fractional sizes) is not shown.
    const QRectF shown = QRectF(0, top, viewport()->width(), viewport()->height()).adjusted(0, 0.5, 0, -0.5);
    // Cells that left the screen go back to the pool first, so the new
    // items can reuse them.
    for (auto it = visible_.begin(); it != visible_.end();) {
        if (it->first < static_cast<int>(frames_.size()) && frames_[it->first].intersects(shown)) {
            ++it;
            continue;
        }
        CollectionViewCell* cell = it->second;
        const int item = it->first;
        it = visible_.erase(it);
        cell->hide();
        pool_.push_back(cell);
        if (delegate_) delegate_->didEndDisplayingCell(this, cell, item);
    }
    for (int i = 0; i < static_cast<int>(frames_.size()); ++i) {
        const QRectF& f = frames_[i];
        if (!f.intersects(shown)) continue;
        CollectionViewCell* cell = cellForItemAtIndexPath(i);
        if (!cell) {
            cell = delegate_->cellForItemAtIndexPath(this, i);
            visible_[i] = cell;
        }
        cell->setGeometry(f.translated(0, -top).toAlignedRect());
        cell->show();
    }
}

void CollectionView::resizeEvent(QResizeEvent* event) {
    QAbstractScrollArea::resizeEvent(event);
    layoutItems();
}

void CollectionView::scrollContentsBy(int, int) {
    updateVisibleCells();
    if (!dragging_) restTimer_.start();
}

bool CollectionView::viewportEvent(QEvent* event) {
    if (event->type() == QEvent::MouseButtonRelease) {
        mouseReleaseEvent(static_cast<QMouseEvent*>(event));
        return true;
    }
    return QAbstractScrollArea::viewportEvent(event);
}

void CollectionView::mouseReleaseEvent(QMouseEvent* event) {
    if (!delegate_ || event->button() != Qt::LeftButton) return;
    const QPointF p = event->position() + QPointF(0, verticalScrollBar()->value());
    for (const auto& [item, cell] : visible_)
        if (frames_[item].contains(p)) {
            delegate_->didSelectItemAtIndexPath(this, item);
            return;
        }
}

}  // namespace plinthora::prefs
