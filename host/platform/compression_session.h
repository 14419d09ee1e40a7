#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <variant>

#include "media_sample.h"
#include "media_time.h"

namespace tavrino::share {

enum class VideoCodec : std::uint32_t { h264 = 0x61766331 };  // 'avc1'

enum class CompressionProperty {
  realTime,              // bool
  allowFrameReordering,  // bool
  profileLevel,          // ProfileLevel
  averageBitRate,        // int64 bits per second
  expectedFrameRate,     // int64 frames per second
  maxFrameDelayCount,    // int64 frames
  maxKeyFrameInterval,   // int64 frames
};

enum class ProfileLevel { h264BaselineAutoLevel };

using PropertyValue = std::variant<bool, std::int64_t, ProfileLevel>;

struct EncoderRequirements {
  bool requireHardwareAcceleratedVideoEncoder = false;
};

struct FrameOptions {
  bool forceKeyFrame = false;
  // The changes of pictures dropped since the frame submitted last, which
  // the encoder never saw; none when nothing was dropped.
  std::optional<ChangedBlocks> missed = std::nullopt;
};

// Per-frame result: status (0 = success), information flags, and the encoded
// sample or none. Called once per accepted frame on an encoder thread, never
// on the caller's stack.
using EncodeOutputHandler =
    std::function<void(std::int32_t status, std::uint32_t infoFlags,
                       std::shared_ptr<const SampleBuffer> sample)>;

class CompressionSession {
 public:
  virtual ~CompressionSession() = default;

  // Returns a status; a refused property leaves the session as it was.
  virtual std::int32_t setProperty(CompressionProperty key, const PropertyValue& value) = 0;
  virtual std::int32_t prepareToEncodeFrames() = 0;
  // Returns 0 when the frame was accepted (the handler will run once for it),
  // otherwise a non-zero status and the handler never runs.
  virtual std::int32_t encodeFrame(std::shared_ptr<const ImageBuffer> image,
                                   MediaTime presentationTime, MediaTime duration,
                                   const std::optional<FrameOptions>& options,
                                   EncodeOutputHandler handler) = 0;
  // Ends the session at once. Results that still arrive are the caller's to discard.
  virtual void invalidate() = 0;
};

class CompressionSessionFactory {
 public:
  virtual ~CompressionSessionFactory() = default;
  // Returns 0 and stores a session, or a non-zero status. Status 0 without a
  // stored session is possible and is a failure for the caller.
  virtual std::int32_t create(std::int32_t width, std::int32_t height, VideoCodec codec,
                              const EncoderRequirements& requirements,
                              std::unique_ptr<CompressionSession>& session) = 0;
};

}  // namespace tavrino::share
