#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "platform/media_sample.h"
#include "platform/x11/region.h"

namespace tavrino::share::x11 {

// Turns the canvas (B G R A, canvasWidth x canvasHeight) into the pictures
// handed to the encoder (NV12, width x height, scaled when the sizes
// differ). It keeps its last picture and converts and scales again only the
// parts of the canvas that changed.
class PictureConverter {
 public:
  PictureConverter(int canvasWidth, int canvasHeight, int width, int height);

  // Brings the kept picture up to date where the canvas changed (canvas
  // coordinates); the first call converts everything.
  void update(const std::vector<std::uint8_t>& canvas, const Region& changed);
  // A copy of the kept picture, in a buffer nobody else holds any more;
  // none while every buffer is still held.
  std::shared_ptr<const ImageBuffer> picture();

 private:
  void convert(const std::vector<std::uint8_t>& canvas, Rect target);

  int canvasWidth_, canvasHeight_, width_, height_;
  bool scaled_;
  bool fresh_ = true;
  std::vector<std::uint8_t> scaledCanvas_;  // the canvas at the picture's size, when it differs
  std::shared_ptr<ImageBuffer> kept_;
  std::vector<std::shared_ptr<ImageBuffer>> pool_;
};

}  // namespace tavrino::share::x11
