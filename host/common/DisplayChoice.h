// Which Qt platform a program of ours starts on. A command-line image tool
// and the daemon must also run over SSH, from cron and on servers, where a
// GUI application without a reachable display would abort at start-up.
#pragma once

#include <string>

namespace plinthora::host {

// Whether a display server answers at $WAYLAND_DISPLAY or $DISPLAY (a
// local socket, or TCP for "host:N" as SSH forwarding sets it).
bool displayReachable();

// Whether a Wayland compositor answers at $WAYLAND_DISPLAY.
bool waylandReachable();

// Whether Qt's platform plugin of that name ("wayland", "xcb") is installed
// where Qt looks for it (its plugin folder and $QT_PLUGIN_PATH).
bool qtPlatformPluginPresent(const std::string& name);

// The display this process can open a window on: a display that answers and
// whose Qt plugin is installed (Wayland first, as Qt tries it).
bool displayUsable();

// Call before the Q*Application is made. When the user chose no platform
// (QT_QPA_PLATFORM) and no display can be used, picks the offscreen one and
// returns true; the clipboard then stays inside this process.
bool useOffscreenWithoutDisplay();

}  // namespace plinthora::host
