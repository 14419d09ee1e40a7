#pragma once

#include <cstdint>
#include <vector>

namespace tavrino::share::bench {

// A tight NV12 picture (luma, then interleaved CbCr) to draw on.
struct Canvas {
  int width, height;
  std::vector<std::uint8_t>& bytes;

  std::uint8_t* luma(int x, int y) { return bytes.data() + static_cast<std::size_t>(y) * width + x; }
  std::uint8_t* chroma(int x, int y) {
    return bytes.data() + static_cast<std::size_t>(width) * height +
           static_cast<std::size_t>(y / 2) * width + (x / 2) * 2;
  }
  // Clipped to the picture.
  void fill(int x0, int y0, int w, int h, std::uint8_t y, std::uint8_t cb, std::uint8_t cr);
};

std::uint32_t hash(std::uint32_t a, std::uint32_t b);

// Text in 9x16 cells of 5x7 pseudo-glyphs over a filled box; line numbers
// pick the words, so a scrolled line keeps its text.
void drawText(Canvas& canvas, int x0, int y0, int w, int h, int scroll, std::uint8_t ink,
              std::uint8_t paper, std::uint32_t seed);

// One frame of a synthetic desktop: a scrolling text editor, a window moving
// across it, and a panel. Deterministic in the frame number, so every
// encoder sees the same frames.
std::vector<std::uint8_t> screenFrame(int width, int height, int frame);

}  // namespace tavrino::share::bench
