#pragma once

#include <cstdint>
#include <vector>

#include "platform/x11/desktop_snapshot.h"
#include "platform/x11/region.h"
#include "platform/x11/xcb_connection.h"

namespace tavrino::share::x11 {

// The pointer drawn over a kept canvas: what it covers is put aside when it
// is drawn and put back before the canvas is painted again, so the windows
// beneath need no repaint when only the pointer moves.
class CursorOverlay {
 public:
  CursorOverlay(const XcbConnection& x, const MonitorInfo& monitor);

  // Reads the pointer's image and place; true when they differ from the
  // ones drawn last.
  bool fetch();
  // Puts back what the drawn pointer covered; returns that rectangle (canvas
  // coordinates, empty when none was drawn).
  Rect lift(std::vector<std::uint8_t>& canvas);
  // Draws the pointer last fetched, or a stand-in where its own image may be
  // the protected application's (protectedArea in root coordinates);
  // returns the rectangle it covers.
  Rect draw(std::vector<std::uint8_t>& canvas, const Region& protectedArea);
  // For a monitor that moved: the canvas is painted anew, so nothing drawn
  // on it before is put back.
  void follow(const MonitorInfo& monitor) {
    monitor_ = monitor;
    drawn_ = false;
  }

 private:
  struct Shape {
    int x = 0, y = 0;  // hot spot on the root window
    int hotX = 0, hotY = 0;  // in the image
    int width = 0, height = 0;
    std::uint32_t serial = 0;
    bool named = false;  // one of the theme's cursors
    bool operator==(const Shape&) const = default;
  };

  const XcbConnection& x_;
  MonitorInfo monitor_;
  bool available_ = false;
  Shape fetched_;
  std::vector<std::uint32_t> image_;  // premultiplied ARGB of the fetched pointer
  bool drawn_ = false;
  Shape drawnShape_;
  Rect covered_;                      // canvas rectangle the drawn pointer covers
  std::vector<std::uint8_t> beneath_;  // what it covers, rows of covered_.width * 4 bytes
};

}  // namespace tavrino::share::x11
