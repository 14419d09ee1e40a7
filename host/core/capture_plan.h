#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/capture_service.h"

namespace tavrino::share {

inline constexpr const char* kMainApplicationIdentifier = "local.velmarch.app";
inline constexpr const char* kFixtureApplicationIdentifier = "net.tavrino.share-fixture";

// What a capture keeps out of the picture, chosen from the command line.
struct CaptureMode {
  enum class Kind { normal, fixture, window };
  Kind kind = Kind::normal;
  std::uint32_t windowNumber = 0;  // window mode only
};

CaptureMode chooseCaptureMode(const std::vector<std::string>& arguments);

// True when any test option is present, whether or not its window number parses.
bool isTestMode(const std::vector<std::string>& arguments);

// A plain decimal digit string that fits 32 unsigned bits.
std::optional<std::uint32_t> parseWindowNumber(std::string_view text);

struct CaptureSize {
  std::int32_t width = 0;
  std::int32_t height = 0;
  friend bool operator==(const CaptureSize&, const CaptureSize&) = default;
};

// Even width of at most 1,920 pixels, height from the reported aspect. None
// when the display's figures give no usable picture (zero width, an aspect
// that is not finite, a size below 2 x 2 or beyond 32 bits).
std::optional<CaptureSize> captureSize(std::int64_t pixelsWide, const Display& display);

StreamConfiguration streamConfiguration(CaptureSize size);

}  // namespace tavrino::share
