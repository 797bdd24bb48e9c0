// Decoded thumbnails by full path, bounded by a number of images and by a
// total cost; the least recently used go first. Safe for use from any
// thread.
#pragma once

#include <QHash>
#include <QImage>
#include <QString>

#include <cstdint>
#include <list>
#include <mutex>

namespace plinthora::prefs {

class ThumbnailCache {
public:
    ThumbnailCache(int countLimit, int64_t totalCostLimit) : countLimit_(countLimit), costLimit_(totalCostLimit) {}

    // A null image when none is held.
    QImage objectForKey(const QString& key);
    void setObject(const QString& key, const QImage& image, int64_t cost);
    void removeAllObjects();

    int count() const;
    int64_t totalCost() const;

private:
    struct Entry {
        QString key;
        QImage image;
        int64_t cost;
    };
    void evictLocked();

    const int countLimit_;
    const int64_t costLimit_;
    mutable std::mutex mutex_;
    std::list<Entry> entries_;  // most recently used first
    QHash<QString, std::list<Entry>::iterator> index_;
    int64_t cost_ = 0;
};

}  // namespace plinthora::prefs
