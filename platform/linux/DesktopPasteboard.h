// The clipboard of a desktop session, by the first road that reaches other
// programs: the Wayland compositor's data control, else `wl-copy` (which
// knows other ways onto some compositors' clipboards), else Qt's clipboard
// where Qt runs on X11. Where none does (a compositor without data control
// and no `wl-copy`, or no display at all), the image is handed back to the
// host through `onUndelivered`, so it is saved rather than lost.
#pragma once

#include "platform/ports/Imaging.h"
#include "platform/ports/Media.h"

#include <functional>
#include <memory>
#include <optional>
#include <string>

namespace plinthora::linux_platform {

class WaylandDisplay;
class QtPasteboard;

class DesktopPasteboard : public Pasteboard {
public:
    enum class Road { DataControl, WlCopy, Qt, None };

    // Chooses the road for this session; `wayland` is our own connection to
    // the compositor, null where there is none. `only` limits the choice to
    // one road (a user whose compositor's data control misbehaves, or a
    // test of the others): where it cannot be taken, none is. Make it on
    // the main thread.
    DesktopPasteboard(Imaging& imaging, WaylandDisplay* wayland, std::optional<Road> only = std::nullopt);
    ~DesktopPasteboard() override;

    void setImage(Image image, Kept kept) override;

    Road road() const { return road_; }
    // How the clipboard is reached, or why it cannot be, in plain words.
    const std::string& description() const { return description_; }
    static const char* name(Road road);
    // "data-control", "wl-copy", "x11", "none": the names a user gives.
    static std::optional<Road> roadNamed(const std::string& key);

    // Runs on the main thread with an image that did not reach the
    // clipboard, and why; the host saves it elsewhere and tells `kept`
    // whether that worked.
    std::function<void(Image image, const std::string& why, Kept kept)> onUndelivered;
    // Runs on the main thread with each image that reached the clipboard.
    std::function<void(const Image& image)> onDelivered;

private:
    void deliver(Image image, std::string png, Kept kept);
    void undelivered(Image image, const std::string& why, Kept kept);
    void delivered(const Image& image, const Kept& kept);

    Imaging& imaging_;
    WaylandDisplay* wayland_;
    Road road_ = Road::None;
    std::string description_;
    std::unique_ptr<QtPasteboard> qt_;
};

}  // namespace plinthora::linux_platform
