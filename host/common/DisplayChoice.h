// Which Qt platform a program of ours starts on. A command-line image tool
// and the daemon must also run over SSH, from cron and on servers, where a
// GUI application without a reachable display would abort at start-up.
#pragma once

#include <string>

namespace plinthora::host {

// Whether a display server answers at $WAYLAND_DISPLAY or $DISPLAY (a
// local socket, or TCP for "host:N" as SSH forwarding sets it).
bool displayReachable();

// Call before the Q*Application is made. When the user chose no platform
// (QT_QPA_PLATFORM) and no display answers, picks the offscreen one and
// returns true; the clipboard then stays inside this process.
bool useOffscreenWithoutDisplay();

}  // namespace plinthora::host
