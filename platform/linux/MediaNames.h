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
bool isVideoExtension(const std::string& lowerExt);  // .mp4 .mov .webm .mkv

// Names that are still being written and will be renamed later: dot files
// (our own temp files among them), editor backups and partial downloads.
bool isTemporaryName(const std::string& name);

// The name without a temporary suffix (".part", ".tmp", "~") when it has
// one, as a recorder writes it before renaming it at the end.
std::string withoutTemporarySuffix(const std::string& name);

}  // namespace plinthora::linux_platform
