#include "platform/x11/picture_converter.h"

#include <algorithm>
#include <cmath>

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
// Screen pixels around a canvas rectangle's exact footprint that the scaler
// may read (a bilinear sample takes the pixel before and after its centre).
constexpr int kSourceReach = 2;
// A band of the screen is about this large: a full repaint takes a few more
// round trips than with a screen-sized buffer, and a 4K screen costs 1 MiB
// instead of 32.
constexpr std::size_t kBandTarget = std::size_t{1} << 20;
// Rectangles a buffer's backlog keeps before it becomes their bounding box.
constexpr std::size_t kBacklogRects = 64;

int floorEven(int v) { return v & ~1; }
int ceilEven(int v, int limit) { return std::min(limit, (v + 1) & ~1); }
}  // namespace

PictureConverter::PictureConverter(int screenWidth, int screenHeight, int width, int height)
    : screenWidth_(screenWidth), screenHeight_(screenHeight), width_(width), height_(height),
      scaled_(screenWidth != width || screenHeight != height),
      canvas_(static_cast<std::size_t>(width) * height * 4) {
  if (!scaled_) return;
  const std::size_t row = static_cast<std::size_t>(screenWidth) * 4;
  const double rowsPerRow = static_cast<double>(screenHeight) / height;
  // A band's screen rows span at most rowsPerRow per picture row, plus the
  // rounding at both ends and the filter's reach on both sides.
  const int slack = 2 + 2 * kSourceReach;
  const int bandRows = std::max(static_cast<int>(kBandTarget / row), static_cast<int>(std::ceil(rowsPerRow)) + slack);
  bandTargetRows_ = std::max(1, static_cast<int>((bandRows - slack) / rowsPerRow));
  band_.resize(static_cast<std::size_t>(bandRows) * row);
}

// Rectangles of the picture, widened to whole chroma samples and to the
// reach of the scaling filter.
Region PictureConverter::toPicture(const Region& changed) const {
  Region target;
  for (const Rect& r : changed.rects()) {
    long long left = r.x, top = r.y, right = r.right(), bottom = r.bottom();
    if (scaled_) {
      left = left * width_ / screenWidth_ - kFilterReach;
      top = top * height_ / screenHeight_ - kFilterReach;
      right = (right * width_ + screenWidth_ - 1) / screenWidth_ + kFilterReach;
      bottom = (bottom * height_ + screenHeight_ - 1) / screenHeight_ + kFilterReach;
    }
    const int l = floorEven(static_cast<int>(std::max(0LL, left)));
    const int t = floorEven(static_cast<int>(std::max(0LL, top)));
    const int rr = ceilEven(static_cast<int>(std::min<long long>(right, width_)), width_);
    const int b = ceilEven(static_cast<int>(std::min<long long>(bottom, height_)), height_);
    if (rr > l && b > t) target.addCoarsely(Rect{l, t, rr - l, b - t}, kBacklogRects);
  }
  return target;
}

// The screen pixels the scaler reads for a rectangle of the picture.
Rect PictureConverter::screenAreaOf(const Rect& t) const {
  const long long left = static_cast<long long>(t.x) * screenWidth_ / width_ - kSourceReach;
  const long long top = static_cast<long long>(t.y) * screenHeight_ / height_ - kSourceReach;
  const long long right = (static_cast<long long>(t.right()) * screenWidth_ + width_ - 1) / width_ + kSourceReach;
  const long long bottom = (static_cast<long long>(t.bottom()) * screenHeight_ + height_ - 1) / height_ + kSourceReach;
  const int l = static_cast<int>(std::max(0LL, left)), tp = static_cast<int>(std::max(0LL, top));
  const int r = static_cast<int>(std::min<long long>(right, screenWidth_));
  const int b = static_cast<int>(std::min<long long>(bottom, screenHeight_));
  return Rect{l, tp, r - l, b - tp};
}

void PictureConverter::paint(const Region& changed, const Painter& painter) {
  const int stride = width_ * 4;
  if (!scaled_) {
    const Region area = changed.intersected(Rect{0, 0, width_, height_});
    if (!area.empty()) painter(area, Surface{canvas_.data(), stride, Rect{0, 0, width_, height_}});
    return;
  }
  const Region target = toPicture(changed);
  if (target.empty()) return;
  const Rect bounds = target.bounds();
  const int bandStride = screenWidth_ * 4;
  for (int top = bounds.y; top < bounds.bottom(); top += bandTargetRows_) {
    const Region part =
        target.intersected(Rect{bounds.x, top, bounds.width, std::min(bandTargetRows_, bounds.bottom() - top)});
    if (part.empty()) continue;
    Region source;
    for (const Rect& t : part.rects()) source.add(screenAreaOf(t));
    const Rect rows = source.bounds();
    const std::size_t bytes = static_cast<std::size_t>(rows.height) * bandStride;
    if (band_.size() < bytes) band_.resize(bytes);  // never with the band's own sizing, but memory stays safe
    const Surface band{band_.data(), bandStride, Rect{0, rows.y, screenWidth_, rows.height}};
    painter(source, band);
    // The scaler is given the band as if it were the whole screen: it reads
    // only the rows a clipped rectangle needs, and those lie in the band.
    const std::uint8_t* screen = band.at(0, 0);
    for (const Rect& t : part.rects()) {
      libyuv::ARGBScaleClip(screen, bandStride, screenWidth_, screenHeight_, canvas_.data(), stride, width_, height_,
                            t.x, t.y, t.width, t.height, libyuv::kFilterBilinear);
    }
  }
}

void PictureConverter::update(const Region& changed) {
  for (const Rect& t : toPicture(changed).rects()) {
    pending_.mark(t.x, t.y, t.width, t.height);
    for (Slot& slot : pool_) slot.behind.addCoarsely(t, kBacklogRects);
  }
}

void PictureConverter::convert(const Rect& t, ImageBuffer& p) const {
  const int stride = width_ * 4;
  // Whole chroma rows and columns: t starts on even coordinates.
  libyuv::ARGBToNV12(canvas_.data() + static_cast<std::size_t>(t.y) * stride + t.x * 4, stride,
                     p.luma.data() + static_cast<std::size_t>(t.y) * p.lumaStride + t.x, p.lumaStride,
                     p.chroma.data() + static_cast<std::size_t>(t.y / 2) * p.chromaStride + t.x, p.chromaStride,
                     t.width, t.height);
}

std::shared_ptr<const ImageBuffer> PictureConverter::picture() {
  auto free = std::find_if(pool_.begin(), pool_.end(), [](const Slot& s) { return s.image.use_count() == 1; });
  if (free == pool_.end()) {
    if (pool_.size() >= kPoolSize) return nullptr;
    pool_.push_back({ImageBuffer::makeNV12(width_, height_), Region(Rect{0, 0, width_, height_})});
    free = pool_.end() - 1;
  }
  ImageBuffer& image = *free->image;
  for (const Rect& t : free->behind.rects()) convert(t, image);
  free->behind = Region{};
  image.changed = pending_;
  pending_.clear(width_, height_);
  return free->image;
}

void PictureConverter::undelivered(const ImageBuffer& picture) { pending_.add(picture.changed); }

}  // namespace tavrino::share::x11
