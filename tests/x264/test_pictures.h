#pragma once

#include <cstdint>
#include <memory>

#include "platform/media_sample.h"
#include "x264/h264_decoder.h"

namespace tavrino::share::testing {

// The benchmark's synthetic desktop (scrolling text, a moving window) in
// NV12 rows padded beyond the picture width, as a capture may deliver them.
std::shared_ptr<ImageBuffer> screenPicture(int width, int height, int frame);

// Uniform noise in every sample: the worst case for the rate control.
std::shared_ptr<ImageBuffer> noisePicture(int width, int height, std::uint32_t seed);

// PSNR of a decoded picture against the NV12 picture it came from, for the
// worst of its three planes.
double psnr(const ImageBuffer& original, const DecodedPicture& decoded);

}  // namespace tavrino::share::testing
