#include "x264/test_pictures.h"

#include <algorithm>
#include <cmath>
#include <limits>

namespace tavrino::share::testing {

namespace {

double planePsnr(double squaredError, std::size_t samples) {
  if (squaredError == 0) return std::numeric_limits<double>::infinity();
  return 10.0 * std::log10(255.0 * 255.0 * samples / squaredError);
}

// The padding bytes beyond the picture width stay unwritten by design: the
// encoder must not depend on them.
std::shared_ptr<ImageBuffer> paddedNV12(int width, int height) {
  auto image = std::make_shared<ImageBuffer>();
  image->width = width;
  image->height = height;
  image->lumaStride = width + 32;
  image->chromaStride = width + 64;
  image->luma.assign(static_cast<std::size_t>(image->lumaStride) * height, 0);
  image->chroma.assign(static_cast<std::size_t>(image->chromaStride) * (height / 2), 128);
  return image;
}

}  // namespace

std::shared_ptr<ImageBuffer> movingPattern(int width, int height, int frame) {
  auto image = paddedNV12(width, height);
  const int boxWidth = width / 3;
  const int boxHeight = height / 3;
  const int boxX = (frame * 24) % (width - boxWidth);
  const int boxY = height / 4 + (frame * 6) % (height / 3);
  for (int y = 0; y < height; ++y) {
    std::uint8_t* row = image->luma.data() + static_cast<std::size_t>(y) * image->lumaStride;
    for (int x = 0; x < width; ++x) {
      int value = 40 + 140 * x / width + 30 * y / height;
      if (x >= boxX && x < boxX + boxWidth && y >= boxY && y < boxY + boxHeight) {
        // Text-like ink: 9x12 cells of pseudo-random 6x7 glyph bits.
        const int innerX = x - boxX, innerY = y - boxY;
        const int cellX = innerX % 9, cellY = innerY % 12 - 3;
        const unsigned glyph = static_cast<unsigned>(innerX / 9 * 7919 + innerY / 12 * 104729);
        const bool ink = cellX < 6 && cellY >= 0 && cellY < 7 &&
                         ((glyph * 2654435761u) >> (cellX * 4 + cellY % 4)) & 1;
        value = ink ? 30 : 225;
      }
      row[x] = static_cast<std::uint8_t>(value);
    }
  }
  for (int y = 0; y < height / 2; ++y) {
    std::uint8_t* row = image->chroma.data() + static_cast<std::size_t>(y) * image->chromaStride;
    for (int x = 0; x < width / 2; ++x) {
      row[2 * x] = static_cast<std::uint8_t>(96 + 64 * x / (width / 2));
      row[2 * x + 1] = static_cast<std::uint8_t>(160 - 48 * y / (height / 2));
    }
  }
  return image;
}

std::shared_ptr<ImageBuffer> noisePicture(int width, int height, std::uint32_t seed) {
  auto image = paddedNV12(width, height);
  std::uint32_t state = seed * 2654435761u + 1;
  auto next = [&state] {
    state ^= state << 13;
    state ^= state >> 17;
    state ^= state << 5;
    return static_cast<std::uint8_t>(state >> 24);
  };
  std::generate(image->luma.begin(), image->luma.end(), next);
  std::generate(image->chroma.begin(), image->chroma.end(), next);
  return image;
}

Psnr psnr(const ImageBuffer& original, const DecodedPicture& decoded) {
  const int width = original.width;
  const int height = original.height;
  double luma = 0;
  for (int y = 0; y < height; ++y) {
    for (int x = 0; x < width; ++x) {
      const double d = original.luma[static_cast<std::size_t>(y) * original.lumaStride + x] -
                       decoded.y[static_cast<std::size_t>(y) * width + x];
      luma += d * d;
    }
  }
  double cb = 0, cr = 0;
  const int chromaWidth = width / 2;
  for (int y = 0; y < height / 2; ++y) {
    for (int x = 0; x < chromaWidth; ++x) {
      const std::uint8_t* pair =
          original.chroma.data() + static_cast<std::size_t>(y) * original.chromaStride + 2 * x;
      const std::size_t at = static_cast<std::size_t>(y) * chromaWidth + x;
      const double dcb = pair[0] - decoded.cb[at];
      const double dcr = pair[1] - decoded.cr[at];
      cb += dcb * dcb;
      cr += dcr * dcr;
    }
  }
  const std::size_t chromaSamples = static_cast<std::size_t>(chromaWidth) * (height / 2);
  return {planePsnr(luma, static_cast<std::size_t>(width) * height),
          std::min(planePsnr(cb, chromaSamples), planePsnr(cr, chromaSamples))};
}

}  // namespace tavrino::share::testing
