#include "history/RecentCaptureTable.h"

#include "platform/ports/Platform.h"

#include <mutex>
#include <unordered_map>

namespace plinthora {

namespace {

struct Table {
    std::mutex lock;  // guards both values
    std::unordered_map<std::string, double> recentAssetIdentifiers;
    std::optional<std::string> lastSaved;
};

Table& table() {
    static Table t;
    return t;
}

double now() { return platform().clock->now(); }

}  // namespace

void pruneRecentAssetIdentifiers() {
    Table& t = table();
    const double n = now();
    std::lock_guard g(t.lock);
    std::erase_if(t.recentAssetIdentifiers, [n](const auto& entry) { return n - entry.second > kRecentEntryLifetime; });
}

void recordRecentAssetIdentifier(const std::string& identifier) {
    if (identifier.empty()) return;
    Table& t = table();
    const double n = now();
    std::lock_guard g(t.lock);
    t.recentAssetIdentifiers[identifier] = n;
}

bool isRecentlyHandled(const std::string& identifier) {
    Table& t = table();
    const double n = now();
    std::lock_guard g(t.lock);
    auto it = t.recentAssetIdentifiers.find(identifier);
    return it != t.recentAssetIdentifiers.end() && n - it->second <= kRecentEntryLifetime;
}

std::optional<std::string> lastSavedAssetIdentifier() {
    Table& t = table();
    std::lock_guard g(t.lock);
    return t.lastSaved;
}

void setLastSavedAssetIdentifier(const std::string& identifier) {
    Table& t = table();
    std::lock_guard g(t.lock);
    t.lastSaved = identifier;
}

size_t recentAssetCountForTesting() {
    Table& t = table();
    std::lock_guard g(t.lock);
    return t.recentAssetIdentifiers.size();
}

void resetRecentCaptureTableForTesting() {
    Table& t = table();
    std::lock_guard g(t.lock);
    t.recentAssetIdentifiers.clear();
    t.lastSaved.reset();
}

}  // namespace plinthora
