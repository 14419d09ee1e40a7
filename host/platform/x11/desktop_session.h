#pragma once

#include <optional>
#include <string>
#include <vector>

#include "platform/error_value.h"

namespace tavrino::share::x11 {

class XcbConnection;

inline constexpr const char* kWaylandRefusal =
    "Protected sharing needs an X11 desktop session; this desktop runs Wayland.";

// What tells an X11 desktop from a Wayland one. Under Wayland an X11 client
// reaches Xwayland, which shows it only the other X11 clients: a picture of
// that is not the user's desktop.
struct SessionSignals {
  bool serverReached = false;
  bool xwaylandExtension = false;  // the server announces the XWAYLAND extension
  std::vector<std::string> outputNames;  // Xwayland names its outputs XWAYLAND0, XWAYLAND1 ...
  std::string sessionType;               // XDG_SESSION_TYPE
  bool waylandDisplay = false;           // WAYLAND_DISPLAY is set
};

// The server reached decides: an Xwayland server is refused, any other X
// server is a real X11 desktop whatever the environment says (a virtual
// display started from a Wayland terminal is still X11). Only when no server
// can be reached does the environment tell whether a Wayland desktop is why.
std::optional<ErrorValue> refuseWaylandSession(const SessionSignals& signals);

// The signals of the server behind x (none: it could not be reached) and of
// this process's environment.
SessionSignals readSessionSignals(const XcbConnection* x);

}  // namespace tavrino::share::x11
