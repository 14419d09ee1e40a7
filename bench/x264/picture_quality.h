#pragma once

#include <cstdint>

namespace tavrino::share::bench {

// One plane of 8-bit samples.
struct Plane {
  const std::uint8_t* samples;
  int stride;
  int width, height;
};

// Sum of squared differences over the samples of both planes (same size).
double squaredError(const Plane& a, const Plane& b);
// PSNR in dB of a mean squared error; identical pictures give 100.
double psnr(double meanSquaredError);
// Mean SSIM over 8x8 windows placed every 4 samples, as encoders report it.
double ssim(const Plane& a, const Plane& b);

}  // namespace tavrino::share::bench
