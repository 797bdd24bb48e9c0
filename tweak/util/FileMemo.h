// Something worked out from a file, kept while the file keeps its path,
// size and modification time (its stamp): the daemon dresses every capture
// in the same few shells and watermark. The newest few are kept.
#pragma once

#include "platform/ports/Ports.h"

#include <deque>
#include <memory>
#include <mutex>
#include <string>

namespace plinthora {

template <typename T>
class FileMemo {
public:
    explicit FileMemo(size_t capacity) : capacity_(capacity) {}

    // The value kept for this file system, path and stamp that `usable`
    // accepts, or null.
    template <typename Usable>
    std::shared_ptr<T> find(const FileSystem* fs, const std::string& path, const FileStamp& stamp, Usable usable) {
        std::lock_guard g(lock_);
        for (const Entry& e : entries_)
            if (e.fs == fs && e.path == path && e.stamp == stamp && usable(*e.value)) return e.value;
        return nullptr;
    }
    std::shared_ptr<T> find(const FileSystem* fs, const std::string& path, const FileStamp& stamp) {
        return find(fs, path, stamp, [](const T&) { return true; });
    }

    // Take the stamp before reading the file: a file that changes meanwhile
    // has another stamp at the next look, and is worked out again then.
    void keep(const FileSystem* fs, const std::string& path, const FileStamp& stamp, std::shared_ptr<T> value) {
        std::lock_guard g(lock_);
        std::erase_if(entries_, [&](const Entry& e) { return e.path == path; });
        entries_.push_front({fs, path, stamp, std::move(value)});
        if (entries_.size() > capacity_) entries_.pop_back();
    }

    void clear() {
        std::lock_guard g(lock_);
        entries_.clear();
    }

private:
    struct Entry {
        const FileSystem* fs;
        std::string path;
        FileStamp stamp;
        std::shared_ptr<T> value;
    };
    std::mutex lock_;
    std::deque<Entry> entries_;
    size_t capacity_;
};

}  // namespace plinthora
