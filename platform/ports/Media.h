// Photo library, pasteboard, sound, screen and hook runtime ports.
#pragma once

#include "Imaging.h"

#include <any>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace plinthora {

// A scoped enumerator is only ever named as MediaType::Image, so it cannot
// hide the Image alias; g++ 12 warns about it all the same.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wshadow"
enum class MediaType { Image = 1, Video = 2 };
#pragma GCC diagnostic pop

struct Asset {
    std::string localIdentifier;
    MediaType mediaType = MediaType::Image;
    int pixelWidth = 0;
    int pixelHeight = 0;
    double creationDate = 0;  // seconds since the Unix epoch
    // A result this system saved, known by what it wrote into the file, so
    // however old it is no search takes it for a new capture.
    bool ownResult = false;
};

class PhotoLibrary {
public:
    virtual ~PhotoLibrary() = default;
    // At most `limit` assets of the type created strictly after `createdAfter`,
    // newest first.
    virtual std::vector<Asset> fetchNewest(MediaType type, int limit, double createdAfter) const = 0;
    // Synchronous: the encoded bytes of the image, or nullopt.
    virtual std::optional<std::string> requestImageData(const Asset& asset) = 0;
    // Asynchronous: the handler runs once, later, on a thread of the
    // library's choice, with the real path of the video file or nullopt.
    virtual void requestVideoFile(const Asset& asset, std::function<void(std::optional<std::string>)> handler) = 0;

    using ChangeCompletion = std::function<void(bool success, const std::string& createdIdentifier)>;
    // Each change runs later; the completion (if any) runs once, on a thread
    // of the library's choice, after the change is complete on disk.
    virtual void createImageAsset(Image image, ChangeCompletion completion) = 0;
    virtual void createVideoAsset(const std::string& videoPath, ChangeCompletion completion) = 0;
    virtual void deleteAssets(const std::vector<Asset>& assets, ChangeCompletion completion) = 0;
};

class Pasteboard {
public:
    virtual ~Pasteboard() = default;
    // `kept` (if any) runs once, later or at once, with whether the picture
    // is safe: on the clipboard, or where the platform puts what the
    // clipboard would not take. Only then may the original go.
    using Kept = std::function<void(bool kept)>;
    virtual void setImage(Image image, Kept kept) = 0;
};

class SystemSound {
public:
    virtual ~SystemSound() = default;
    virtual void play(int soundId) = 0;
};

class ScreenMetrics {
public:
    virtual ~ScreenMetrics() = default;
    // Points as currently oriented.
    virtual Size bounds() const = 0;
    virtual double scale() const = 0;
};

// The host's method table. An implementation is a function of the receiver
// and one argument; methods without an argument get an empty std::any.
using HostObject = void*;
using Implementation = std::function<std::any(HostObject self, std::any argument)>;

class HookRuntime {
public:
    virtual ~HookRuntime() = default;
    // Replaces the instance method and hands back the one it replaced.
    // False (and nothing changed) when the class or method does not exist.
    virtual bool hookMessage(const std::string& className, const std::string& selector, Implementation replacement,
                             Implementation* original) = 0;
    // Calls the current implementation of a method on an object.
    virtual std::any send(HostObject self, const std::string& className, const std::string& selector,
                          std::any argument = {}) = 0;
};

}  // namespace plinthora
