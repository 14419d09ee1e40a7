#pragma once

#include <cstdint>

#include "platform/media_time.h"

namespace tavrino::share {

// The time in whole microseconds, halves rounded away from zero, computed
// exactly from the rational value (no detour through a double); clamped to
// the int64 range. An invalid time counts as 0.
std::int64_t roundedMicroseconds(const MediaTime& time);

}  // namespace tavrino::share
