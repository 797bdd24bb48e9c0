// What the photo library's saves leave in its folders: the names of its
// results, and the temporary files of saves in progress, swept when a
// process that died mid-save left one behind.
#pragma once

#include <string>

namespace plinthora::linux_platform {

// A save's temporary file: ".<kSaveTempStem>XXXXXX<kSaveTempSuffix>".
constexpr const char* kSaveTempStem = "plinthora-";
constexpr const char* kSaveTempSuffix = ".tmp";

// "Plinthora_20240131_142501_042": local time to the millisecond, so names
// sort in the order they were made.
std::string newResultStem();

// True for the name of a save's temporary file.
bool isSaveTempName(const std::string& name);

// Removes the save's temporary file at `path` when no save holds it any
// more. A save in progress holds a lock on its temp file; one that nobody
// holds was left by a process that died mid-save, and is never going to
// become a result.
void removeIfStale(const std::string& path);

}  // namespace plinthora::linux_platform
