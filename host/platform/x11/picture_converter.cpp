#include "platform/x11/picture_converter.h"

#include <algorithm>

#include <libyuv/convert_from_argb.h>
#include <libyuv/scale_argb.h>

namespace tavrino::share::x11 {

namespace {
// Pictures handed out and not yet given back: two with the encoder (frames
// in flight) and one waiting for it. A consumer that falls further behind
// gets no new buffer; memory stays flat instead.
constexpr std::size_t kPoolSize = 3;
// Target pixels a bilinear sample reaches beyond the source rectangle it maps to.
constexpr int kFilterReach = 2;
// Rectangles a buffer's backlog keeps before it becomes their bounding box.
constexpr std::size_t kBacklogRects = 64;

int floorEven(int v) { return v & ~1; }
int ceilEven(int v, int limit) { return std::min(limit, (v + 1) & ~1); }
}  // namespace

PictureConverter::PictureConverter(int canvasWidth, int canvasHeight, int width, int height)
    : canvasWidth_(canvasWidth), canvasHeight_(canvasHeight), width_(width), height_(height),
      scaled_(canvasWidth != width || canvasHeight != height) {
  if (scaled_) scaledCanvas_.resize(static_cast<std::size_t>(width) * height * 4);
}

// Rectangles of the picture, widened to whole chroma samples and to the
// reach of the scaling filter.
Region PictureConverter::toPicture(const Region& changed) const {
  Region target;
  for (const Rect& r : changed.rects()) {
    long long left = r.x, top = r.y, right = r.right(), bottom = r.bottom();
    if (scaled_) {
      left = left * width_ / canvasWidth_ - kFilterReach;
      top = top * height_ / canvasHeight_ - kFilterReach;
      right = (right * width_ + canvasWidth_ - 1) / canvasWidth_ + kFilterReach;
      bottom = (bottom * height_ + canvasHeight_ - 1) / canvasHeight_ + kFilterReach;
    }
    const int l = floorEven(static_cast<int>(std::max(0LL, left)));
    const int t = floorEven(static_cast<int>(std::max(0LL, top)));
    const int rr = ceilEven(static_cast<int>(std::min<long long>(right, width_)), width_);
    const int b = ceilEven(static_cast<int>(std::min<long long>(bottom, height_)), height_);
    if (rr > l && b > t) target.addCoarsely(Rect{l, t, rr - l, b - t}, kBacklogRects);
  }
  return target;
}

void PictureConverter::update(const std::vector<std::uint8_t>& canvas, const Region& changed) {
  const Region target = toPicture(changed);
  for (const Rect& t : target.rects()) {
    if (scaled_) {
      libyuv::ARGBScaleClip(canvas.data(), canvasWidth_ * 4, canvasWidth_, canvasHeight_, scaledCanvas_.data(),
                            width_ * 4, width_, height_, t.x, t.y, t.width, t.height, libyuv::kFilterBilinear);
    }
    pending_.mark(t.x, t.y, t.width, t.height);
    for (Slot& slot : pool_) slot.behind.addCoarsely(t, kBacklogRects);
  }
}

void PictureConverter::convert(const std::vector<std::uint8_t>& canvas, const Rect& t, ImageBuffer& p) const {
  const std::uint8_t* argb = scaled_ ? scaledCanvas_.data() : canvas.data();
  const int stride = width_ * 4;  // the canvas, or its scaled copy, at the picture's size
  // Whole chroma rows and columns: t starts on even coordinates.
  libyuv::ARGBToNV12(argb + static_cast<std::size_t>(t.y) * stride + t.x * 4, stride,
                     p.luma.data() + static_cast<std::size_t>(t.y) * p.lumaStride + t.x, p.lumaStride,
                     p.chroma.data() + static_cast<std::size_t>(t.y / 2) * p.chromaStride + t.x, p.chromaStride,
                     t.width, t.height);
}

std::shared_ptr<const ImageBuffer> PictureConverter::picture(const std::vector<std::uint8_t>& canvas) {
  auto free = std::find_if(pool_.begin(), pool_.end(), [](const Slot& s) { return s.image.use_count() == 1; });
  if (free == pool_.end()) {
    if (pool_.size() >= kPoolSize) return nullptr;
    pool_.push_back({ImageBuffer::makeNV12(width_, height_), Region(Rect{0, 0, width_, height_})});
    free = pool_.end() - 1;
  }
  ImageBuffer& image = *free->image;
  for (const Rect& t : free->behind.rects()) convert(canvas, t, image);
  free->behind = Region{};
  image.changed = pending_;
  pending_.clear(width_, height_);
  return free->image;
}

void PictureConverter::undelivered(const ImageBuffer& picture) { pending_.add(picture.changed); }

}  // namespace tavrino::share::x11
