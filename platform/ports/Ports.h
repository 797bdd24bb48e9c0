// The ports: every platform service the core calls, as abstract interfaces.
// The core includes only this header family and the standard library.
#pragma once

#include "Value.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace plinthora {

// ---- dispatch -------------------------------------------------------------

enum class Queue { Main, Global };

class Dispatch {
public:
    virtual ~Dispatch() = default;
    virtual void async(Queue q, std::function<void()> block) = 0;
    // Runs the block on the queue `seconds` from now (steady time).
    virtual void after(double seconds, Queue q, std::function<void()> block) = 0;
};

// ---- clock ----------------------------------------------------------------

class Clock {
public:
    virtual ~Clock() = default;
    // Seconds on a clock that never jumps: stamps, debounce, delays.
    virtual double now() const = 0;
    // Seconds since the Unix epoch: creation dates and file names only.
    virtual double wallNow() const = 0;
};

// ---- file system ----------------------------------------------------------

// Paths handed in are device paths ("/var/mobile/…"); the implementation
// maps them onto real ones in one place.
// What tells one version of a file from another without reading it.
struct FileStamp {
    int64_t size = 0;
    int64_t modifiedNanoseconds = 0;
    bool operator==(const FileStamp&) const = default;
};

class FileSystem {
public:
    virtual ~FileSystem() = default;
    virtual std::string realPath(const std::string& devicePath) const = 0;
    virtual bool exists(const std::string& path) const = 0;
    virtual bool isDirectory(const std::string& path) const = 0;
    // Creates the folder and any missing parents; true when it exists after.
    virtual bool createDirectories(const std::string& path) = 0;
    // Entry names in the directory's own order, no sorting; nullopt when the
    // folder cannot be listed.
    virtual std::optional<std::vector<std::string>> listDirectory(const std::string& path) const = 0;
    virtual std::optional<std::string> readFile(const std::string& path) const = 0;
    // Size and modification time of a file; nullopt when there is none, or
    // the file system cannot tell (then nothing read from it is kept).
    virtual std::optional<FileStamp> stamp(const std::string& path) const {
        (void)path;
        return std::nullopt;
    }
    // Temp file beside the target, flushed to disk, then renamed over it.
    virtual bool writeFileAtomically(const std::string& path, const std::string& bytes) = 0;
    virtual bool removeItem(const std::string& path) = 0;
    // A folder for this process's temporary files that only the user can
    // enter; empty when none can be had safely.
    virtual std::string temporaryDirectory() const = 0;
};

// ---- property lists and JSON ---------------------------------------------

class PropertyLists {
public:
    virtual ~PropertyLists() = default;
    // XML or binary; nullopt when the bytes are not a property list.
    virtual std::optional<Value> parse(const std::string& bytes) const = 0;
    virtual std::string toXml(const Value& root) const = 0;
};

class Json {
public:
    virtual ~Json() = default;
    // nullopt when the bytes are not a JSON document.
    virtual std::optional<Value> parse(const std::string& bytes) const = 0;
};

// ---- cross-process notifications -----------------------------------------

class NotifyCenter {
public:
    virtual ~NotifyCenter() = default;
    // The callback runs on the main queue each time `name` is posted by any
    // process, this one included. Registrations are never removed.
    virtual void addObserver(const std::string& name, std::function<void()> callback) = 0;
    virtual void post(const std::string& name) = 0;
};

// In-process notifications of the host (its default notification centre).
class LocalNotificationCenter {
public:
    virtual ~LocalNotificationCenter() = default;
    virtual void addObserver(const std::string& name, std::function<void()> callback) = 0;
    virtual void post(const std::string& name) = 0;
};

// ---- random ---------------------------------------------------------------

class Random {
public:
    virtual ~Random() = default;
    // Uniform in [0, upperBound), without modulo bias; 0 when upperBound < 2.
    virtual uint32_t uniform(uint32_t upperBound) = 0;
};

}  // namespace plinthora
