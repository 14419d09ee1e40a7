#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

#include "platform/media_sample.h"
#include "platform/x11/region.h"
#include "platform/x11/surface.h"

namespace tavrino::share::x11 {

// Keeps the pictures handed to the encoder (NV12, width x height) up to date
// with a screen (screenWidth x screenHeight) that is never held whole: the
// changed parts are painted on request, straight into a canvas of the
// picture's size when the sizes match, else band by band at the screen's size
// and scaled into it. Memory thus follows the picture's size, not the
// screen's. Each buffer of its pool is brought up to date in place, only
// where the canvas changed since that buffer last held a picture, and each
// picture says which of its blocks differ from the picture before it.
class PictureConverter {
 public:
  // Paints `area` (screen coordinates, within the surface's box) of the
  // surface; the surface's other pixels may hold anything.
  using Painter = std::function<void(const Region& area, const Surface& surface)>;

  PictureConverter(int screenWidth, int screenHeight, int width, int height);

  // Paints the canvas again where `changed` (screen coordinates) reaches it.
  // When scaled, that takes every screen pixel the filter reads for those
  // canvas pixels, so painter is asked for somewhat more than `changed`.
  void paint(const Region& changed, const Painter& painter);
  // Notes that the canvas, as painted, holds a change where `changed`
  // (screen coordinates) reaches: later pictures take it up.
  void update(const Region& changed);
  // The canvas in a buffer nobody else holds any more; none while every
  // buffer is still held, the changes then waiting for the next picture.
  std::shared_ptr<const ImageBuffer> picture();
  // The picture never left: its changes go with the next one, so that a
  // consumer that missed it is not left with a stale area.
  void undelivered(const ImageBuffer& picture);

 private:
  struct Slot {
    std::shared_ptr<ImageBuffer> image;
    Region behind;  // picture coordinates: where it differs from the canvas
  };
  Region toPicture(const Region& changed) const;
  Rect screenAreaOf(const Rect& target) const;
  void convert(const Rect& target, ImageBuffer& into) const;

  int screenWidth_, screenHeight_, width_, height_;
  bool scaled_;
  std::vector<std::uint8_t> canvas_;  // B G R A, the screen at the picture's size
  std::vector<std::uint8_t> band_;    // when scaled: whole rows of the screen
  int bandTargetRows_ = 0;            // picture rows whose screen rows fit one band
  std::vector<Slot> pool_;
  ChangedBlocks pending_;  // since the last picture handed out; everything before the first
};

}  // namespace tavrino::share::x11
