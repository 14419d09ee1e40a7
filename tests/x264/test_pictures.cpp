#include "x264/test_pictures.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <random>

#include "screen_content.h"

namespace tavrino::share::testing {

namespace {

// Copies tight NV12 into rows wider than the picture. The padding stays
// zero by design: the encoder must not depend on it.
std::shared_ptr<ImageBuffer> paddedNV12(int width, int height,
                                        const std::vector<std::uint8_t>& tight) {
  auto image = std::make_shared<ImageBuffer>();
  image->width = width;
  image->height = height;
  image->lumaStride = width + 32;
  image->chromaStride = width + 64;
  image->luma.resize(static_cast<std::size_t>(image->lumaStride) * height);
  image->chroma.resize(static_cast<std::size_t>(image->chromaStride) * (height / 2));
  const std::uint8_t* from = tight.data();
  std::uint8_t* to = image->luma.data();
  for (int y = 0; y < height; ++y, from += width, to += image->lumaStride) {
    std::memcpy(to, from, width);
  }
  to = image->chroma.data();
  for (int y = 0; y < height / 2; ++y, from += width, to += image->chromaStride) {
    std::memcpy(to, from, width);
  }
  return image;
}

// PSNR of one plane whose original samples lie step bytes apart.
double planePsnr(const std::uint8_t* original, int stride, int step,
                 const std::vector<std::uint8_t>& decoded, int width, int height) {
  double squaredError = 0;
  for (int y = 0; y < height; ++y) {
    for (int x = 0; x < width; ++x) {
      const double d = original[static_cast<std::size_t>(y) * stride + x * step] -
                       decoded[static_cast<std::size_t>(y) * width + x];
      squaredError += d * d;
    }
  }
  if (squaredError == 0) return std::numeric_limits<double>::infinity();
  return 10.0 * std::log10(255.0 * 255.0 * width * height / squaredError);
}

}  // namespace

std::shared_ptr<ImageBuffer> screenPicture(int width, int height, int frame) {
  return paddedNV12(width, height, bench::screenFrame(width, height, frame));
}

std::shared_ptr<ImageBuffer> noisePicture(int width, int height, std::uint32_t seed) {
  std::vector<std::uint8_t> samples(static_cast<std::size_t>(width) * height * 3 / 2);
  std::mt19937 random(seed);
  for (std::uint8_t& sample : samples) sample = static_cast<std::uint8_t>(random() >> 24);
  return paddedNV12(width, height, samples);
}

double psnr(const ImageBuffer& original, const DecodedPicture& decoded) {
  const int w = original.width, h = original.height, stride = original.chromaStride;
  const std::uint8_t* chroma = original.chroma.data();
  return std::min({planePsnr(original.luma.data(), original.lumaStride, 1, decoded.y, w, h),
                   planePsnr(chroma, stride, 2, decoded.cb, w / 2, h / 2),
                   planePsnr(chroma + 1, stride, 2, decoded.cr, w / 2, h / 2)});
}

}  // namespace tavrino::share::testing
