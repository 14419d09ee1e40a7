#pragma once

#include <cstdint>
#include <memory>

#include "platform/media_sample.h"
#include "x264/h264_decoder.h"

namespace tavrino::share::testing {

// A smooth background with a bright window that moves by frame number and
// carries text-like stripes: easy to compress, easy to spot when wrong.
std::shared_ptr<ImageBuffer> movingPattern(int width, int height, int frame);

// Uniform noise in every sample: the worst case for the rate control.
std::shared_ptr<ImageBuffer> noisePicture(int width, int height, std::uint32_t seed);

struct Psnr {
  double luma = 0;
  double chroma = 0;  // the lower of Cb and Cr
};

// PSNR of a decoded picture against the NV12 picture it came from.
Psnr psnr(const ImageBuffer& original, const DecodedPicture& decoded);

}  // namespace tavrino::share::testing
