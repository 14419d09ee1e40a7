#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/x11/region.h"

namespace tavrino::share::x11 {

// Pixels (B G R A, 4 bytes each) standing for the rectangle `box` of some
// larger picture, in that picture's coordinates: the whole kept canvas, or
// one band of a screen that is never held whole.
struct Surface {
  std::uint8_t* pixels = nullptr;
  int stride = 0;  // bytes from one row to the next
  Rect box;

  std::uint8_t* at(int x, int y) const {
    return pixels + static_cast<std::ptrdiff_t>(y - box.y) * stride + static_cast<std::ptrdiff_t>(x - box.x) * 4;
  }
  Surface translated(int dx, int dy) const { return {pixels, stride, box.translated(dx, dy)}; }
};

}  // namespace tavrino::share::x11
