// Whole-file reading and writing on real paths, shared by the file system
// port, the photo library and the Trash: every write either completes on
// disk under its final name or leaves nothing behind.
#pragma once

#include <functional>
#include <optional>
#include <string>

#include <sys/types.h>

namespace plinthora::linux_platform {

// The whole content of a file; nullopt when it cannot be read.
std::optional<std::string> readWholeFile(const std::string& path);

// write() until everything is written (or an error other than EINTR).
bool writeAll(int fd, const char* data, size_t size);
inline bool writeAll(int fd, const std::string& bytes) { return writeAll(fd, bytes.data(), bytes.size()); }

// read() from `from` and write() to `to` until `from` ends.
bool copyAll(int from, int to);

// Writes bytes to a temp file beside `path`, fsyncs it and renames it over
// the target; the folder is fsynced too. False, with nothing left behind,
// on any failure (saveFile with `path` as the one name, replaced).
bool writeAtomically(const std::string& path, const std::string& bytes);

// The names saveFile tries for the file it saves.
struct SaveNames {
    // The n-th name to try (n from 1), a path in the folder; nullopt when
    // there is no other.
    std::function<std::optional<std::string>(int n)> nth;
    // Told when a name nth() gave did not become the file's (another file
    // holds it, or the rename failed), before the next one is tried.
    std::function<void(const std::string& path)> missed;
    // The first name is replaced when it exists (a name the user chose);
    // no other is tried.
    bool replace = false;
};

// The one way a file is saved: filled by `fill` into a dot-named temp file
// in `folder` (writeTempFile with `tempStem` and `tempSuffix`), fsynced,
// renamed without replacing to the first of `names` that is free, and the
// folder fsynced, so a reader never sees half a file and no file is ever
// overwritten. The path saved, or nullopt with `error` and errno set
// (EEXIST when every name was taken) and nothing left behind.
std::optional<std::string> saveFile(const std::string& folder, const std::string& tempStem,
                                    const std::string& tempSuffix, const std::function<bool(int fd)>& fill,
                                    const SaveNames& names, std::string& error);

// A dot-named temp file in `folder` (mkostemps on "<folder>/.<stem>XXXXXX<suffix>"),
// filled by `fill`, given mode 0644, fsynced and closed: the temp path, or
// nullopt with `error` set and nothing left behind.
std::optional<std::string> writeTempFile(const std::string& folder, const std::string& stem, const std::string& suffix,
                                         const std::function<bool(int fd)>& fill, std::string& error);

// rename() that never replaces an existing `to` (-1 with errno EEXIST then):
// RENAME_NOREPLACE, or link()+unlink() where the file system lacks it.
int renameNoReplace(const std::string& from, const std::string& to);

// fsync of a folder, so a rename in it reaches the disk.
bool syncFolder(const std::string& folder);

// mkdir -p: every missing level made with `mode`; true when the folder
// exists afterwards.
bool makeFolders(const std::string& path, mode_t mode = 0755);

// The folder part of a path ("." for a bare name, "/" for the root's
// entries).
std::string parentFolder(const std::string& path);
// The name part of a path: all after its last slash.
std::string baseName(const std::string& path);

// When a file became whole, in seconds since the epoch: its last write.
// Not its birth: a recorder creates its file when the recording starts,
// minutes before the movie is complete.
std::optional<double> fileCompletionDate(const std::string& path);

}  // namespace plinthora::linux_platform
