// Where plinthorad is found on the session bus (see
// dbus/com.ozrin.plinthora.Daemon.xml).
#pragma once

namespace plinthora::host {

inline constexpr const char* kDaemonService = "com.ozrin.plinthora.Daemon";
inline constexpr const char* kDaemonPath = "/com/ozrin/plinthora/Daemon";
inline constexpr const char* kDaemonInterface = "com.ozrin.plinthora.Daemon";

}  // namespace plinthora::host
