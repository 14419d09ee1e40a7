#include "media_time.h"

#include <cmath>
#include <limits>
#include <numeric>

namespace tavrino::share {

double MediaTime::seconds() const {
  if (!isValid()) return std::numeric_limits<double>::quiet_NaN();
  return static_cast<double>(value) / static_cast<double>(timescale);
}

namespace {

// Rescales with rounding to nearest, halves away from zero, in 128-bit to
// avoid overflow of value * timescale.
std::int64_t rescale(std::int64_t value, std::int32_t from, std::int32_t to) {
  if (from == to) return value;
  __int128 scaled = static_cast<__int128>(value) * to;
  __int128 half = from / 2;
  __int128 q = scaled >= 0 ? (scaled + half) / from : (scaled - half) / from;
  if (q > std::numeric_limits<std::int64_t>::max()) return std::numeric_limits<std::int64_t>::max();
  if (q < std::numeric_limits<std::int64_t>::min()) return std::numeric_limits<std::int64_t>::min();
  return static_cast<std::int64_t>(q);
}

}  // namespace

MediaTime subtract(const MediaTime& a, const MediaTime& b) {
  if (!a.isValid() || !b.isValid()) return MediaTime{};
  std::int64_t common = std::lcm<std::int64_t, std::int64_t>(a.timescale, b.timescale);
  std::int32_t scale = common <= std::numeric_limits<std::int32_t>::max()
                           ? static_cast<std::int32_t>(common)
                           : std::max(a.timescale, b.timescale);
  std::int64_t av = rescale(a.value, a.timescale, scale);
  std::int64_t bv = rescale(b.value, b.timescale, scale);
  return MediaTime::make(av - bv, scale);
}

}  // namespace tavrino::share
