// Which file names are screenshots, screencasts, or files still being
// written: one list, shared by the photo library and the screencast
// watcher.
#pragma once

#include <string>

namespace plinthora::linux_platform {

// The extension of a name, lower case with its dot (".png"); empty when it
// has none or is a dot file's whole name.
std::string lowerExtension(const std::string& name);

bool isImageExtension(const std::string& lowerExt);  // .png .jpg .jpeg
// What screen recorders write: .mp4 .m4v .mov .webm .mkv .ts .m2ts .mts
// .ogv .ogg .avi .flv (an .ogg may hold sound only: the library lets its
// bytes decide).
bool isVideoExtension(const std::string& lowerExt);

// Names that are still being written and will be renamed later: dot files
// (our own temp files among them), editor backups and partial downloads.
bool isTemporaryName(const std::string& name);

// The name without a temporary suffix (".part", ".tmp", "~") when it has
// one, as a recorder writes it before renaming it at the end.
std::string withoutTemporarySuffix(const std::string& name);

}  // namespace plinthora::linux_platform
