#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include <x264.h>

#include "platform/media_sample.h"

namespace tavrino::share {

// One open libx264 encoder and the stream description that goes with it.
// Not thread-safe: one thread at a time.
class X264Encoder {
 public:
  struct Output {
    std::vector<std::uint8_t> bytes;  // length-prefixed NAL units of one frame
    bool idr = false;
    std::int64_t sequence = 0;  // the sequence number the frame went in with
  };

  // None when x264 refuses the parameters or yields no usable SPS and PPS.
  static std::unique_ptr<X264Encoder> open(const x264_param_t& params);

  const std::shared_ptr<const FormatDescription>& formatDescription() const { return format_; }
  int delayedFrames() const;
  int maximumDelayedFrames() const;

  // Encodes image (none: drains a delayed frame); missed holds the changes
  // of pictures dropped since the one submitted last, if any. Returns a
  // negative value on failure, 0 when no frame came out, 1 when output holds
  // a frame. The image must match the encoder's size.
  int encode(const ImageBuffer* image, const ChangedBlocks* missed, std::int64_t sequence, bool forceIdr,
             Output& output);

  struct Closer {
    void operator()(x264_t* handle) const { x264_encoder_close(handle); }
  };
  X264Encoder(std::unique_ptr<x264_t, Closer> handle, std::shared_ptr<const FormatDescription> format)
      : handle_(std::move(handle)), format_(std::move(format)) {}

 private:
  void markUnchanged(const ImageBuffer& image, const ChangedBlocks* missed, bool key, x264_picture_t& input) const;

  std::unique_ptr<x264_t, Closer> handle_;
  std::shared_ptr<const FormatDescription> format_;
  // Whether x264 took the picture submitted last, which the next picture's
  // changes are measured against.
  bool follows_ = false;
};

}  // namespace tavrino::share
