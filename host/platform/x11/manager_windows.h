#pragma once

#include <cstdint>

#include <xcb/xcb.h>

#include "platform/x11/exclusion_rule.h"
#include "platform/x11/window_tree.h"
#include "platform/x11/xcb_connection.h"

namespace tavrino::share::x11 {

// The screen's window manager and compositing manager, followed while the
// capture runs (they may start, stop or replace each other at any time),
// and what they put on the screen besides the frames around clients.
//
// Two kinds of top-level never reach the picture:
// - a window no client owns: the composite overlay, into which a
//   compositing manager paints the whole screen, protected windows
//   included; it belongs to the X server, so it is known the moment it
//   appears, whichever manager asked for it and whenever;
// - while the protected application has a window, shown or not (a
//   compositing manager keeps pictures of minimised windows too), every
//   window of the managers' clients that holds no client window: window
//   switchers with live previews, thumbnails, zoom and move outlines, menus.
//   A frame, the manager's window that holds a client, stays.
// Windows of other programs (docks, panels, a file manager's desktop) are
// never left out on these grounds.
class ManagerWindows {
 public:
  // Asks to hear of every change of the managers' selections, then reads them.
  explicit ManagerWindows(const XcbConnection& x);

  // Whether the event was a change of a manager's selection (then it is handled here).
  bool onEvent(const xcb_generic_event_t* event);
  // Finds the clients of managers that changed since the last call; true
  // when it read any (what they own may differ).
  bool refresh();

  bool compositing() const { return compositor_.owner != XCB_WINDOW_NONE; }
  // Adds the top-levels above to what the decision leaves out.
  void exclude(const WindowTree& tree, ExclusionDecision& decision) const;

 private:
  struct Manager {
    xcb_atom_t selection = XCB_ATOM_NONE;
    xcb_window_t owner = XCB_WINDOW_NONE;
    bool known = false;  // client read for this owner
    std::uint32_t client = 0;  // resource base of the owner's connection
  };
  bool owns(const Manager& m, const WindowNode& n) const;

  const XcbConnection& x_;
  std::uint8_t selectionEvent_ = 0;  // 0 = no XFixes: the managers are read at every refresh
  Manager windowManager_, compositor_;
};

}  // namespace tavrino::share::x11
