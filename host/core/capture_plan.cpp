#include "core/capture_plan.h"

#include <algorithm>
#include <cmath>
#include <limits>

#include "platform/media_sample.h"

namespace tavrino::share {
namespace {
constexpr std::string_view kWindowPrefix = "--test-window=";
}

std::optional<std::uint32_t> parseWindowNumber(std::string_view text) {
  if (text.empty()) return std::nullopt;
  std::uint64_t value = 0;
  for (const char c : text) {
    if (c < '0' || c > '9') return std::nullopt;
    value = value * 10 + static_cast<std::uint64_t>(c - '0');
    if (value > std::numeric_limits<std::uint32_t>::max()) return std::nullopt;
  }
  return static_cast<std::uint32_t>(value);
}

CaptureMode chooseCaptureMode(const std::vector<std::string>& arguments) {
  if (std::find(arguments.begin(), arguments.end(), "--test-application") != arguments.end())
    return {CaptureMode::Kind::fixture, 0};
  for (const auto& argument : arguments) {
    if (!argument.starts_with(kWindowPrefix)) continue;
    // Only the first window option counts, parsed or not.
    if (const auto number = parseWindowNumber(std::string_view(argument).substr(kWindowPrefix.size())))
      return {CaptureMode::Kind::window, *number};
    break;
  }
  return {};
}

bool isTestMode(const std::vector<std::string>& arguments) {
  return std::any_of(arguments.begin(), arguments.end(), [](const std::string& argument) {
    return argument == "--test-application" || argument.starts_with(kWindowPrefix);
  });
}

std::optional<CaptureSize> captureSize(std::int64_t pixelsWide, const Display& display) {
  if (display.width <= 0 || display.height <= 0) return std::nullopt;
  const std::int64_t width = std::min<std::int64_t>(pixelsWide, 1920) / 2 * 2;
  if (width < 2) return std::nullopt;
  const double aspect = static_cast<double>(display.height) / static_cast<double>(display.width);
  const double scaled = static_cast<double>(width) * aspect;
  if (!std::isfinite(scaled) || scaled < 2.0 || scaled > 1'000'000.0) return std::nullopt;
  const auto height = static_cast<std::int64_t>(scaled) / 2 * 2;
  return CaptureSize{static_cast<std::int32_t>(width), static_cast<std::int32_t>(height)};
}

StreamConfiguration streamConfiguration(CaptureSize size) {
  StreamConfiguration configuration;
  configuration.width = size.width;
  configuration.height = size.height;
  configuration.minimumFrameInterval = MediaTime::make(1, 12);
  configuration.queueDepth = 3;
  configuration.showsCursor = true;
  configuration.capturesAudio = false;
  configuration.ignoreShadowsDisplay = true;
  configuration.pixelFormat = ImageBuffer::kPixelFormat420v;
  return configuration;
}

}  // namespace tavrino::share
