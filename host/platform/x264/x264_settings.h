#pragma once

#include <cstdint>
#include <optional>

#include <x264.h>

#include "platform/compression_session.h"

namespace tavrino::share {

// Encoded frames larger than this are refused by the frame sender, so the
// rate control keeps every frame below it.
inline constexpr std::int64_t kMaxEncodedFrameBytes = 700'000;

// What the session properties asked for; unset values keep x264's defaults.
struct X264Settings {
  bool realTime = false;
  bool allowFrameReordering = true;
  bool baseline = false;
  std::optional<std::int64_t> averageBitRate;       // bits per second
  std::optional<std::int64_t> expectedFrameRate;    // frames per second
  std::optional<std::int64_t> maxFrameDelayCount;   // none = unlimited
  std::optional<std::int64_t> maxKeyFrameInterval;  // 0 = unlimited
};

// Records one property; a value of the wrong type or out of range is refused
// with a non-zero status and leaves the settings as they were.
std::int32_t applyProperty(X264Settings& settings, CompressionProperty key,
                           const PropertyValue& value);

// x264 parameters for NV12 input of the given size; false when x264 refuses
// the combination.
bool makeX264Parameters(const X264Settings& settings, int width, int height,
                        x264_param_t& params);

// The VBV buffer in kbit: at most one second of the average rate, and small
// enough that no single frame can pass kMaxEncodedFrameBytes.
int vbvBufferKbit(int bitrateKbit);

}  // namespace tavrino::share
