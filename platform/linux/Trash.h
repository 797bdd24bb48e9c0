// A small freedesktop.org Trash: deleting an original moves it where the
// user's file manager can restore it, never copies it and never loses it.
//
// The home trash is $XDG_DATA_HOME/Trash (default ~/.local/share/Trash) with
// files/ and info/. A name is reserved by creating info/NAME.trashinfo with
// O_EXCL (NAME.2, NAME.3, … when taken), then the file is renamed into
// files/NAME. A file on another file system (rename says EXDEV) goes to the
// trash of its own mount: $topdir/.Trash/$uid when an administrator set up a
// sticky, non-symlink .Trash there, else $topdir/.Trash-$uid. When no trash
// can take the file, the reservation is withdrawn and the original stays.
#pragma once

#include "platform/linux/Files.h"

#include <ctime>
#include <string>

namespace plinthora::linux_platform {

struct TrashResult {
    bool ok = false;
    std::string trashedPath;  // where the file now is, files/NAME
    std::string infoPath;     // its info/NAME.trashinfo
    std::string error;        // why it stayed, when !ok
};

class Trash {
public:
    // The home trash folder (it need not exist yet).
    explicit Trash(std::string homeTrash = defaultHomeTrash());

    // $XDG_DATA_HOME/Trash, or ~/.local/share/Trash when XDG_DATA_HOME is
    // unset or not absolute.
    static std::string defaultHomeTrash();

    const std::string& homeTrash() const { return homeTrash_; }

    // Moves the file (an absolute path) into a trash. `when` is the
    // deletion time written to the info file (local time).
    TrashResult moveToTrash(const std::string& absolutePath, std::time_t when = std::time(nullptr)) const;

private:
    std::string homeTrash_;
};

// The Path= value of a .trashinfo: every byte outside the RFC 2396
// unreserved set (and '/') as %XX, so names with '%', spaces, newlines or
// non-ASCII survive the round trip.
std::string percentEncodeTrashPath(const std::string& path);

// The topmost folder above `path` that is still on the same file system
// (its mount point, as far as the device numbers tell).
std::string mountTopDir(const std::string& path);

}  // namespace plinthora::linux_platform
