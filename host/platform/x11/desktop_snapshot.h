#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include <xcb/xcb.h>

#include "platform/x11/xcb_connection.h"

namespace tavrino::share::x11 {

struct MonitorInfo {
  std::uint32_t id = 0;
  int x = 0;
  int y = 0;
  int width = 0;
  int height = 0;
};

// A child of the root window with what the capture needs to decide whether
// it may be drawn. With a reparenting window manager the top-level is the
// frame and the application's window sits inside it, so ownership is taken
// from the whole small subtree, not from the top-level alone.
struct TopLevelWindow {
  xcb_window_t id = XCB_WINDOW_NONE;
  xcb_window_t clientWindow = XCB_WINDOW_NONE;  // carries WM_CLASS; the top-level when none does
  int x = 0;  // outer corner of the border, root coordinates
  int y = 0;
  int width = 0;  // including both borders
  int height = 0;
  std::uint8_t depth = 0;
  bool viewable = false;
  bool inputOutput = true;
  std::vector<xcb_window_t> subtree;  // the top-level and its descendants two levels down
  std::vector<std::int32_t> pids;     // owners of the subtree's windows; 0 = unknown
  std::optional<std::string> wmClass; // class part of WM_CLASS of clientWindow
};

struct DesktopSnapshot {
  std::vector<MonitorInfo> monitors;
  std::vector<TopLevelWindow> windows;  // bottom to top
};

// Active RandR monitors; the whole screen as one monitor when RandR has none.
std::vector<MonitorInfo> listMonitors(const XcbConnection& x);

// All top-level windows in stacking order with their owners. Needs the
// X-Resource extension for the owners; pids stay 0 without it.
std::vector<TopLevelWindow> listTopLevelWindows(const XcbConnection& x);

bool hasResourceExtension(const XcbConnection& x);

}  // namespace tavrino::share::x11
