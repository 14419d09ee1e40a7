#include "frame_timestamp.h"

#include <limits>

namespace tavrino::share {

std::int64_t roundedMicroseconds(const MediaTime& time) {
  if (!time.isValid()) return 0;
  const __int128 scaled = static_cast<__int128>(time.value) * 1'000'000;
  const __int128 divisor = time.timescale;
  __int128 quotient = scaled / divisor;
  const __int128 remainder = scaled % divisor;
  // Round half away from zero: |remainder| * 2 >= divisor moves one step
  // further from zero in the direction of the sign.
  const __int128 twice = (remainder < 0 ? -remainder : remainder) * 2;
  if (twice >= divisor) quotient += scaled < 0 ? -1 : 1;
  if (quotient > std::numeric_limits<std::int64_t>::max())
    return std::numeric_limits<std::int64_t>::max();
  if (quotient < std::numeric_limits<std::int64_t>::min())
    return std::numeric_limits<std::int64_t>::min();
  return static_cast<std::int64_t>(quotient);
}

}  // namespace tavrino::share
