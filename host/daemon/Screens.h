// The screens a screenshot may show, followed as they change: each output
// (rotated, resized, plugged in or out) and, with several, the whole
// desktop, which most screenshot tools take by default. The tweak sees one
// of them as its screen: the one the newest screenshot shows.
#pragma once

#include "platform/ports/Media.h"

#include <QObject>

#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace plinthora::linux_platform {
class WaylandDisplay;
}

namespace plinthora::host {

// A screen as the tweak sees it: size in points and scale.
struct ScreenSpec {
    double width = 390;
    double height = 844;
    double scale = 3;
    int pixelWidth() const;
    int pixelHeight() const;
    std::string text() const;  // "1920x1080 pixels", or "2560x1440 pixels at scale 2"
    bool operator==(const ScreenSpec&) const = default;
};

// "WxH@S" (points and scale, e.g. "390x844@3"); nullopt when malformed.
std::optional<ScreenSpec> parseScreenSpec(const std::string& text);

// Whether a picture of this many pixels is of the screen's size, by the
// tweak's own measure (within 0.8 to 1.2 of each side).
bool showsScreen(const ScreenSpec& screen, int pixelWidth, int pixelHeight);

// The screen metrics port over a value the host may change at any time.
class LiveScreenMetrics : public ScreenMetrics {
public:
    explicit LiveScreenMetrics(ScreenSpec s) : spec_(s) {}
    Size bounds() const override;
    double scale() const override;
    ScreenSpec get() const;
    void set(ScreenSpec s);

private:
    mutable std::mutex mutex_;
    ScreenSpec spec_;
};

class Screens : public QObject {
    Q_OBJECT
public:
    // `fixed`: the user's --screen, which is never changed. Otherwise the
    // outputs of our Wayland connection (their real pixels) when there is
    // one, else Qt's screens, else the phone's default screen.
    Screens(linux_platform::WaylandDisplay* wayland, std::optional<ScreenSpec> fixed);

    ScreenMetrics& metrics() { return metrics_; }
    ScreenSpec current() const { return metrics_.get(); }
    // Each output, then the whole desktop when there are several.
    std::vector<ScreenSpec> known() const { return known_; }
    // Makes the screen a picture of this size shows the current one; false
    // (nothing changed) when it shows none of them.
    bool follow(int pixelWidth, int pixelHeight);
    // "1920x1080 pixels (or the desktop's 3840x1080 pixels)": what a
    // screenshot is measured against.
    std::string describe() const;

signals:
    void changed();

private:
    void refresh();
    std::vector<ScreenSpec> fromQt() const;
    std::vector<ScreenSpec> fromWayland() const;

    linux_platform::WaylandDisplay* wayland_;
    bool fixed_;
    std::vector<ScreenSpec> known_;
    LiveScreenMetrics metrics_;
};

}  // namespace plinthora::host
