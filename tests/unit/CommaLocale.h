// A comma-decimal locale for tests: de_DE.UTF-8 as installed, or one of
// our own made with localedef where only the tests look (no root, no
// locales package needed).
#pragma once

#include <gtest/gtest.h>

#include <clocale>
#include <cstdlib>
#include <filesystem>
#include <string>

#include <unistd.h>

namespace plinthora::testing {

inline constexpr const char* kCommaLocale = "de_DE.UTF-8";

// The folder to give as LOCPATH so kCommaLocale loads ("" when the system
// has it); made once per user.
inline std::string commaLocalePath() {
    const std::string saved = std::setlocale(LC_ALL, nullptr);
    const bool installed = std::setlocale(LC_ALL, kCommaLocale) != nullptr;
    std::setlocale(LC_ALL, saved.c_str());
    if (installed && !std::getenv("LOCPATH")) return {};
    const std::string dir = ::testing::TempDir() + "/plinthora-locales-" + std::to_string(::getuid());
    if (!std::filesystem::exists(dir + "/" + kCommaLocale + "/LC_NUMERIC")) {
        std::filesystem::create_directories(dir);
        const std::string cmd = "localedef -i de_DE -f UTF-8 '" + dir + "/" + kCommaLocale + "' >/dev/null 2>&1";
        (void)std::system(cmd.c_str());
    }
    return dir;
}

// Switches this process's C library to the comma locale; false when it
// cannot be made.
inline bool useCommaLocale() {
    if (const std::string dir = commaLocalePath(); !dir.empty()) ::setenv("LOCPATH", dir.c_str(), 1);
    return std::setlocale(LC_ALL, kCommaLocale) != nullptr;
}

}  // namespace plinthora::testing
