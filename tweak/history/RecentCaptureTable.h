// Assets taken up or produced in the last 25 s, and the last saved result,
// so that no search takes the same asset twice or our own output as new.
#pragma once

#include <optional>
#include <string>

namespace plinthora {

inline constexpr double kRecentEntryLifetime = 25.0;

void pruneRecentAssetIdentifiers();
void recordRecentAssetIdentifier(const std::string& identifier);
// True when stamped no more than 25 s ago.
bool isRecentlyHandled(const std::string& identifier);

std::optional<std::string> lastSavedAssetIdentifier();
void setLastSavedAssetIdentifier(const std::string& identifier);

size_t recentAssetCountForTesting();
void resetRecentCaptureTableForTesting();

}  // namespace plinthora
