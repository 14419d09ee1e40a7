#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "platform/media_sample.h"
#include "platform/x11/region.h"

namespace tavrino::share::x11 {

// Turns the canvas (B G R A, canvasWidth x canvasHeight) into the pictures
// handed to the encoder (NV12, width x height, scaled when the sizes
// differ). Each buffer of its pool is brought up to date in place, only
// where the canvas changed since that buffer last held a picture, and each
// picture says which of its blocks differ from the picture before it.
class PictureConverter {
 public:
  PictureConverter(int canvasWidth, int canvasHeight, int width, int height);

  // Notes where the canvas changed (canvas coordinates). When the picture
  // is smaller the change is scaled at once, so later pictures need only
  // the canvas at their own size.
  void update(const std::vector<std::uint8_t>& canvas, const Region& changed);
  // The canvas in a buffer nobody else holds any more; none while every
  // buffer is still held, the changes then waiting for the next picture.
  std::shared_ptr<const ImageBuffer> picture(const std::vector<std::uint8_t>& canvas);
  // The picture never left: its changes go with the next one, so that a
  // consumer that missed it is not left with a stale area.
  void undelivered(const ImageBuffer& picture);

 private:
  struct Slot {
    std::shared_ptr<ImageBuffer> image;
    Region behind;  // picture coordinates: where it differs from the canvas
  };
  Region toPicture(const Region& changed) const;
  void convert(const std::vector<std::uint8_t>& canvas, const Rect& target, ImageBuffer& into) const;

  int canvasWidth_, canvasHeight_, width_, height_;
  bool scaled_;
  std::vector<std::uint8_t> scaledCanvas_;  // the canvas at the picture's size, when it differs
  std::vector<Slot> pool_;
  ChangedBlocks pending_;  // since the last picture handed out; everything before the first
};

}  // namespace tavrino::share::x11
