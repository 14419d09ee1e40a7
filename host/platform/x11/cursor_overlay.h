#pragma once

#include <cstdint>
#include <vector>

#include "platform/x11/desktop_snapshot.h"
#include "platform/x11/region.h"
#include "platform/x11/surface.h"
#include "platform/x11/xcb_connection.h"

namespace tavrino::share::x11 {

// The pointer, drawn over whatever part of the picture is painted. Nothing
// beneath it is kept: where it was and where it goes are painted again, so
// the picture never needs a copy of the screen.
class CursorOverlay {
 public:
  CursorOverlay(const XcbConnection& x, const MonitorInfo& monitor);

  // Reads the pointer's image and place; true when they differ from the
  // ones placed last.
  bool fetch();
  // Chooses what to draw for the pointer last fetched: its own image, or a
  // stand-in where its own image may be the protected application's
  // (protectedArea in root coordinates). Returns where the picture changes
  // because of it (monitor coordinates): the old place and the new one when
  // anything differs from the last choice, else nothing.
  Region place(const Region& protectedArea);
  // Draws the placed pointer on the surface (monitor coordinates), only
  // within `area`, which has just been painted.
  void draw(const Surface& surface, const Region& area) const;
  // For a monitor that moved: the whole picture is painted anew.
  void follow(const MonitorInfo& monitor) { monitor_ = monitor; }

 private:
  struct Shape {
    int x = 0, y = 0;  // hot spot on the root window
    int hotX = 0, hotY = 0;  // in the image
    int width = 0, height = 0;
    std::uint32_t serial = 0;
    bool named = false;  // one of the theme's cursors
    bool operator==(const Shape&) const = default;
  };
  struct Placed {
    Shape fetched;
    bool own = false;
    int left = 0, top = 0, width = 0;  // the drawn image's corner (monitor coordinates) and row length
    Rect covered;                      // its part on the monitor
    bool operator==(const Placed&) const = default;
  };

  const XcbConnection& x_;
  MonitorInfo monitor_;
  bool available_ = false;
  Shape fetched_;
  std::vector<std::uint32_t> image_;  // premultiplied ARGB of the fetched pointer
  bool placed_ = false;
  Placed drawn_;
  std::vector<std::uint32_t> drawnImage_;  // what draw() puts there
};

}  // namespace tavrino::share::x11
