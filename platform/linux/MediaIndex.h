// The photo library's index, apart from the files it stands for: which
// assets there are, newest first for each kind, under which identifiers,
// and which of them the library wrote itself. It does no I/O; what it
// knows of a file is what it is told. Safe to use from several threads.
//
// Identifiers are "img:" or "vid:" followed by the file's name when it
// lies in the first folder of its kind, by its whole path otherwise.
#pragma once

#include "platform/ports/Media.h"

#include <cstddef>
#include <map>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <unordered_map>
#include <vector>

namespace plinthora::linux_platform {

class MediaIndex {
public:
    // The identifier of the file at `path` (a folder, a slash, a name).
    static std::string identifierFor(MediaType type, const std::string& path, bool inFirstFolder);

    struct Named {
        MediaType type;
        std::string folder;
        std::string name;
    };
    // What an identifier names, given the first folders: nullopt for one
    // that is none of ours. Whether the file is there, and a media file of
    // that folder, is for the caller to see.
    static std::optional<Named> parseIdentifier(const std::string& id, const std::string& imageFolder,
                                                const std::string& videoFolder);

    // Adds `asset` as the entry of `path`, or refreshes the entry there.
    // It counts as our own result when we claimed the path. Returns the
    // asset as entered.
    Asset put(const std::string& path, Asset asset);
    void remove(const std::string& path);
    // Dates the entry of `path` `now`, as new; nullopt when there is none.
    std::optional<Asset> redate(const std::string& path, double now);

    // Up to `limit` assets of the type created after `createdAfter`,
    // newest first, our saves still in progress left out.
    std::vector<Asset> newest(MediaType type, int limit, double createdAfter) const;
    size_t size() const;
    std::vector<std::string> paths() const;

    // A save of ours takes `path`: claimed before the name appears, so that
    // a watcher's report of it already finds it ours, and left out of
    // newest() until saved() (a search running meanwhile would take the
    // result for a new capture before its completion marks it as ours).
    // Each writer claiming a name holds a claim of its own.
    void claim(const std::string& path);
    // The claim of a save that did not get the name, and only that one:
    // another writer may be claiming the same name at this moment.
    void unclaim(const std::string& path);
    // The save's completion has returned.
    void saved(const std::string& path);
    // True for a path claimed and not removed since.
    bool claimed(const std::string& path) const;

private:
    using Order = std::multimap<double, std::string>;  // creation date → path
    struct Entry {
        Asset asset;
        Order::iterator order;
    };
    Order& orderOf(MediaType type) { return type == MediaType::Image ? imagesByDate_ : videosByDate_; }
    const Order& orderOf(MediaType type) const { return type == MediaType::Image ? imagesByDate_ : videosByDate_; }

    mutable std::mutex mutex_;
    std::unordered_map<std::string, Entry> byPath_;
    Order imagesByDate_, videosByDate_;
    std::multiset<std::string> written_;  // paths we wrote, once per writer claiming the name
    std::multiset<std::string> saving_;   // our saves whose completion has not returned yet
};

}  // namespace plinthora::linux_platform
