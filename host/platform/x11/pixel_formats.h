#pragma once

#include <cstdint>
#include <optional>
#include <unordered_map>
#include <vector>

#include <xcb/xcb.h>

#include "platform/error_value.h"
#include "platform/x11/xcb_connection.h"

namespace tavrino::share::x11 {

// How the pixels of one kind of window arrive in a Z-format image.
struct PixelLayout {
  enum class Kind {
    bgra,      // 8 bits a channel, blue lowest: the canvas's own layout
    rgba,      // 8 bits a channel, red lowest
    rgb10,     // 10 bits a channel, blue lowest
    bgr10,     // 10 bits a channel, red lowest
    rgb565,
    rgb555,
    masked     // anything else: read channel by channel through the masks
  };
  Kind kind = Kind::masked;
  std::uint8_t depth = 0;
  std::uint8_t bitsPerPixel = 0;
  std::uint8_t scanlinePad = 32;
  bool lsbFirst = true;
  std::uint32_t red = 0, green = 0, blue = 0;
  // The depth's bits that no colour uses; on a 32-bit visual they carry
  // premultiplied alpha, on others they mean nothing.
  std::uint32_t alpha = 0;

  bool translucent() const { return alpha != 0 && depth == 32; }
  // Bytes of one image row `width` pixels wide.
  std::size_t rowBytes(int width) const;
};

// The pixel layouts of the display's true-colour visuals.
class PixelFormats {
 public:
  explicit PixelFormats(const XcbConnection& x);

  // Fails when the screen itself shows colours this capture cannot read
  // (a palette, or pixel sizes it does not know).
  std::optional<ErrorValue> refusal() const;
  // None for visuals whose pixels cannot be read as colours.
  const PixelLayout* forVisual(xcb_visualid_t visual) const;
  // For pixmaps, which have a depth but no visual: the screen's own visual
  // when the depth is the screen's, else the first readable one of that depth.
  const PixelLayout* forDepth(std::uint8_t depth) const;

 private:
  xcb_visualid_t rootVisual_;
  std::uint8_t rootDepth_;
  std::unordered_map<xcb_visualid_t, PixelLayout> layouts_;
  std::vector<xcb_visualid_t> order_;  // as the server lists them
};

// Converts `height` rows of `width` pixels to the canvas layout (B G R A,
// 4 bytes a pixel); the alpha byte is kept only where the layout has alpha.
void convertPixels(const PixelLayout& layout, const std::uint8_t* from, std::size_t fromStride, std::uint8_t* to,
                   std::size_t toStride, int width, int height);

}  // namespace tavrino::share::x11
