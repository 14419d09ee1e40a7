#include "media_sample.h"

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

std::int32_t ContiguousBlockBuffer::copyDataBytes(std::size_t offset, std::size_t length,
                                                  std::uint8_t* destination) const {
  if (offset > bytes_.size() || length > bytes_.size() - offset) return -12772;  // out of range
  if (length > 0) std::memcpy(destination, bytes_.data() + offset, length);
  return 0;
}

}  // namespace tavrino::share
