#include "platform/x11/cursor_policy.h"

#include <string>

namespace tavrino::share::x11 {

bool showsOwnCursor(bool named, int hotX, int hotY, const Region& protectedArea) {
  if (protectedArea.empty()) return true;
  return named && protectedArea.intersected(Rect{hotX, hotY, 1, 1}).empty();
}

const CursorImage& standardArrow() {
  static const CursorImage arrow = [] {
    // X outline, . fill, blank transparent.
    const char* const rows[] = {
        "X          ", "XX         ", "X.X        ", "X..X       ", "X...X      ", "X....X     ",
        "X.....X    ", "X......X   ", "X.......X  ", "X........X ", "X.....XXXXX", "X..X..X    ",
        "X.X X..X   ", "XX  X..X   ", "X    X..X  ", "     X..X  ", "      XX   ",
    };
    CursorImage image;
    image.width = static_cast<int>(std::string(rows[0]).size());
    image.height = static_cast<int>(std::size(rows));
    for (const char* row : rows) {
      for (const char* p = row; *p != '\0'; ++p) {
        image.pixels.push_back(*p == 'X' ? 0xFF000000u : *p == '.' ? 0xFFFFFFFFu : 0u);
      }
    }
    return image;
  }();
  return arrow;
}

}  // namespace tavrino::share::x11
