#pragma once

#include <cstdint>
#include <memory>

#include "platform/compression_session.h"

namespace tavrino::share {

// Statuses reported by the libx264 session. Negative, so that they never look
// like a success or a count.
namespace x264status {
inline constexpr std::int32_t kPropertyNotSupported = -12900;
inline constexpr std::int32_t kParameter = -12902;
inline constexpr std::int32_t kInvalidSession = -12903;
inline constexpr std::int32_t kCodecNotSupported = -12906;
inline constexpr std::int32_t kEncodeFailed = -12911;
inline constexpr std::int32_t kEncoderUnavailable = -12915;
}  // namespace x264status

// H.264 compression sessions on libx264. Each session encodes on a worker
// thread of its own and delivers every result there, in input order; encoded
// samples carry the avcC record and 4-byte length-prefixed NAL units.
class X264CompressionSessionFactory final : public CompressionSessionFactory {
 public:
  std::int32_t create(std::int32_t width, std::int32_t height, VideoCodec codec,
                      const EncoderRequirements& requirements,
                      std::unique_ptr<CompressionSession>& session) override;
};

}  // namespace tavrino::share
