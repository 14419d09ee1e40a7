#pragma once

#include <cstdint>
#include <vector>

#include "platform/x11/region.h"

namespace tavrino::share::x11 {

// Whether the pointer's own image may be shown. X does not say which client
// set the image, so an image the protected application may have set is
// replaced: any image while the hot spot is over a protected area (even a
// theme's, whose shape tells what lies under it), and an image that is none
// of the named theme cursors while a protected window is shown (the
// application may hold the pointer grabbed and show its own image over any
// window). Other applications' named cursors stay as they are.
bool showsOwnCursor(bool named, int hotX, int hotY, const Region& protectedArea);

// What is drawn instead: a plain arrow, so that viewers still see where the
// presenter points. Its hot spot is its top-left pixel.
struct CursorImage {
  int width = 0, height = 0;
  std::vector<std::uint32_t> pixels;  // premultiplied ARGB, rows of width pixels
};
const CursorImage& standardArrow();

}  // namespace tavrino::share::x11
