#include "platform/x11/picture_converter.h"

#include <algorithm>
#include <cstring>

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

int floorEven(int v) { return v & ~1; }
int ceilEven(int v, int limit) { return std::min(limit, (v + 1) & ~1); }
}  // namespace

PictureConverter::PictureConverter(int canvasWidth, int canvasHeight, int width, int height)
    : canvasWidth_(canvasWidth), canvasHeight_(canvasHeight), width_(width), height_(height),
      scaled_(canvasWidth != width || canvasHeight != height), kept_(ImageBuffer::makeNV12(width, height)) {
  if (scaled_) scaledCanvas_.resize(static_cast<std::size_t>(width) * height * 4);
}

void PictureConverter::update(const std::vector<std::uint8_t>& canvas, const Region& changed) {
  if (fresh_) {
    fresh_ = false;
    convert(canvas, Rect{0, 0, width_, height_});
    return;
  }
  // Rectangles of the picture, widened to whole chroma samples and to the
  // reach of the scaling filter; overlaps are converted once.
  Region target;
  for (const Rect& r : changed.rects()) {
    int left = r.x, top = r.y, right = r.right(), bottom = r.bottom();
    if (scaled_) {
      left = static_cast<int>(static_cast<long long>(left) * width_ / canvasWidth_) - kFilterReach;
      top = static_cast<int>(static_cast<long long>(top) * height_ / canvasHeight_) - kFilterReach;
      right = static_cast<int>((static_cast<long long>(right) * width_ + canvasWidth_ - 1) / canvasWidth_) + kFilterReach;
      bottom = static_cast<int>((static_cast<long long>(bottom) * height_ + canvasHeight_ - 1) / canvasHeight_) +
               kFilterReach;
    }
    left = floorEven(std::max(0, left));
    top = floorEven(std::max(0, top));
    right = ceilEven(right, width_);
    bottom = ceilEven(bottom, height_);
    target.add(Rect{left, top, right - left, bottom - top});
  }
  for (const Rect& r : target.rects()) convert(canvas, r);
}

void PictureConverter::convert(const std::vector<std::uint8_t>& canvas, Rect t) {
  if (t.empty()) return;
  const std::uint8_t* argb = canvas.data();
  int stride = canvasWidth_ * 4;
  if (scaled_) {
    libyuv::ARGBScaleClip(canvas.data(), stride, canvasWidth_, canvasHeight_, scaledCanvas_.data(), width_ * 4,
                          width_, height_, t.x, t.y, t.width, t.height, libyuv::kFilterBilinear);
    argb = scaledCanvas_.data();
    stride = width_ * 4;
  }
  ImageBuffer& p = *kept_;
  // Whole chroma rows and columns: t starts on even coordinates.
  libyuv::ARGBToNV12(argb + static_cast<std::size_t>(t.y) * stride + t.x * 4, stride,
                     p.luma.data() + static_cast<std::size_t>(t.y) * p.lumaStride + t.x, p.lumaStride,
                     p.chroma.data() + static_cast<std::size_t>(t.y / 2) * p.chromaStride + t.x, p.chromaStride,
                     t.width, t.height);
}

std::shared_ptr<const ImageBuffer> PictureConverter::picture() {
  std::shared_ptr<ImageBuffer> free;
  for (const auto& p : pool_) {
    if (p.use_count() == 1) {
      free = p;
      break;
    }
  }
  if (!free) {
    if (pool_.size() >= kPoolSize) return nullptr;
    free = ImageBuffer::makeNV12(width_, height_);
    pool_.push_back(free);
  }
  std::memcpy(free->luma.data(), kept_->luma.data(), kept_->luma.size());
  std::memcpy(free->chroma.data(), kept_->chroma.data(), kept_->chroma.size());
  return free;
}

}  // namespace tavrino::share::x11
