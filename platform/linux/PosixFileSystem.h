// The file system port on real files.
#pragma once

#include "platform/ports/Ports.h"

#include <optional>
#include <string>
#include <vector>

namespace plinthora::linux_platform {

// Device paths → real paths:
//   /var/mobile/Library/Preferences/com.ozrin.plinthora.plist → $XDG_CONFIG_HOME/plinthora/…
//   /var/mobile/Ozrin/… → ~/Ozrin/…
//   other /var/mobile/… → ~/…
// With PLINTHORA_DEVICE_ROOT set, all of /var/mobile lies under that folder.
// Other paths are used as they are.
class PosixFileSystem : public FileSystem {
public:
    std::string realPath(const std::string& devicePath) const override;
    bool exists(const std::string& path) const override;
    bool isDirectory(const std::string& path) const override;
    bool createDirectories(const std::string& path) override;
    std::optional<std::vector<std::string>> listDirectory(const std::string& path) const override;
    std::optional<std::string> readFile(const std::string& path) const override;
    std::optional<FileStamp> stamp(const std::string& path) const override;
    bool writeFileAtomically(const std::string& path, const std::string& bytes) override;
    bool removeItem(const std::string& path) override;
    std::string temporaryDirectory() const override;
};

}  // namespace plinthora::linux_platform
