#include "screen_content.h"

#include <algorithm>

namespace tavrino::share::bench {

void Canvas::fill(int x0, int y0, int w, int h, std::uint8_t y, std::uint8_t cb, std::uint8_t cr) {
  const int x1 = std::min(width, x0 + w), y1 = std::min(height, y0 + h);
  x0 = std::max(0, x0);
  y0 = std::max(0, y0);
  for (int yy = y0; yy < y1; ++yy) {
    std::fill(luma(x0, yy), luma(x0, yy) + (x1 - x0), y);
    if (yy % 2 == 0) {
      for (int xx = x0 & ~1; xx < x1; xx += 2) {
        chroma(xx, yy)[0] = cb;
        chroma(xx, yy)[1] = cr;
      }
    }
  }
}

std::uint32_t hash(std::uint32_t a, std::uint32_t b) {
  std::uint32_t h = a * 0x9e3779b1u ^ (b + 0x7f4a7c15u) * 0x85ebca6bu;
  h ^= h >> 15;
  h *= 0x2c1b3c6du;
  h ^= h >> 12;
  return h;
}

void drawText(Canvas& canvas, int x0, int y0, int w, int h, int scroll, std::uint8_t ink,
              std::uint8_t paper, std::uint32_t seed) {
  canvas.fill(x0, y0, w, h, paper, 128, 128);
  for (int y = std::max(0, y0); y < std::min(canvas.height, y0 + h); ++y) {
    const int virtualY = y - y0 + scroll;
    const int line = virtualY / 16, inCellY = virtualY % 16 - 4;
    if (inCellY < 0 || inCellY >= 7) continue;
    const int lineLength = 20 + static_cast<int>(hash(line, seed) % 90);
    for (int x = std::max(0, x0 + 4); x < std::min(canvas.width, x0 + w); ++x) {
      const int column = (x - x0 - 4) / 9, inCellX = (x - x0 - 4) % 9;
      if (column >= lineLength || inCellX >= 5) continue;
      const std::uint32_t glyph = hash(line * 131 + column, seed);
      if (glyph % 7 == 0) continue;  // a space
      if ((hash(glyph, inCellY * 5 + inCellX) & 3) != 0) *canvas.luma(x, y) = ink;
    }
  }
}

std::vector<std::uint8_t> screenFrame(int width, int height, int frame) {
  std::vector<std::uint8_t> bytes(static_cast<std::size_t>(width) * height * 3 / 2);
  Canvas canvas{width, height, bytes};
  canvas.fill(0, 0, width, height, 70, 150, 110);  // desktop
  canvas.fill(0, 0, width, 28, 40, 128, 128);      // top panel
  drawText(canvas, width - 300, 6, 290, 18, 0, 230, 40, 7 + frame / 12);  // clock ticks each second

  // Editor: scrolls by 5 pixels a frame.
  const int ex = width / 20, ey = 60, ew = width * 11 / 20, eh = height - 120;
  canvas.fill(ex, ey, ew, 30, 90, 160, 120);
  drawText(canvas, ex, ey + 30, ew, eh - 30, frame * 5, 20, 235, 1);

  // Browser-like window moving across the editor.
  const int bw = width / 3, bh = height / 2;
  const int bx = (frame * 11) % (width - bw), by = height / 5 + (frame * 3) % (height / 4);
  canvas.fill(bx, by, bw, 32, 120, 170, 100);
  canvas.fill(bx, by + 32, bw, bh - 32, 245, 128, 128);
  canvas.fill(bx + 20, by + 52, bw - 40, 120, 160, 90, 170);  // an image block
  drawText(canvas, bx + 20, by + 190, bw - 40, bh - 210, 0, 30, 245, 2);

  // Mouse pointer.
  canvas.fill(bx + bw / 2 + (frame % 24) * 4, by + bh / 3, 12, 18, 255, 128, 128);
  return bytes;
}

}  // namespace tavrino::share::bench
