#include "picture_quality.h"

#include <cmath>
#include <vector>

namespace tavrino::share::bench {

double squaredError(const Plane& a, const Plane& b) {
  double sum = 0;
  for (int y = 0; y < a.height; ++y) {
    const std::uint8_t* p = a.samples + static_cast<std::ptrdiff_t>(y) * a.stride;
    const std::uint8_t* q = b.samples + static_cast<std::ptrdiff_t>(y) * b.stride;
    std::int64_t row = 0;
    for (int x = 0; x < a.width; ++x) row += (p[x] - q[x]) * (p[x] - q[x]);
    sum += static_cast<double>(row);
  }
  return sum;
}

double psnr(double meanSquaredError) {
  if (meanSquaredError <= 255.0 * 255.0 * 1e-10) return 100;
  return 10 * std::log10(255.0 * 255.0 / meanSquaredError);
}

double ssim(const Plane& a, const Plane& b) {
  // Sums of 4x4 blocks; each window adds up 2x2 of them.
  struct Sums {
    std::int64_t a = 0, b = 0, squares = 0, products = 0;
  };
  const int columns = a.width / 4, rows = a.height / 4;
  if (columns < 2 || rows < 2) return 1;
  std::vector<Sums> blocks(static_cast<std::size_t>(columns) * rows);
  for (int y = 0; y < rows * 4; ++y) {
    const std::uint8_t* p = a.samples + static_cast<std::ptrdiff_t>(y) * a.stride;
    const std::uint8_t* q = b.samples + static_cast<std::ptrdiff_t>(y) * b.stride;
    Sums* row = &blocks[static_cast<std::size_t>(y / 4) * columns];
    for (int x = 0; x < columns * 4; ++x) {
      Sums& s = row[x / 4];
      s.a += p[x];
      s.b += q[x];
      s.squares += p[x] * p[x] + q[x] * q[x];
      s.products += p[x] * q[x];
    }
  }
  constexpr double c1 = .01 * .01 * 255 * 255 * 64, c2 = .03 * .03 * 255 * 255 * 64 * 63;
  double total = 0;
  for (int y = 0; y + 1 < rows; ++y)
    for (int x = 0; x + 1 < columns; ++x) {
      Sums w;
      for (const Sums* s : {&blocks[y * columns + x], &blocks[y * columns + x + 1], &blocks[(y + 1) * columns + x],
                            &blocks[(y + 1) * columns + x + 1]}) {
        w.a += s->a;
        w.b += s->b;
        w.squares += s->squares;
        w.products += s->products;
      }
      const double s1 = static_cast<double>(w.a), s2 = static_cast<double>(w.b);
      const double variances = static_cast<double>(w.squares) * 64 - s1 * s1 - s2 * s2;
      const double covariance = static_cast<double>(w.products) * 64 - s1 * s2;
      total += (2 * s1 * s2 + c1) * (2 * covariance + c2) / ((s1 * s1 + s2 * s2 + c1) * (variances + c2));
    }
  return total / ((columns - 1.0) * (rows - 1.0));
}

}  // namespace tavrino::share::bench
