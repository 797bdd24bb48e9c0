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
#include <string>

namespace plinthora::linux_platform {

class WaylandDisplay;
class QtPasteboard;

class DesktopPasteboard : public Pasteboard {
public:
    enum class Road { DataControl, WlCopy, Qt, None };

    // Chooses the road for this session; `wayland` is our own connection to
    // the compositor, null where there is none. Make it on the main thread.
    DesktopPasteboard(Imaging& imaging, WaylandDisplay* wayland);
    ~DesktopPasteboard() override;

    void setImage(Image image) override;

    Road road() const { return road_; }
    // How the clipboard is reached, or why it cannot be, in plain words.
    const std::string& description() const { return description_; }
    static const char* name(Road road);

    // Runs on the main thread with an image that did not reach the
    // clipboard, and why.
    std::function<void(Image image, const std::string& why)> onUndelivered;

private:
    void deliver(Image image, std::string png);
    void undelivered(Image image, const std::string& why);

    Imaging& imaging_;
    WaylandDisplay* wayland_;
    Road road_ = Road::None;
    std::string description_;
    std::unique_ptr<QtPasteboard> qt_;
};

}  // namespace plinthora::linux_platform
