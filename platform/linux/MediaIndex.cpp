#include "platform/linux/MediaIndex.h"

#include "platform/linux/Files.h"

#include <cstring>

namespace plinthora::linux_platform {

namespace {

constexpr const char* kImagePrefix = "img:";
constexpr const char* kVideoPrefix = "vid:";

}  // namespace

std::string MediaIndex::identifierFor(MediaType type, const std::string& path, bool inFirstFolder) {
    // Files of the first folders are known by name alone, as they always
    // were; the others' names need their folder.
    return (type == MediaType::Image ? kImagePrefix : kVideoPrefix) + (inFirstFolder ? baseName(path) : path);
}

std::optional<MediaIndex::Named> MediaIndex::parseIdentifier(const std::string& id, const std::string& imageFolder,
                                                             const std::string& videoFolder) {
    Named named;
    if (id.rfind(kImagePrefix, 0) == 0) {
        named = {MediaType::Image, imageFolder, id.substr(std::strlen(kImagePrefix))};
    } else if (id.rfind(kVideoPrefix, 0) == 0) {
        named = {MediaType::Video, videoFolder, id.substr(std::strlen(kVideoPrefix))};
    } else {
        return std::nullopt;
    }
    if (!named.name.empty() && named.name[0] == '/') {
        named.folder = parentFolder(named.name);
        named.name = named.name.substr(named.folder.size() + 1);
    }
    return named;
}

Asset MediaIndex::put(const std::string& path, Asset asset) {
    std::lock_guard lock(mutex_);
    // Ours from the moment the name appeared, before the bytes are read.
    if (written_.count(path)) asset.ownResult = true;
    Order& order = orderOf(asset.mediaType);
    auto it = byPath_.find(path);
    if (it != byPath_.end()) {
        orderOf(it->second.asset.mediaType).erase(it->second.order);
        it->second.asset = asset;
        it->second.order = order.emplace(asset.creationDate, path);
    } else {
        byPath_.emplace(path, Entry{asset, order.emplace(asset.creationDate, path)});
    }
    return asset;
}

void MediaIndex::remove(const std::string& path) {
    std::lock_guard lock(mutex_);
    written_.erase(path);
    auto it = byPath_.find(path);
    if (it == byPath_.end()) return;
    orderOf(it->second.asset.mediaType).erase(it->second.order);
    byPath_.erase(it);
}

std::optional<Asset> MediaIndex::redate(const std::string& path, double now) {
    std::lock_guard lock(mutex_);
    auto it = byPath_.find(path);
    if (it == byPath_.end()) return std::nullopt;
    Order& order = orderOf(it->second.asset.mediaType);
    order.erase(it->second.order);
    it->second.asset.creationDate = now;
    it->second.order = order.emplace(now, path);
    return it->second.asset;
}

std::vector<Asset> MediaIndex::newest(MediaType type, int limit, double createdAfter) const {
    std::vector<Asset> out;
    if (limit <= 0) return out;
    std::lock_guard lock(mutex_);
    const Order& order = orderOf(type);
    for (auto it = order.rbegin(); it != order.rend() && int(out.size()) < limit; ++it) {
        if (!(it->first > createdAfter)) break;
        if (saving_.count(it->second)) continue;
        out.push_back(byPath_.at(it->second).asset);
    }
    return out;
}

size_t MediaIndex::size() const {
    std::lock_guard lock(mutex_);
    return byPath_.size();
}

std::vector<std::string> MediaIndex::paths() const {
    std::lock_guard lock(mutex_);
    std::vector<std::string> out;
    out.reserve(byPath_.size());
    for (const auto& [path, entry] : byPath_) out.push_back(path);
    return out;
}

void MediaIndex::claim(const std::string& path) {
    std::lock_guard lock(mutex_);
    written_.insert(path);
    saving_.insert(path);
}

void MediaIndex::unclaim(const std::string& path) {
    std::lock_guard lock(mutex_);
    if (auto it = written_.find(path); it != written_.end()) written_.erase(it);
    if (auto it = saving_.find(path); it != saving_.end()) saving_.erase(it);
}

void MediaIndex::saved(const std::string& path) {
    std::lock_guard lock(mutex_);
    if (auto it = saving_.find(path); it != saving_.end()) saving_.erase(it);
}

bool MediaIndex::claimed(const std::string& path) const {
    std::lock_guard lock(mutex_);
    return written_.count(path) != 0;
}

}  // namespace plinthora::linux_platform
