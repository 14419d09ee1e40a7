#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <vector>

struct AVCodecContext;

namespace tavrino::share::testing {

// A decoded 4:2:0 picture with planes packed at their widths.
struct DecodedPicture {
  int width = 0;
  int height = 0;
  std::vector<std::uint8_t> y, cb, cr;
  int colorMatrix = 0;  // ISO/IEC 23091-4 MatrixCoefficients
  bool fullRange = false;
};

// libavcodec's H.264 decoder set up from an avcC record, as a player given
// the stream's configuration would be. Strict: any bitstream error fails.
class H264Decoder {
 public:
  // Throws std::runtime_error when libavcodec refuses the record.
  explicit H264Decoder(std::span<const std::uint8_t> avcC);
  ~H264Decoder();

  // Decodes one length-prefixed access unit, appending the pictures that come
  // out; false on any decoder error.
  bool decode(std::span<const std::uint8_t> frame, std::vector<DecodedPicture>& pictures);
  // Ends the stream and collects the pictures still held back.
  bool flush(std::vector<DecodedPicture>& pictures);

 private:
  bool receive(std::vector<DecodedPicture>& pictures);

  struct ContextDeleter {
    void operator()(AVCodecContext* context) const;
  };
  std::unique_ptr<AVCodecContext, ContextDeleter> context_;
};

}  // namespace tavrino::share::testing
