#include "prefs/ThumbnailCache.h"

namespace plinthora::prefs {

QImage ThumbnailCache::objectForKey(const QString& key) {
    std::lock_guard lock(mutex_);
    auto it = index_.find(key);
    if (it == index_.end()) return {};
    entries_.splice(entries_.begin(), entries_, it.value());
    return entries_.front().image;
}

void ThumbnailCache::setObject(const QString& key, const QImage& image, int64_t cost) {
    std::lock_guard lock(mutex_);
    if (auto it = index_.find(key); it != index_.end()) {
        cost_ -= it.value()->cost;
        entries_.erase(it.value());
        index_.erase(it);
    }
    entries_.push_front({key, image, cost});
    index_.insert(key, entries_.begin());
    cost_ += cost;
    evictLocked();
}

void ThumbnailCache::evictLocked() {
    while (!entries_.empty() && (static_cast<int>(entries_.size()) > countLimit_ || cost_ > costLimit_)) {
        cost_ -= entries_.back().cost;
        index_.remove(entries_.back().key);
        entries_.pop_back();
    }
}

void ThumbnailCache::removeAllObjects() {
    std::lock_guard lock(mutex_);
    entries_.clear();
    index_.clear();
    cost_ = 0;
}

int ThumbnailCache::count() const {
    std::lock_guard lock(mutex_);
    return static_cast<int>(entries_.size());
}

int64_t ThumbnailCache::totalCost() const {
    std::lock_guard lock(mutex_);
    return cost_;
}

}  // namespace plinthora::prefs
