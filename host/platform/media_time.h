#pragma once

#include <cstdint>

namespace tavrino::share {

// Rational media time: value / timescale seconds.
struct MediaTime {
  static constexpr std::uint32_t kValid = 1;

  std::int64_t value = 0;
  std::int32_t timescale = 0;
  std::uint32_t flags = 0;
  std::int64_t epoch = 0;

  static constexpr MediaTime make(std::int64_t value, std::int32_t timescale) {
    return MediaTime{value, timescale, kValid, 0};
  }

  bool isValid() const { return (flags & kValid) != 0 && timescale > 0; }

  // Seconds as a double; NaN for an invalid time.
  double seconds() const;

  friend bool operator==(const MediaTime&, const MediaTime&) = default;
};

// a - b, exact whenever the common timescale fits 32 bits; otherwise expressed
// in the finer of the two timescales with rounding to nearest. Invalid if
// either operand is invalid.
MediaTime subtract(const MediaTime& a, const MediaTime& b);

}  // namespace tavrino::share
