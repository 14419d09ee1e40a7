#include "media_sample.h"

#include <algorithm>
#include <cstring>

namespace tavrino::share {

std::shared_ptr<ImageBuffer> ImageBuffer::makeNV12(std::int32_t width, std::int32_t height) {
  auto image = std::make_shared<ImageBuffer>();
  image->width = width;
  image->height = height;
  image->lumaStride = width;
  image->chromaStride = (width + 1) / 2 * 2;
  image->luma.assign(static_cast<std::size_t>(width) * height, 0);
  image->chroma.assign(static_cast<std::size_t>(image->chromaStride) * ((height + 1) / 2), 0);
  return image;
}

void ChangedBlocks::clear(std::int32_t width, std::int32_t height) {
  columns = (width + kBlock - 1) / kBlock;
  rows = (height + kBlock - 1) / kBlock;
  marks.assign(static_cast<std::size_t>(columns) * rows, 0);
}

void ChangedBlocks::mark(std::int32_t x, std::int32_t y, std::int32_t width, std::int32_t height) {
  if (everywhere() || width <= 0 || height <= 0) return;
  const int left = std::max(0, x / kBlock), top = std::max(0, y / kBlock);
  const int right = std::min(columns, (x + width + kBlock - 1) / kBlock);
  const int bottom = std::min(rows, (y + height + kBlock - 1) / kBlock);
  for (int row = top; row < bottom; ++row) {
    if (left < right) std::fill_n(marks.begin() + static_cast<std::ptrdiff_t>(row) * columns + left, right - left, 1);
  }
}

void ChangedBlocks::add(const ChangedBlocks& other) {
  if (everywhere()) return;
  if (other.everywhere() || other.columns != columns || other.rows != rows) {
    markEverywhere();
    return;
  }
  for (std::size_t i = 0; i < marks.size(); ++i) marks[i] |= other.marks[i];
}

std::int32_t ContiguousBlockBuffer::copyDataBytes(std::size_t offset, std::size_t length,
                                                  std::uint8_t* destination) const {
  if (offset > bytes_.size() || length > bytes_.size() - offset) return -12772;  // out of range
  if (length > 0) std::memcpy(destination, bytes_.data() + offset, length);
  return 0;
}

}  // namespace tavrino::share
